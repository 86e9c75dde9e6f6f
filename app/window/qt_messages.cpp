#include "app/window/qt_messages.h"

#include <QMessageBox>
#include <QScreen>

#include <algorithm>

namespace app {

namespace {

QMessageBox::Icon boxIcon(MessageIcon icon)
{
    return icon == MessageIcon::Warning ? QMessageBox::Warning : QMessageBox::Information;
}

// Beside the window rather than over it: the read-outs and the indicator stay in view while
// the box is open. Below it where the screen has room, else above; else where Qt puts it.
void placeBeside(QMessageBox* box, const QWidget* owner)
{
    box->adjustSize();
    if (owner == nullptr || !owner->isVisible())
        return;
    const QScreen* screen = owner->screen();
    if (screen == nullptr)
        return;
    const QRect area = screen->availableGeometry();
    const QRect window = owner->frameGeometry();
    const QSize size = box->frameGeometry().size();
    const int x = std::clamp(window.center().x() - size.width() / 2, area.left(),
                             std::max(area.left(), area.right() + 1 - size.width()));
    if (window.bottom() + 1 + size.height() <= area.bottom() + 1)
        box->move(x, window.bottom() + 1);
    else if (window.top() - size.height() >= area.top())
        box->move(x, window.top() - size.height());
}

}  // namespace

// A notice may be opened from inside Timer1's handler, where Qt delivers no further ticks until
// the handler returns: a modal exec() there would stop the signal and the read-outs while the
// box is open. So the box only shows itself, and the handler returns at once.
Messages::Notice QtMessages::notify(QWidget* owner, MessageIcon icon, const QString& text,
                                    const QString& name)
{
    auto* box = new QMessageBox(boxIcon(icon), QString(), text, QMessageBox::Ok, owner);
    box->setObjectName(name);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    placeBeside(box, owner);
    box->show();
    // Boxes closed long ago are forgotten; their numbers stay closed.
    std::erase_if(m_boxes, [](const auto& entry) { return entry.second.isNull(); });
    m_boxes[++m_last] = box;
    return m_last;
}

QMessageBox* QtMessages::box(Notice notice) const
{
    const auto found = m_boxes.find(notice);
    return found == m_boxes.end() ? nullptr : found->second.data();
}

bool QtMessages::isOpen(Notice notice) const
{
    const QMessageBox* open = box(notice);
    return open != nullptr && open->isVisible();
}

void QtMessages::setText(Notice notice, const QString& text)
{
    if (QMessageBox* open = box(notice); open != nullptr && open->text() != text)
        open->setText(text);
}

void QtMessages::close(Notice notice)
{
    if (QMessageBox* open = box(notice))
        open->close();
}

void QtMessages::tell(QWidget* owner, MessageIcon icon, const QString& text)
{
    QMessageBox box(boxIcon(icon), QString(), text, QMessageBox::Ok, owner);
    box.setObjectName(QStringLiteral("PendrelMessage"));
    box.exec();
}

}  // namespace app
