#pragma once
// The window's messages as message boxes with no title of their own, so that they show the
// application's name. A notice is a non-modal box placed beside its owner, deleted when closed.

#include "app/window/messages.h"

#include <QPointer>

#include <map>

class QMessageBox;

namespace app {

class QtMessages final : public Messages {
public:
    Notice notify(QWidget* owner, MessageIcon icon, const QString& text,
                  const QString& name) override;
    bool isOpen(Notice notice) const override;
    void setText(Notice notice, const QString& text) override;
    void close(Notice notice) override;
    void tell(QWidget* owner, MessageIcon icon, const QString& text) override;

    // The box of an open notice; null once it was closed.
    QMessageBox* box(Notice notice) const;

private:
    std::map<Notice, QPointer<QMessageBox>> m_boxes;
    Notice m_last = 0;
};

}  // namespace app
