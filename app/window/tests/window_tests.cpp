// The main window as built: every element's place, the pictures in the slots, the colours at
// creation, the transmit switch and the keyboard focus. Runs on Qt's offscreen platform.

#include "app/window/fonts.h"
#include "app/window/form1.h"
#include "app/window/qt_messages.h"
#include "app/window/tests/test_bench.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QImage>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "app_tests";
        static char* argv[] = {name, nullptr};
        m_app = std::make_unique<QApplication>(argc, argv);
        QApplication::setApplicationName(QStringLiteral("Pendrel"));
    }
    void TearDown() override { m_app.reset(); }

private:
    std::unique_ptr<QApplication> m_app;
};

[[maybe_unused]] const auto* const environment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

const QRgb kLit = qRgb(192, 192, 255);

QImage grabWindow(app::Form1& w)
{
    return w.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// The panel's interior starts 2 px inside its corner at (8, 16) of the client area.
QPoint inClient(const QWidget* w)
{
    return w->mapTo(w->window(), QPoint(0, 0));
}

QImage loadPicture(const char* name)
{
    app::registerWindowPictures();
    QImage image(QStringLiteral(":/pictures/") + QLatin1String(name));
    return image.convertToFormat(QImage::Format_RGB32);
}

// True when the grab shows the picture pixel for pixel with its top-left corner at `at`.
bool showsPicture(const QImage& grab, QPoint at, const QImage& picture, int scale = 1)
{
    for (int y = 0; y < picture.height() * scale; ++y)
        for (int x = 0; x < picture.width() * scale; ++x)
            if (grab.pixel(at.x() * scale + x, at.y() * scale + y) !=
                picture.pixel(x / scale, y / scale))
                return false;
    return true;
}

struct Placement {
    std::string name;
    std::string container;
    QRect rect;  // in the container; for the panel, from its outer corner
};

// Pixel rectangles of all 81 widgets, worked out from the twips layout (15 twips a pixel,
// nearest pixel); inside the panel, 2 px of edge are added.
std::vector<Placement> expectedPlacements()
{
    std::vector<Placement> all{
        {"Picture1", "Form1", {8, 16, 297, 113}},
        {"Label3", "Form1", {16, 131, 33, 17}},
        {"Option1_0", "Form1", {48, 129, 27, 17}},
        {"Option1_1", "Form1", {76, 129, 27, 17}},
        {"Command1_0", "Form1", {144, 128, 17, 17}},
        {"Command1_1", "Form1", {160, 128, 17, 17}},
        {"Command2_0", "Form1", {192, 128, 17, 17}},
        {"Command2_1", "Form1", {208, 128, 17, 17}},
        {"Command3_0", "Form1", {232, 128, 17, 17}},
        {"Command3_1", "Form1", {248, 128, 17, 17}},
        {"Command4", "Form1", {280, 128, 17, 17}},
        {"Frame1", "Form1", {56, 256, 409, 129}},
        {"Label1", "Picture1", {10, 10, 89, 17}},
        {"Label2", "Picture1", {10, 66, 89, 17}},
        {"Label4", "Picture1", {29, 90, 49, 17}},
        {"Image11_0", "Picture1", {218, 13, 5, 13}},
        {"Image11_1", "Picture1", {250, 13, 5, 13}},
        {"Image11_2", "Picture1", {218, 69, 5, 13}},
        {"Image11_3", "Picture1", {250, 69, 5, 13}},
    };
    const int dateLeft[8] = {104, 112, 120, 128, 144, 152, 168, 176};
    const int timeLeft[6] = {192, 203, 224, 235, 256, 267};
    for (int k = 0; k < 8; ++k) {
        all.push_back({"Image10_" + std::to_string(k), "Picture1", {dateLeft[k] + 2, 10, 8, 13}});
        all.push_back({"Image20_" + std::to_string(k), "Picture1", {dateLeft[k] + 2, 66, 8, 13}});
    }
    for (int k = 0; k < 6; ++k) {
        all.push_back({"Image7_" + std::to_string(k), "Picture1", {timeLeft[k] + 2, 10, 11, 18}});
        all.push_back({"Image17_" + std::to_string(k), "Picture1", {timeLeft[k] + 2, 66, 11, 18}});
    }
    for (int i = 0; i < 7; ++i) {
        all.push_back({"Label5_" + std::to_string(i), "Picture1", {114 + 24 * i, 34, 25, 17}});
        all.push_back({"Label6_" + std::to_string(i), "Picture1", {114 + 24 * i, 90, 25, 17}});
    }
    for (int d = 0; d < 10; ++d) {
        all.push_back({"Image5_" + std::to_string(d), "Frame1", {24 + 16 * d, 64, 11, 18}});
        all.push_back({"Image8_" + std::to_string(d), "Frame1", {200 + 16 * d, 64, 8, 13}});
    }
    return all;
}

TEST(Window, TitleSizeAndFrame)
{
    testbench::Bench bench;
    app::Form1& w = bench.form;
    EXPECT_EQ(w.windowTitle(), QStringLiteral("電波時計用ペンドレル"));
    EXPECT_EQ(w.size(), QSize(313, 153));
    EXPECT_EQ(w.minimumSize(), w.maximumSize()) << "the window must not be resizable";
    const Qt::WindowFlags flags = w.windowFlags();
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(w.windowIcon().isNull());
    EXPECT_EQ(QApplication::applicationName(), QStringLiteral("Pendrel"));
}

TEST(Window, EveryElementInItsPlace)
{
    testbench::Bench bench;
    app::Form1& w = bench.form;
    const auto placements = expectedPlacements();
    ASSERT_EQ(placements.size(), 81u);  // 84 elements less the three timers
    for (const Placement& p : placements) {
        SCOPED_TRACE(p.name);
        auto* widget = w.findChild<QWidget*>(QString::fromStdString(p.name));
        ASSERT_NE(widget, nullptr);
        ASSERT_NE(widget->parentWidget(), nullptr);
        EXPECT_EQ(widget->parentWidget()->objectName().toStdString(), p.container);
        EXPECT_EQ(widget->geometry(), p.rect);
    }
}

TEST(Window, SlotsOfAFieldTouchAndWeekdaysOverlapByOnePixel)
{
    testbench::Bench bench;
    app::Form1& w = bench.form;
    for (int k : {0, 2, 4}) {
        EXPECT_EQ(w.Image7[k]->geometry().right() + 1, w.Image7[k + 1]->x()) << k;
        EXPECT_EQ(w.Image17[k]->geometry().right() + 1, w.Image17[k + 1]->x()) << k;
    }
    for (int k : {0, 1, 2, 4, 6}) {
        EXPECT_EQ(w.Image10[k]->geometry().right() + 1, w.Image10[k + 1]->x()) << k;
        EXPECT_EQ(w.Image20[k]->geometry().right() + 1, w.Image20[k + 1]->x()) << k;
    }
    // One digit's width of black between year, month and day.
    EXPECT_EQ(w.Image10[4]->x() - w.Image10[3]->geometry().right() - 1, 8);
    EXPECT_EQ(w.Image10[6]->x() - w.Image10[5]->geometry().right() - 1, 8);
    // The large and the small digits share their top edge.
    EXPECT_EQ(w.Image7[0]->y(), w.Image10[0]->y());
    EXPECT_EQ(w.Image17[0]->y(), w.Image20[0]->y());
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(w.Label5[i]->geometry().right(), w.Label5[i + 1]->x()) << i;
}

TEST(Window, TimersAtCreation)
{
    testbench::Bench bench;
    app::Form1& w = bench.form;
    struct Expected {
        QTimer* timer;
        const char* name;
        int interval;
        bool active;
    };
    for (const Expected& e : {Expected{w.Timer1, "Timer1", 1, false},
                              Expected{w.timTokei, "timTokei", 200, true},
                              Expected{w.timFlashIndicator, "timFlashIndicator", 1000, false}}) {
        SCOPED_TRACE(e.name);
        ASSERT_NE(e.timer, nullptr);
        EXPECT_EQ(e.timer->objectName(), QLatin1String(e.name));
        EXPECT_EQ(e.timer->interval(), e.interval);
        EXPECT_EQ(e.timer->isActive(), e.active);
        EXPECT_FALSE(e.timer->isSingleShot());
    }
}

TEST(Window, LabelsCaptionsColoursAndFont)
{
    testbench::Bench bench;
    app::Form1& w = bench.form;
    struct Expected {
        QLabel* label;
        const char16_t* caption;
        Qt::Alignment horizontal;
        std::optional<std::uint32_t> colour;  // none: follows the desktop's button text
        bool opaque;
    };
    std::vector<Expected> labels{
        {w.Label1, u"現在の時刻", Qt::AlignHCenter, 0xFFFFFF, true},
        {w.Label2, u"送信する時刻", Qt::AlignHCenter, 0xFFFFFF, true},
        {w.Label3, u"送信", Qt::AlignLeft, std::nullopt, false},
        {w.Label4, u"送信中", Qt::AlignLeft, 0x000080, true},
    };
    const char16_t* days[7] = {u"日", u"月", u"火", u"水", u"木", u"金", u"土"};
    const std::uint32_t colours[7] = {0x000080, 0x800000, 0x800000, 0xFFC0C0,
                                      0x800000, 0x800000, 0x800000};
    for (int i = 0; i < 7; ++i) {
        labels.push_back({w.Label5[i], days[i], Qt::AlignLeft, colours[i], true});
        labels.push_back({w.Label6[i], days[i], Qt::AlignLeft, colours[i], true});
    }
    const QString substitute = QString::fromUtf16(app::kLabelFamily);
    for (const Expected& e : labels) {
        SCOPED_TRACE(e.label->objectName().toStdString());
        EXPECT_EQ(e.label->text(), QString::fromUtf16(e.caption));
        EXPECT_EQ(e.label->alignment() & Qt::AlignHorizontal_Mask, e.horizontal);
        if (e.colour) {
            EXPECT_EQ(app::Form1::textColour(e.label), *e.colour);
        }
        EXPECT_EQ(e.label->autoFillBackground(), e.opaque);
        if (e.opaque) {
            EXPECT_EQ(e.label->palette().color(QPalette::Window), QColor(Qt::black));
        }
        // The face the label ends up drawn in has every character of its caption.
        const QFontMetrics metrics(e.label->font());
        for (QChar c : e.label->text())
            EXPECT_TRUE(metrics.inFont(c)) << QString(c).toStdString();
        EXPECT_DOUBLE_EQ(e.label->font().pointSizeF(), 9.75);
        EXPECT_EQ(e.label->font().weight(), QFont::Bold);
        EXPECT_EQ(e.label->focusPolicy(), Qt::NoFocus);
    }
    // Label3 is dark text on the light brushed metal.
    const std::uint32_t label3 = app::Form1::textColour(w.Label3);
    EXPECT_LT(qGray(int(label3 & 0xFF), int(label3 >> 8 & 0xFF), int(label3 >> 16 & 0xFF)), 100);
    // Without the MS face installed the labels end up in the IPA Gothic face, not a fallback.
    if (!QFontDatabase::families().contains(substitute)) {
        EXPECT_EQ(QFontInfo(w.Label1->font()).family(), QStringLiteral("IPAPGothic"));
    }
}

TEST(Window, TextColourReadsBackWhatWasSet)
{
    testbench::Bench bench;
    app::Form1& w = bench.form;
    for (std::uint32_t colour : {0x000080u, 0x0000FFu, 0x800000u, 0xFFC0C0u, 0x123456u, 0u}) {
        app::Form1::setTextColour(w.Label4, colour);
        EXPECT_EQ(app::Form1::textColour(w.Label4), colour);
    }
}

TEST(Window, GrabShowsTheWindowAtCreation)
{
    testbench::Bench bench;
    app::Form1& w = bench.form;
    const QImage grab = grabWindow(w);
    ASSERT_EQ(grab.size(), QSize(313, 153));

    // Every slot shows the eight of its size; the slots' pixels lie side by side on the panel.
    const QImage large8 = loadPicture("digit_large_8.bmp");
    const QImage small8 = loadPicture("digit_small_8.bmp");
    for (QLabel* slot : w.Image7)
        EXPECT_TRUE(showsPicture(grab, inClient(slot), large8)) << slot->objectName().toStdString();
    for (QLabel* slot : w.Image17)
        EXPECT_TRUE(showsPicture(grab, inClient(slot), large8)) << slot->objectName().toStdString();
    for (QLabel* slot : w.Image10)
        EXPECT_TRUE(showsPicture(grab, inClient(slot), small8)) << slot->objectName().toStdString();
    for (QLabel* slot : w.Image20)
        EXPECT_TRUE(showsPicture(grab, inClient(slot), small8)) << slot->objectName().toStdString();

    // Colons: lit 3 x 3 squares at columns 1-3, rows 1-3 and 9-11 of each colon, black around.
    for (QLabel* colon : w.Image11) {
        const QPoint at = inClient(colon);
        for (int y = 0; y < 13; ++y)
            for (int x = 0; x < 5; ++x) {
                const bool lit = x >= 1 && x <= 3 && ((y >= 1 && y <= 3) || (y >= 9 && y <= 11));
                EXPECT_EQ(grab.pixel(at.x() + x, at.y() + y), lit ? kLit : qRgb(0, 0, 0))
                    << colon->objectName().toStdString() << " " << x << "," << y;
            }
    }
    // The gaps in the dates show the panel's black.
    EXPECT_EQ(grab.pixel(10 + 136, 18 + 12), qRgb(0, 0, 0));

    // The panel's sunken edge: grey outside, black from (10, 18) on.
    EXPECT_EQ(grab.pixel(8, 16), qRgb(160, 160, 160));
    EXPECT_EQ(grab.pixel(9, 17), qRgb(105, 105, 105));
    EXPECT_EQ(grab.pixel(10, 18), qRgb(0, 0, 0));
    EXPECT_EQ(grab.pixel(304, 128), qRgb(255, 255, 255));

    // The weekday rows: each label paints black and its character in its own colour.
    const auto showsColour = [&](QLabel* label, QRgb colour) {
        const QRect r(inClient(label), label->size());
        bool found = false;
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x < r.right(); ++x)  // the last column lies under the next
                found = found || grab.pixel(x, y) == colour;
        return found && grab.pixel(r.left(), r.bottom()) == qRgb(0, 0, 0);
    };
    const QRgb colours[7] = {qRgb(128, 0, 0), qRgb(0, 0, 128), qRgb(0, 0, 128), kLit,
                             qRgb(0, 0, 128), qRgb(0, 0, 128), qRgb(0, 0, 128)};
    for (int i = 0; i < 7; ++i) {
        EXPECT_TRUE(showsColour(w.Label5[i], colours[i])) << i;
        EXPECT_TRUE(showsColour(w.Label6[i], colours[i])) << i;
    }
    EXPECT_TRUE(showsColour(w.Label4, qRgb(128, 0, 0)));
    EXPECT_TRUE(showsColour(w.Label1, qRgb(255, 255, 255)));

    // Label3 lets the brushed metal show around its text.
    const QImage background = loadPicture("background.bmp");
    for (QPoint p : {QPoint(16, 131), QPoint(47, 131), QPoint(16, 147), QPoint(47, 147)})
        EXPECT_EQ(grab.pixel(p), background.pixel(p)) << p.x() << "," << p.y();
    // ... and so does the window outside the elements.
    for (QPoint p : {QPoint(0, 0), QPoint(312, 152), QPoint(120, 150), QPoint(200, 5)})
        EXPECT_EQ(grab.pixel(p), background.pixel(p)) << p.x() << "," << p.y();

    // Frame1 and its digits are never shown.
    EXPECT_FALSE(w.Frame1->isVisibleTo(&w));
    for (int d = 0; d < 10; ++d) {
        EXPECT_FALSE(w.Image5[d]->isVisibleTo(&w));
        EXPECT_FALSE(w.Image8[d]->isVisibleTo(&w));
    }
}

