#include "app/window/fonts.h"

#include <QApplication>
#include <QString>
#include <QStringList>

namespace app {

void installFontSubstitutes()
{
    // A substitute is only tried after the family itself, so where the Windows face is
    // installed it is still the one used. Asking the font database whether it is there would
    // load every font's description before the window can show.
    const QString family = QString::fromUtf16(kLabelFamily);
    if (!QFont::substitutes(family).contains(QString::fromLatin1(kSubstituteFamily)))
        QFont::insertSubstitution(family, QString::fromLatin1(kSubstituteFamily));
}

void preferLabelFaceForJapanese()
{
    QFont font = QApplication::font();
    const QString face = QString::fromUtf16(kLabelFamily);
    QStringList families = font.families();
    if (families.isEmpty())
        families.append(font.family());
    if (families.contains(face))
        return;
    families.append(face);
    font.setFamilies(families);
    QApplication::setFont(font);
}

QFont labelFont()
{
    QFont font(QString::fromUtf16(kLabelFamily));
    font.setPointSizeF(9.75);
    font.setWeight(QFont::Bold);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    return font;
}

}  // namespace app
