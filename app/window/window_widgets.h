#pragma once
// The kinds of element the window is built from, drawn the way the classic Windows toolkit drew
// them and independent of the desktop's theme.

#include <QFrame>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>

#include <cstdint>

namespace app {

// An image element: shows its picture unscaled from its top-left corner. On a display of higher
// pixel density the picture is enlarged pixel for pixel, never smoothed, so the digits stay
// sharp. Change the picture with setPixmap.
class PictureSlot : public QLabel {
    Q_OBJECT
public:
    explicit PictureSlot(QWidget* parent = nullptr);

    // The element whose picture the slot was last given through Form1::showPicture; null
    // before. Lets a write of the same picture end without copying or comparing pictures.
    const QLabel* shownSource = nullptr;

protected:
    void paintEvent(QPaintEvent* event) override;
};

// A text element whose colour is changed five times a second to what it mostly already is: it
// keeps the colour last set through Form1::setTextColour, so that the comparison does not go
// through the palette (which asks whether the window is active).
class TextLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;
    std::uint32_t shownBgr = 0xFFFFFFFF;  // none yet: colours are 0x00BBGGRR
};

// A graphical button in the style of the classic Windows toolkit: a flat face with a 2 px
// three-dimensional edge and a picture centred on it. The picture is painted first and the edge
// over it, so a picture as large as the button loses only its outermost ring. Pressed, or
// checked when the button is checkable, the edge is sunken and the picture moves one pixel down
// and right. The keyboard focus shows as a dotted rectangle inside the edge.

class PictureButton : public QPushButton {
    Q_OBJECT
public:
    explicit PictureButton(const QPixmap& picture, QWidget* parent = nullptr);

    const QPixmap& picture() const { return m_picture; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    // In a group of checkable buttons the arrow keys select the previous or next button of
    // the group and move the focus to it, as in an option group.
    void keyPressEvent(QKeyEvent* event) override;

private:
    QPixmap m_picture;
};

// The display panel: black, with the standard 2 px sunken edge. Its children are placed
// relative to the panel's outer corner, so the interior starts at (2, 2).
class DisplayPanel : public QFrame {
    Q_OBJECT
public:
    explicit DisplayPanel(QWidget* parent = nullptr);
    static constexpr int kEdge = 2;

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace app