TEST(Window, ButtonsShowTheirPictures)
{
    testbench::Bench bench;
    app::Form1& w = bench.form;
    const QImage grab = grabWindow(w);
    const QImage plus = loadPicture("plus.bmp");
    const QImage minus = loadPicture("minus.bmp");
    // The 16 px pictures sit in the 17 px buttons from the corner; the 2 px edge covers the
    // pictures' outer ring, so compare the middle.
    const auto middleMatches = [&](QAbstractButton* b, const QImage& picture, int shift) {
        const QPoint at = inClient(b) + QPoint((b->width() - picture.width()) / 2 + shift,
                                               (b->height() - picture.height()) / 2 + shift);
        for (int y = 3; y < picture.height() - 3; ++y)
            for (int x = 3; x < picture.width() - 3; ++x)
                if (grab.pixel(at.x() + x, at.y() + y) != picture.pixel(x, y))
                    return false;
        return true;
    };
    for (int i = 0; i < 2; ++i) {
        const QImage& face = i == 0 ? plus : minus;
        EXPECT_TRUE(middleMatches(w.Command1[i], face, 0)) << i;
        EXPECT_TRUE(middleMatches(w.Command2[i], face, 0)) << i;
        EXPECT_TRUE(middleMatches(w.Command3[i], face, 0)) << i;
    }
    EXPECT_TRUE(middleMatches(w.Command4, loadPicture("question.bmp"), 0));
    // Off is selected, so it is drawn pressed: its picture one pixel down and right.
    EXPECT_TRUE(middleMatches(w.Option1[0], loadPicture("on.bmp"), 0));
    EXPECT_TRUE(middleMatches(w.Option1[1], loadPicture("off.bmp"), 1));
}

