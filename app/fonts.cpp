#include "fonts.h"

#include <QFontDatabase>
#include <QString>
#include <QStringList>

namespace app {

void installFontSubstitutes()
{
    const QString family = QString::fromUtf16(kLabelFamily);
    if (!QFontDatabase::families().contains(family))
        QFont::insertSubstitution(family, QString::fromLatin1(kSubstituteFamily));
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
