#include "app/window/window_widgets.h"

#include <QButtonGroup>
#include <QKeyEvent>
#include <QPainter>

namespace app {

namespace {

// The classic three-dimensional colours, fixed so the window looks the same on every desktop
// theme and matches the near-white faces drawn into the button pictures.
const QColor kFace(240, 240, 240);
const QColor kHighlight(255, 255, 255);
const QColor kLight(227, 227, 227);
const QColor kShadow(160, 160, 160);
const QColor kDarkShadow(105, 105, 105);

// One ring of an edge: the top and left sides in one colour, the bottom and right in another.
void ring(QPainter& p, const QRect& r, const QColor& topLeft, const QColor& bottomRight)
{
    p.fillRect(QRect(r.left(), r.top(), r.width() - 1, 1), topLeft);
    p.fillRect(QRect(r.left(), r.top(), 1, r.height() - 1), topLeft);
    p.fillRect(QRect(r.left(), r.bottom(), r.width(), 1), bottomRight);
    p.fillRect(QRect(r.right(), r.top(), 1, r.height()), bottomRight);
}

void raisedEdge(QPainter& p, const QRect& r)
{
    ring(p, r, kHighlight, kDarkShadow);
    ring(p, r.adjusted(1, 1, -1, -1), kLight, kShadow);
}

void sunkenEdge(QPainter& p, const QRect& r)
{
    ring(p, r, kShadow, kHighlight);
    ring(p, r.adjusted(1, 1, -1, -1), kDarkShadow, kLight);
}

// A dotted rectangle, every other pixel, as the classic focus mark.
void focusMark(QPainter& p, const QRect& r)
{
    for (int x = r.left(); x <= r.right(); x += 2) {
        p.fillRect(QRect(x, r.top(), 1, 1), Qt::black);
        p.fillRect(QRect(x, r.bottom(), 1, 1), Qt::black);
    }
    for (int y = r.top(); y <= r.bottom(); y += 2) {
        p.fillRect(QRect(r.left(), y, 1, 1), Qt::black);
        p.fillRect(QRect(r.right(), y, 1, 1), Qt::black);
    }
}

}  // namespace

PictureSlot::PictureSlot(QWidget* parent) : QLabel(parent)
{
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

void PictureSlot::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::SmoothPixmapTransform, false);
    p.drawPixmap(0, 0, pixmap());
}

PictureButton::PictureButton(const QPixmap& picture, QWidget* parent)
    : QPushButton(parent), m_picture(picture)
{
    setAutoDefault(false);
    setFocusPolicy(Qt::StrongFocus);
}

QSize PictureButton::sizeHint() const
{
    return m_picture.size() + QSize(2, 2);
}

void PictureButton::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    const QRect r = rect();
    const bool sunken = isDown() || isChecked();
    p.fillRect(r, kFace);
    const int shift = sunken ? 1 : 0;
    p.drawPixmap((r.width() - m_picture.width()) / 2 + shift,
                 (r.height() - m_picture.height()) / 2 + shift, m_picture);
    if (sunken)
        sunkenEdge(p, r);
    else
        raisedEdge(p, r);
    if (hasFocus())
        focusMark(p, r.adjusted(3, 3, -3, -3));
}

void PictureButton::keyPressEvent(QKeyEvent* event)
{
    QButtonGroup* buttons = group();
    const int key = event->key();
    const bool backwards = key == Qt::Key_Left || key == Qt::Key_Up;
    const bool forwards = key == Qt::Key_Right || key == Qt::Key_Down;
    if (!isCheckable() || buttons == nullptr || !(backwards || forwards)) {
        QPushButton::keyPressEvent(event);
        return;
    }
    const QList<QAbstractButton*> members = buttons->buttons();
    const auto count = members.size();
    const auto here = members.indexOf(this);
    QAbstractButton* next = members.at((here + (backwards ? count - 1 : 1)) % count);
    next->setFocus(backwards ? Qt::BacktabFocusReason : Qt::TabFocusReason);
    next->click();
}

DisplayPanel::DisplayPanel(QWidget* parent) : QFrame(parent)
{
    setFrameShape(QFrame::NoFrame);
    setContentsMargins(kEdge, kEdge, kEdge, kEdge);
    setFocusPolicy(Qt::StrongFocus);
}

void DisplayPanel::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), Qt::black);
    sunkenEdge(p, rect());
}

}  // namespace app