TEST(Window, TransmitSwitchSelectsOneAndReportsEachChange)
{
    testbench::Bench bench;
    app::Form1& w = bench.form;
    w.show();
    std::vector<std::pair<int, bool>> clicks;  // element, whether Off was selected then
    QObject::connect(&w, &app::Form1::Option1Click, &w, [&](int index) {
        clicks.emplace_back(index, w.option1Selected(1));
    });
    EXPECT_FALSE(w.option1Selected(0));
    EXPECT_TRUE(w.option1Selected(1));

    struct Step {
        const char* what;
        std::function<void()> act;
        bool onSelected;
        std::vector<std::pair<int, bool>> clicks;
    };
    const std::vector<Step> steps{
        {"select On from code", [&] { w.selectOption1(0); }, true, {{0, false}}},
        {"select On again", [&] { w.selectOption1(0); }, true, {}},
        {"user clicks Off", [&] { QTest::mouseClick(w.Option1[1], Qt::LeftButton); }, false, {{1, true}}},
        {"user clicks Off again", [&] { QTest::mouseClick(w.Option1[1], Qt::LeftButton); }, false, {}},
        {"user clicks On", [&] { QTest::mouseClick(w.Option1[0], Qt::LeftButton); }, true, {{0, false}}},
        {"select Off from code", [&] { w.selectOption1(1); }, false, {{1, true}}},
        {"left arrow on Off", [&] { QTest::keyClick(w.Option1[1], Qt::Key_Left); }, true, {{0, false}}},
        {"right arrow on On", [&] { QTest::keyClick(w.Option1[0], Qt::Key_Right); }, false, {{1, true}}},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        clicks.clear();
        s.act();
        EXPECT_EQ(w.option1Selected(0), s.onSelected);
        EXPECT_EQ(w.option1Selected(1), !s.onSelected);
        EXPECT_EQ(clicks, s.clicks);
    }
}

std::vector<std::string> tabWalk(int presses)
{
    std::vector<std::string> visited;
    for (int i = 0; i < presses; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited.push_back(QApplication::focusWidget()->objectName().toStdString());
    }
    return visited;
}

TEST(Window, TabMovesThroughPanelSwitchAndButtons)
{
    testbench::Bench bench;
    app::Form1& w = bench.form;
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    EXPECT_EQ(QApplication::focusWidget(), w.Picture1);
    // The switch is one stop: its selected element.
    EXPECT_EQ(tabWalk(9),
              (std::vector<std::string>{"Option1_1", "Command1_0", "Command1_1", "Command2_0",
                                        "Command2_1", "Command3_0", "Command3_1", "Command4",
                                        "Picture1"}));
    w.selectOption1(0);
    EXPECT_EQ(tabWalk(2), (std::vector<std::string>{"Option1_0", "Command1_0"}));
}

TEST(Window, ButtonsCarryDistinctAccessibleNames)
{
    testbench::Bench bench;
    app::Form1& w = bench.form;
    std::vector<QAbstractButton*> buttons{w.Option1[0], w.Option1[1], w.Command4};
    for (auto* pair : {&w.Command1, &w.Command2, &w.Command3})
        buttons.insert(buttons.end(), pair->begin(), pair->end());
    QStringList names;
    for (QAbstractButton* b : buttons) {
        EXPECT_FALSE(b->accessibleName().isEmpty()) << b->objectName().toStdString();
        EXPECT_TRUE(b->text().isEmpty()) << "graphical buttons carry no caption";
        names << b->accessibleName();
    }
    names.removeDuplicates();
    EXPECT_EQ(names.size(), 9);
}

TEST(Window, SlotsTakeTheDigitPictures)
{
    testbench::Bench bench;
    app::Form1& w = bench.form;
    for (int d = 0; d < 10; ++d) {
        app::Form1::showPicture(w.Image7[d % 6], w.Image5[d]);
        app::Form1::showPicture(w.Image20[d % 8], w.Image8[d]);
        const QImage grab = grabWindow(w);
        EXPECT_TRUE(showsPicture(grab, inClient(w.Image7[d % 6]), w.Image5[d]->pixmap().toImage().convertToFormat(QImage::Format_RGB32))) << d;
        EXPECT_TRUE(showsPicture(grab, inClient(w.Image20[d % 8]), w.Image8[d]->pixmap().toImage().convertToFormat(QImage::Format_RGB32))) << d;
    }
}

// The program's messages: a notice shows itself beside the window, without a title of its own
// and without a loop of its own, follows its text while open and is gone once the user closes
// it; the one modal message waits for OK.
TEST(Window, MessagesAreBoxesBesideTheWindow)
{
    testbench::Bench bench;
    app::Form1& w = bench.form;
    w.show();
    app::QtMessages messages;
    const auto notice = messages.notify(&w, app::MessageIcon::Warning, QStringLiteral("一"),
                                        QStringLiteral("PendrelSignalMessage"));
    QMessageBox* box = messages.box(notice);
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->isVisible());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(box->objectName(), QStringLiteral("PendrelSignalMessage"));
    EXPECT_TRUE(box->windowTitle().isEmpty()) << "the box shows the application's name";
    EXPECT_EQ(box->icon(), QMessageBox::Warning);
    EXPECT_FALSE(box->frameGeometry().intersects(w.frameGeometry())) << "beside, not over it";
    messages.setText(notice, QStringLiteral("二"));
    EXPECT_EQ(box->text(), QStringLiteral("二"));

    box->close();
    EXPECT_FALSE(messages.isOpen(notice));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(messages.box(notice), nullptr);
    messages.setText(notice, QStringLiteral("三"));  // a closed notice stays closed
    const auto next = messages.notify(&w, app::MessageIcon::Information, QStringLiteral("四"),
                                      QStringLiteral("PendrelMessage"));
    EXPECT_NE(next, notice);
    EXPECT_TRUE(messages.isOpen(next));
    messages.close(next);
    EXPECT_FALSE(messages.isOpen(next));

    QString modal;
    QTimer::singleShot(0, [&] {
        if (auto* open = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            modal = open->objectName() + QLatin1Char(':') + open->text();
            open->accept();
        }
    });
    messages.tell(&w, app::MessageIcon::Information, QStringLiteral("五"));
    EXPECT_EQ(modal, QStringLiteral("PendrelMessage:五"));
}

// Registered separately with QT_SCALE_FACTOR=2: the window scales as one and the digit
// pictures are enlarged pixel for pixel, without smoothing.
TEST(ScaledWindow, DigitsStayCrispAtTwiceTheDensity)
{
    testbench::Bench bench;
    app::Form1& w = bench.form;
    w.show();
    if (w.devicePixelRatioF() != 2.0)
        GTEST_SKIP() << "run with QT_SCALE_FACTOR=2";
    const QImage grab = w.grab().toImage().convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(grab.size(), QSize(626, 306));
    const QImage large8 = loadPicture("digit_large_8.bmp");
    const QImage small8 = loadPicture("digit_small_8.bmp");
    for (QLabel* slot : w.Image17)
        EXPECT_TRUE(showsPicture(grab, inClient(slot), large8, 2)) << slot->objectName().toStdString();
    for (QLabel* slot : w.Image10)
        EXPECT_TRUE(showsPicture(grab, inClient(slot), small8, 2)) << slot->objectName().toStdString();
    // The panel edge and the buttons grow with the rest.
    EXPECT_EQ(grab.pixel(2 * 8 + 1, 2 * 16 + 1), qRgb(160, 160, 160));
    EXPECT_EQ(grab.pixel(2 * 10, 2 * 18), qRgb(0, 0, 0));
}

}  // namespace
