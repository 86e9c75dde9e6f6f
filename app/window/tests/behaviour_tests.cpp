// The window as a whole, on the offscreen platform with a fake clock and a temporary program
// folder: start-up, the transmit switch, the advances, help, closing and the read-outs.

#include "app/window/form1.h"
#include "app/window/tests/test_bench.h"
#include "timecode/timecode.h"

#include <QApplication>
#include <QEvent>
#include <QFile>
#include <QHelpEvent>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using runtime::DateTime;
using namespace std::chrono_literals;

namespace {

class Behaviour : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        folder = m_dir.path().toStdString();
    }
    void TearDown() override { bench.reset(); }

    void writeSettings(const std::string& text)
    {
        QFile f(QString::fromStdString(settingsPath()));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text.data(), qint64(text.size()));
    }
    std::string settings() const
    {
        QFile f(QString::fromStdString(settingsPath()));
        if (!f.open(QIODevice::ReadOnly))
            return "<none>";
        return f.readAll().toStdString();
    }

    std::string settingsPath() const { return folder + "/setting.ini"; }

    app::Form1& start(const DateTime& now, std::chrono::microseconds lead = {})
    {
        bench.emplace(now, lead, folder);
        return bench->form;
    }

    // The general messages given so far, and the messages of one kind still open, the way a
    // user would find them on the screen.
    std::vector<testbench::FakeMessages::Said> seen()
    {
        std::vector<testbench::FakeMessages::Said> found;
        for (const auto* said : bench->messages.named("PendrelMessage"))
            found.push_back(*said);
        return found;
    }
    std::vector<testbench::FakeMessages::Said*> visibleBoxes(const char* name)
    {
        return bench->messages.named(name, true);
    }

    // Digits shown by a row of slots, read back from the pictures they show.
    template <std::size_t N>
    std::string shown(const std::array<QLabel*, N>& row, const std::array<QLabel*, 10>& digits)
    {
        std::string s;
        for (QLabel* slot : row) {
            char c = '?';
            for (int d = 0; d < 10; ++d)
                if (slot->pixmap().cacheKey() == digits[std::size_t(d)]->pixmap().cacheKey())
                    c = char('0' + d);
            s += c;
        }
        return s;
    }
    std::string pcClock() { return shown(bench->form.Image7, bench->form.Image5); }
    std::string sentClock() { return shown(bench->form.Image17, bench->form.Image5); }
    std::string pcDate() { return shown(bench->form.Image10, bench->form.Image8); }
    std::string sentDate() { return shown(bench->form.Image20, bench->form.Image8); }

    // Which weekday a row marks: the light-blue label, or 1 when the Sunday label is bright.
    static int marked(const std::array<QLabel*, 7>& row)
    {
        int found = 0;
        for (int i = 0; i < 7; ++i) {
            const auto c = app::Form1::textColour(row[std::size_t(i)]);
            if ((i == 0 && c == 0x0000FF) || (i > 0 && c == 0xFFC0C0))
                found = found == 0 ? i + 1 : -1;
        }
        return found;
    }

    std::string folder;
    std::optional<testbench::Bench> bench;

private:
    QTemporaryDir m_dir;
};

const char* const kFirstRun =
    "電波時計用ペンドレルをインストールしていただきありがとうございます。\r\n"
    "このソフトの操作方法や原理、アンテナの作り方などは ？ ボタンを押していただくと、"
    "オンライン上の情報をご覧いただけますので、まずはご一読ください。";

TEST_F(Behaviour, FirstAndSecondStart)
{
    app::Form1& w = start({2024, 1, 5, 9, 5, 7});
    w.Form_Load();
    ASSERT_EQ(seen().size(), 1u);
    EXPECT_EQ(seen()[0].icon, app::MessageIcon::Information);
    EXPECT_EQ(seen()[0].text, QString::fromUtf8(kFirstRun));
    EXPECT_TRUE(seen()[0].modal);
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(settings(), "[Show]\nMessage=1\n");
    EXPECT_EQ(w.advances(), transmit::Advances{});
    EXPECT_TRUE(w.option1Selected(1));
    EXPECT_TRUE(w.timTokei->isActive());
    EXPECT_FALSE(w.Timer1->isActive());

    start({2024, 1, 5, 9, 5, 7}).Form_Load();
    EXPECT_TRUE(seen().empty()) << "no message on the second start";
}

// Closed over the first-run message, the window marks nothing: the message comes again.
TEST_F(Behaviour, ClosingOverTheFirstRunMessageWritesNothing)
{
    app::Form1& w = start({2024, 1, 5, 9, 5, 7});
    bench->messages.duringModal = [&] { w.close(); };
    w.Form_Load();
    EXPECT_TRUE(w.closed());
    EXPECT_EQ(seen().size(), 1u);
    EXPECT_EQ(settings(), "<none>");
}

TEST_F(Behaviour, StoredAdvancesFollowTheNumberRules)
{
    writeSettings("[Show]\nMessage=0\n[Advance]\nDate=-3\nHour=2.5\nMin=&H10\n[Transmit]\nState=yes\n");
    app::Form1& w = start({2024, 1, 5, 9, 5, 7});
    w.Form_Load();
    EXPECT_TRUE(seen().empty()) << "any Message value but empty counts as shown";
    EXPECT_EQ(w.advances(), (transmit::Advances{-3, 2, 16}));
    EXPECT_TRUE(w.option1Selected(1)) << "only the exact text 1 switches transmission on";
    EXPECT_EQ(w.transmission().stopFlag(), 0);
}

TEST_F(Behaviour, StoredAdvanceOutOfRangeStartsAtZeroAndKeepsTheFile)
{
    const std::string file = "[Show]\nMessage=1\n[Advance]\nDate=40000\nHour=3.5\n";
    writeSettings(file);
    app::Form1& w = start({2024, 1, 5, 9, 5, 7});
    w.Form_Load();
    ASSERT_EQ(seen().size(), 1u);
    EXPECT_EQ(seen()[0].icon, app::MessageIcon::Warning);
    EXPECT_TRUE(seen()[0].text.contains(QStringLiteral("Date")));
    EXPECT_TRUE(seen()[0].text.contains(QStringLiteral("40000")));
    EXPECT_EQ(w.advances(), (transmit::Advances{0, 4, 0}));
    EXPECT_EQ(settings(), file);
}

TEST_F(Behaviour, StoredStateOnWaitsForTheMinuteThenTransmits)
{
    writeSettings("[Show]\nMessage=1\n[Advance]\nMin=20\n[Transmit]\nState=1\n");
    app::Form1& w = start({2024, 3, 10, 23, 44, 30});
    bool flashedWhileWaiting = false;
    bench->duringSleep = [&] {
        if (bench->sleeps == 100)
            flashedWhileWaiting = w.isVisible() && w.timFlashIndicator->isActive() &&
                                  w.timTokei->isActive() && !w.Timer1->isActive();
    };
    w.Form_Load();
    EXPECT_TRUE(flashedWhileWaiting);
    EXPECT_GE(bench->sleeps, 29000) << "start-up waited for the minute start";
    EXPECT_EQ(runtime::toDateTime(bench->clock.now()).second, 0);
    EXPECT_EQ(w.transmission().code(), timecode::timecode({2024, 3, 11, 0, 5, 0}));
    EXPECT_TRUE(w.Timer1->isActive());
    EXPECT_FALSE(w.timTokei->isActive());
    EXPECT_FALSE(w.timFlashIndicator->isActive());
    EXPECT_EQ(app::Form1::textColour(w.Label4), 0x0000FFu);
    EXPECT_TRUE(w.option1Selected(0));

    // The first tick plays the marker and shows the new minute.
    w.Timer1_Timer();
    ASSERT_EQ(bench->sound.plays.size(), 1u);
    EXPECT_EQ(bench->sound.plays[0].path, folder + "/200ms.wav");
    EXPECT_EQ(pcClock(), "234500");
    EXPECT_EQ(sentClock(), "000500");
    EXPECT_EQ(sentDate(), "20240311");
}

// The ticker's clock runs a sound output's lead ahead of the PC clock, and plays each pulse
// that much before it is heard. The read-outs show the PC clock all the same: they turn when the
// PC clock's second begins, as its pulse is heard, and Label4 turns steady red with the first
// pulse heard, flashing until then.
TEST_F(Behaviour, ReadOutsTurnWithThePcClockWhileTheTickerRunsAhead)
{
    writeSettings("[Show]\nMessage=1\n[Advance]\nMin=20\n[Transmit]\nState=1\n");
    app::Form1& w = start({2024, 3, 10, 23, 44, 57}, 1200ms);
    auto* pcSecond = w.findChild<QTimer*>(QStringLiteral("pcSecond"));
    ASSERT_NE(pcSecond, nullptr);
    const auto pcAt = [](int second, std::chrono::microseconds fraction = {}) {
        return runtime::toLocalTime(DateTime{2024, 3, 10, 23, 44, 0}) + std::chrono::seconds(second) +
               fraction;
    };
    const auto tickAt = [&](runtime::LocalTime pcNow) {
        bench->clock.set(pcNow);
        w.Timer1_Timer();
    };
    const auto fire = [&](runtime::LocalTime pcNow) {
        bench->clock.set(pcNow);
        QMetaObject::invokeMethod(pcSecond, "timeout");
    };

    w.Form_Load();  // the ticker's minute starts with the PC clock at 23:44:58.8
    EXPECT_EQ(bench->clock.now(), pcAt(58, 800ms));
    w.refresh();  // as timTokei did during the wait
    tickAt(pcAt(58, 800ms));
    ASSERT_EQ(bench->sound.plays.size(), 1u);
    EXPECT_EQ(pcClock(), "234458") << "the PC clock has not reached the new minute";
    EXPECT_NE(app::Form1::textColour(w.Label4), 0x0000FFu) << "red before the first pulse is heard";
    EXPECT_TRUE(w.timFlashIndicator->isActive());
    EXPECT_EQ(pcSecond->interval(), 1200);

    // With a lead over a second, the next second is played before the last one is heard.
    tickAt(pcAt(59, 810ms));
    ASSERT_EQ(bench->sound.plays.size(), 2u);
    EXPECT_EQ(pcSecond->interval(), 190) << "aimed at the earlier boundary";

    fire(pcAt(59, 999500us));  // a wake-up a fraction early
    EXPECT_EQ(pcClock(), "234458") << "the PC clock's 23:44:59 is not a second played";
    EXPECT_NE(app::Form1::textColour(w.Label4), 0x0000FFu);
    EXPECT_EQ(pcSecond->interval(), 1);

    fire(pcAt(60, 300us));  // the first pulse is heard
    EXPECT_EQ(pcClock(), "234500");
    EXPECT_EQ(sentClock(), "000500");
    EXPECT_EQ(sentDate(), "20240311");
    EXPECT_EQ(app::Form1::textColour(w.Label4), 0x0000FFu);
    EXPECT_FALSE(w.timFlashIndicator->isActive());
    EXPECT_EQ(pcSecond->interval(), 1000);

    fire(pcAt(61, 2ms));
    EXPECT_EQ(pcClock(), "234501");
    EXPECT_FALSE(pcSecond->isActive());

    // The PC clock set back an hour with a second still due: the read-outs follow it at once.
    tickAt(pcAt(61, 800ms));
    EXPECT_TRUE(pcSecond->isActive());
    bench->clock.set(pcAt(61, 900ms) - std::chrono::hours(1));
    w.clockSet();
    EXPECT_EQ(pcClock(), "224501");
    EXPECT_FALSE(pcSecond->isActive());

    // Switched off, nothing due is left and the idle read-outs show the PC clock as it is.
    tickAt(pcAt(62, 800ms));
    EXPECT_TRUE(pcSecond->isActive());
    w.selectOption1(1);
    EXPECT_FALSE(pcSecond->isActive());
    w.timTokei_Timer();
    EXPECT_EQ(pcClock(), "234502");
}

TEST_F(Behaviour, SwitchingOffDuringTheWait)
{
    writeSettings("[Show]\nMessage=1\n[Transmit]\nState=1\n");
    app::Form1& w = start({2024, 1, 5, 9, 5, 30});
    bench->duringSleep = [&] {
        if (bench->sleeps == 50)
            w.selectOption1(1);
    };
    w.Form_Load();
    EXPECT_LT(bench->sleeps, 60);
    EXPECT_EQ(w.transmission().code(), timecode::Frame{}) << "no frame was built";
    EXPECT_FALSE(w.Timer1->isActive());
    EXPECT_TRUE(w.timTokei->isActive());
    EXPECT_FALSE(w.timFlashIndicator->isActive());
    EXPECT_EQ(app::Form1::textColour(w.Label4), 0x000080u);
    EXPECT_EQ(w.transmission().stopFlag(), -1);
    EXPECT_EQ(settings(), "[Show]\nMessage=1\n[Transmit]\nState=0\n");
}

TEST_F(Behaviour, ClosingInsideTheWaitEndsAtOnceAndWritesNothing)
{
    const std::string file = "[Show]\nMessage=1\n[Advance]\nDate=2\n[Transmit]\nState=1\n";
    writeSettings(file);
    app::Form1& w = start({2024, 1, 5, 9, 5, 30});
    bench->duringSleep = [&] {
        if (bench->sleeps == 10)
            w.close();
    };
    w.Form_Load();
    EXPECT_TRUE(w.closed());
    EXPECT_LT(bench->sleeps, 20);
    EXPECT_FALSE(w.Timer1->isActive());
    EXPECT_FALSE(w.timTokei->isActive());
    EXPECT_EQ(w.transmission().code(), timecode::Frame{});
    EXPECT_EQ(settings(), file);
}

TEST_F(Behaviour, AdvanceButtonsStoreAndShowAtTheNextRefresh)
{
    writeSettings("[Show]\nMessage=1\n");
    app::Form1& w = start({2024, 2, 28, 1, 10, 0});
    w.Form_Load();
    w.Command1[1]->click();
    EXPECT_EQ(w.advances().advDate, -1);
    EXPECT_EQ(settings(), "[Show]\nMessage=1\n[Advance]\nDate=-1\n");
    w.Command1[0]->click();
    w.Command1[0]->click();
    w.Command2[1]->click();
    w.Command2[1]->click();
    w.Command3[0]->click();
    EXPECT_EQ(w.advances(), (transmit::Advances{1, -2, 1}));
    EXPECT_EQ(settings(), "[Show]\nMessage=1\n[Advance]\nDate=1\nHour=-2\nMin=1\n");

    w.timTokei_Timer();
    EXPECT_EQ(pcDate(), "20240228");
    EXPECT_EQ(pcClock(), "011000");
    EXPECT_EQ(sentDate(), "20240228");  // a day on is 29 February, two hours back the 28th
    EXPECT_EQ(sentClock(), "231100");
}

TEST_F(Behaviour, AdvanceAtTheEndOfItsRangeStaysAndWritesNothing)
{
    const std::string file = "[Show]\nMessage=1\n[Advance]\nMin=32767\nHour=-32768\n";
    writeSettings(file);
    app::Form1& w = start({2024, 1, 5, 9, 5, 7});
    w.Form_Load();
    w.Command3[0]->click();
    ASSERT_EQ(seen().size(), 1u);
    w.Command2[1]->click();
    ASSERT_EQ(seen().size(), 2u);
    EXPECT_EQ(seen()[0].icon, app::MessageIcon::Warning);
    EXPECT_TRUE(seen()[0].text.contains(QStringLiteral("分")));
    EXPECT_TRUE(seen()[0].text.contains(QStringLiteral("32767")));
    EXPECT_TRUE(seen()[1].text.contains(QStringLiteral("時間")));
    EXPECT_EQ(w.advances(), (transmit::Advances{0, -32768, 32767}));
    EXPECT_EQ(settings(), file);
    w.Command3[1]->click();  // the other direction still works
    EXPECT_EQ(w.advances().advMin, 32766);
}

// A failed write is told while its notice is open only once, however often the user clicks;
// once the user has closed it, the next failure is told again.
TEST_F(Behaviour, FailedWriteIsToldOnceAndTheValueStaysInEffect)
{
    writeSettings("[Show]\nMessage=1\n");
    app::Form1& w = start({2024, 1, 5, 9, 5, 7});
    w.Form_Load();
    // The settings file now lies under a regular file, which stops even root from writing.
    bench->settingsFile = settings::SettingsFile({settingsPath(), false});
    const QString blocked = QString::fromStdString(settingsPath() + "/setting.ini");
    w.Command2[0]->click();
    w.Command2[0]->click();
    w.Command3[1]->click();
    ASSERT_EQ(seen().size(), 1u);
    EXPECT_TRUE(seen()[0].text.contains(blocked));
    EXPECT_TRUE(seen()[0].text.contains(QStringLiteral("理由")));
    EXPECT_EQ(w.advances(), (transmit::Advances{0, 2, -1}));
    w.timTokei_Timer();
    EXPECT_EQ(sentClock(), "110407");

    visibleBoxes("PendrelMessage")[0]->open = false;
    w.Command2[1]->click();
    ASSERT_EQ(seen().size(), 2u);
    EXPECT_TRUE(seen()[1].text.contains(QStringLiteral("[Advance] Hour=1")));
    EXPECT_EQ(settings(), "[Show]\nMessage=1\n");
}

TEST_F(Behaviour, HelpOpensTheManualBesideTheProgram)
{
    writeSettings("[Show]\nMessage=1\n");
    app::Form1& w = start({2024, 1, 5, 9, 5, 7});
    w.Form_Load();
    w.Command4->click();
    EXPECT_TRUE(bench->opened.empty());
    ASSERT_EQ(seen().size(), 1u) << "a missing manual is told, not ignored";

    QFile page(QString::fromStdString(folder + "/Pendrel.htm"));
    ASSERT_TRUE(page.open(QIODevice::WriteOnly));
    page.close();
    w.Command4->click();
    ASSERT_EQ(bench->opened.size(), 1u);
    EXPECT_TRUE(bench->opened[0].isLocalFile());
    EXPECT_TRUE(bench->opened[0].toString().endsWith(QStringLiteral("/Pendrel.htm")));
    EXPECT_EQ(seen().size(), 1u);

    bench->browserAvailable = false;
    w.Command4->click();
    ASSERT_EQ(seen().size(), 2u);
    EXPECT_TRUE(seen()[1].text.contains(QString::fromStdString(folder + "/Pendrel.htm")));
}

TEST_F(Behaviour, ReadoutsShowThePcAndTheTransmittedTime)
{
    writeSettings("[Show]\nMessage=1\n");
    struct Case {
        DateTime now;
        transmit::Advances adv;
        const char *pcClock, *pcDate, *sentClock, *sentDate;
        int pcWeekday, sentWeekday;
    } cases[] = {
        {{2024, 1, 5, 9, 5, 7}, {}, "090507", "20240105", "090507", "20240105", 6, 6},
        {{2024, 1, 5, 13, 0, 0}, {}, "130000", "20240105", "130000", "20240105", 6, 6},
        {{2024, 2, 28, 0, 0, 0}, {1, 0, 0}, "000000", "20240228", "000000", "20240229", 4, 5},
        {{2023, 2, 28, 0, 0, 0}, {1, 0, 0}, "000000", "20230228", "000000", "20230301", 3, 4},
        {{2025, 1, 1, 0, 30, 15}, {0, -1, 0}, "003015", "20250101", "233015", "20241231", 4, 3},
        {{2026, 12, 5, 23, 30, 0}, {0, 1, 0}, "233000", "20261205", "003000", "20261206", 7, 1},
        {{2026, 12, 6, 0, 10, 0}, {0, 0, -20}, "001000", "20261206", "235000", "20261205", 1, 7},
        {{2024, 1, 5, 22, 30, 0}, {0, 0, 90}, "223000", "20240105", "000000", "20240106", 6, 7},
        {{2024, 1, 5, 12, 0, 0}, {7, 0, 0}, "120000", "20240105", "120000", "20240112", 6, 6},
    };
    for (const auto& c : cases) {
        writeSettings("[Show]\nMessage=1\n[Advance]\nDate=" + std::to_string(c.adv.advDate) +
                      "\nHour=" + std::to_string(c.adv.advHour) +
                      "\nMin=" + std::to_string(c.adv.advMin) + "\n");
        app::Form1& w = start(c.now);
        w.Form_Load();
        w.timTokei_Timer();
        SCOPED_TRACE(runtime::format(c.now, "yyyy/mm/dd hh:mm:ss"));
        EXPECT_EQ(pcClock(), c.pcClock);
        EXPECT_EQ(pcDate(), c.pcDate);
        EXPECT_EQ(sentClock(), c.sentClock);
        EXPECT_EQ(sentDate(), c.sentDate);
        EXPECT_EQ(marked(w.Label5), c.pcWeekday);
        EXPECT_EQ(marked(w.Label6), c.sentWeekday);
    }
}

TEST_F(Behaviour, IndicatorFlashesBetweenDarkRedAndRed)
{
    writeSettings("[Show]\nMessage=1\n");
    app::Form1& w = start({2024, 1, 5, 9, 5, 7});
    app::Form1::setTextColour(w.Label4, 0x00FF00);
    w.timFlashIndicator_Timer();
    EXPECT_EQ(app::Form1::textColour(w.Label4), 0x0000FFu);
    w.timFlashIndicator_Timer();
    EXPECT_EQ(app::Form1::textColour(w.Label4), 0x000080u);
    w.timFlashIndicator_Timer();
    EXPECT_EQ(app::Form1::textColour(w.Label4), 0x0000FFu);
}

// Counts the paint events of every label and slot of the display panel, by object name.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* panel)
    {
        for (QLabel* label : panel->findChildren<QLabel*>())
            label->installEventFilter(this);
    }
    std::set<std::string> painted;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            painted.insert(watched->objectName().toStdString());
        return false;
    }
};

// Lets the toolkit draw everything that is due.
void settle()
{
    for (int i = 0; i < 3; ++i)
        QApplication::processEvents();
}

// The read-outs are written every 200 ms; only a slot whose digit changed, or a label whose
// colour changed, is drawn again.
TEST_F(Behaviour, RefreshRepaintsOnlyWhatChanged)
{
    writeSettings("[Show]\nMessage=1\n");
    app::Form1& w = start({2024, 1, 5, 23, 59, 58});
    w.Form_Load();
    w.timTokei->stop();  // refreshed by hand below
    bench->clock.advance(500ms);
    w.timTokei_Timer();
    settle();
    PaintCounter counter(w.Picture1);

    using Names = std::set<std::string>;
    struct Case {
        const char* what;
        std::function<void()> change;
        Names painted;
    };
    const auto refreshAfter = [&](std::chrono::microseconds d) {
        return [&, d] {
            bench->clock.advance(d);
            w.timTokei_Timer();
        };
    };
    const std::vector<Case> cases = {
        {"nothing changed", refreshAfter(200ms), {}},
        {"one second on", refreshAfter(1s), {"Image7_5", "Image17_5"}},
        {"a new day, Friday to Saturday",
         refreshAfter(1s),
         {"Image7_0", "Image7_1", "Image7_2", "Image7_3", "Image7_4", "Image7_5", "Image17_0",
          "Image17_1", "Image17_2", "Image17_3", "Image17_4", "Image17_5", "Image10_7",
          "Image20_7", "Label5_5", "Label5_6", "Label6_5", "Label6_6"}},
        {"within the same second", refreshAfter(100ms), {}},
        {"indicator given its own colour", [&] { app::Form1::setTextColour(w.Label4, 0x000080); }, {}},
        {"indicator flashes", [&] { w.timFlashIndicator_Timer(); }, {"Label4"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        counter.painted.clear();
        c.change();
        settle();
        EXPECT_EQ(counter.painted, c.painted);
    }
    EXPECT_EQ(pcClock(), "000000");
    EXPECT_EQ(pcDate(), "20240106");
    EXPECT_EQ(marked(w.Label6), 7);
}

// The sound output rests whenever nothing is sent: from creation, after switching off and on
// closing; it is woken by the switch, before the wait for the first minute.
TEST_F(Behaviour, SoundRestsWhileNothingIsSent)
{
    writeSettings("[Show]\nMessage=1\n[Transmit]\nState=1\n");
    app::Form1& w = start({2024, 1, 5, 9, 5, 58});
    const std::vector<bool>& calls = bench->sound.transmitting;
    EXPECT_EQ(calls, std::vector<bool>{false});

    std::optional<bool> duringWait;
    bench->duringSleep = [&] {
        if (bench->sleeps == 1)
            duringWait = calls.back();
    };
    w.Form_Load();
    EXPECT_EQ(duringWait, true);
    EXPECT_EQ(calls, (std::vector<bool>{false, true}));
    for (int i = 0; i < 2500; ++i) {
        bench->clock.advance(1ms);
        w.Timer1_Timer();
    }
    EXPECT_EQ(bench->sound.plays.size(), 3u);

    w.selectOption1(1);
    EXPECT_EQ(calls, (std::vector<bool>{false, true, false}));

    // Switched on, then off again during the wait for the minute.
    const int sleepsBefore = bench->sleeps;
    bench->duringSleep = [&] {
        if (bench->sleeps == sleepsBefore + 20)
            w.selectOption1(1);
    };
    w.selectOption1(0);
    EXPECT_EQ(calls, (std::vector<bool>{false, true, false, true, false}));

    bench->duringSleep = nullptr;
    w.selectOption1(0);
    w.close();
    EXPECT_EQ(calls, (std::vector<bool>{false, true, false, true, false, true, false}));
    EXPECT_EQ(bench->sound.playsWhileResting, 0);
}

// Timer1 as the event loop runs it, each tick when the interval it was last started with has
// passed on the fake clock: after a tick it sleeps until just before the next second boundary,
// polls there, runs the minute-start wait at second 59 inside its tick, and is aimed afresh when
// the PC clock is set while it sleeps. Every pulse leaves within one poll of its second (or of
// the step that landed in it), with a few ticks a second.
TEST_F(Behaviour, Timer1WakesJustBeforeEachSecond)
{
    writeSettings("[Show]\nMessage=1\n[Transmit]\nState=1\n");
    app::Form1& w = start({2024, 1, 5, 9, 5, 58});
    w.Form_Load();
    ASSERT_TRUE(w.Timer1->isActive());
    EXPECT_EQ(w.Timer1->interval(), 1) << "second 00 still waits for its tick";

    const auto& plays = bench->sound.plays;
    struct Landing {
        runtime::LocalTime at;
        std::size_t playsBefore;
    };
    std::vector<Landing> landings;
    long ticks = 0;
    const auto tick = [&] {
        const std::size_t before = plays.size();
        w.Timer1_Timer();
        ++ticks;
        if (plays.size() == before || !w.Timer1->isActive())
            return;
        // Second 59 runs the minute-start wait inside its tick, which returns in second 00:
        // the next tick comes at once to play it.
        const auto now = bench->clock.now();
        if (runtime::toDateTime(plays.back().at).second == 59) {
            EXPECT_EQ(runtime::toDateTime(now).second, 0);
            EXPECT_EQ(w.Timer1->interval(), 1);
            return;
        }
        // A second just handled: the wake-up falls 2 to 3 ms before the next boundary.
        const auto wake = now + std::chrono::milliseconds(w.Timer1->interval());
        const auto boundary = std::chrono::floor<std::chrono::seconds>(now) + 1s;
        EXPECT_LE(wake, boundary - 2ms) << (boundary - wake).count() << " us before the boundary";
        EXPECT_GT(wake, boundary - 3ms) << (boundary - wake).count() << " us before the boundary";
    };
    const auto runUntil = [&](runtime::LocalTime end) {
        while (bench->clock.now() < end) {
            ASSERT_TRUE(w.Timer1->isActive());
            bench->clock.advance(std::chrono::milliseconds(w.Timer1->interval()));
            tick();
        }
    };
    // The clock set by `by` a while into the sleep after a tick that played.
    const auto setDuringSleep = [&](std::chrono::microseconds by) {
        const std::size_t before = plays.size();
        while (plays.size() == before) {
            bench->clock.advance(std::chrono::milliseconds(w.Timer1->interval()));
            tick();
        }
        bench->clock.advance(300ms);
        bench->clock.advance(by);
        landings.push_back({bench->clock.now(), plays.size()});
        w.clockSet();
    };
    const auto t = [](int minute, int second, std::chrono::microseconds fraction) {
        return runtime::toLocalTime({2024, 1, 5, 9, minute, second}) + fraction;
    };

    runUntil(t(6, 2, 500ms));
    setDuringSleep(500ms);  // forwards within the second
    runUntil(t(6, 10, 500ms));
    setDuringSleep(1700ms);  // forwards into a later second
    runUntil(t(6, 20, 500ms));
    setDuringSleep(-1700ms);  // back into an earlier second
    runUntil(t(7, 1, 500ms));

    ASSERT_GE(plays.size(), 60u);
    for (std::size_t i = 0; i < plays.size(); ++i) {
        SCOPED_TRACE(runtime::format(runtime::toDateTime(plays[i].at), "hh:mm:ss"));
        const runtime::LocalTime boundary = std::chrono::floor<std::chrono::seconds>(plays[i].at);
        runtime::LocalTime due = boundary;
        for (const Landing& l : landings)
            if (l.playsBefore == i)
                due = std::max(boundary, l.at);
        const auto late = plays[i].at - due;
        EXPECT_GE(late, 0us);
        EXPECT_LE(late, runtime::toDateTime(plays[i].at).second == 0 ? 10000us : 1000us);
    }
    EXPECT_LE(ticks, 4 * long(plays.size()));
}

// A whole day across a year end with advances, through the window's own timers' handlers: the
// pulses recorded minute by minute are the frames pendrel-frame prints for the transmitted time.
TEST_F(Behaviour, DayAcrossTheYearEndSendsWhatTheFrameToolPrints)
{
    writeSettings("[Show]\nMessage=1\n[Advance]\nDate=0\nHour=9\nMin=-3\n[Transmit]\nState=1\n");
    const DateTime first{2025, 12, 31, 12, 0, 30};
    app::Form1& w = start(first);
    bench->sleepStep = 3ms;
    w.Form_Load();
    const auto end = runtime::toLocalTime({2026, 1, 1, 12, 1, 0}) + 500ms;
    while (bench->clock.now() < end) {
        bench->clock.advance(40ms);
        w.Timer1_Timer();
    }

    // The pulses by PC minute, as digits.
    std::map<std::string, std::string> sent;
    for (const auto& play : bench->sound.plays) {
        const DateTime at = runtime::toDateTime(play.at);
        std::string& minute = sent[runtime::format(at, "yyyy/mm/dd hh:mm")];
        minute.resize(60, '-');
        const char kind = play.path.ends_with("/200ms.wav")   ? '0'
                          : play.path.ends_with("/500ms.wav") ? '1'
                                                              : '2';
        ASSERT_EQ(minute[std::size_t(at.second)], '-') << "second played twice";
        // Every pulse is asked for with exactly how late its tick noticed the second, and soon
        // enough for the sound output to place it on its boundary all the same; the marker of
        // second 00 is played by the first tick after the start gate.
        const auto late = play.at - runtime::toLocalTime(at);
        ASSERT_EQ(play.late, late) << runtime::format(at, "hh:mm:ss");
        ASSERT_LT(late, 100ms) << runtime::format(at, "hh:mm:ss");
        minute[std::size_t(at.second)] = kind;
    }
    // The run ends half a second into the minute after the last whole one.
    ASSERT_EQ(sent.size(), 24u * 60u + 1u);
    EXPECT_EQ(std::prev(sent.end())->second, "0" + std::string(59, '-'));
    sent.erase(std::prev(sent.end()));

    QStringList expectedMinutes;
    for (const auto& [pcMinute, digits] : sent) {
        const DateTime pc = *runtime::parseDateTime(pcMinute + ":00");
        const DateTime t = runtime::transmittedTime(pc, 0, 9, -3);
        expectedMinutes << QString::fromStdString(runtime::format(t, "yyyy/mm/dd hh:mm"))
                               .replace(QLatin1Char('/'), QLatin1Char('-'));
    }
    QProcess tool;
    tool.start(QStringLiteral(PENDREL_FRAME_TOOL), {});
    ASSERT_TRUE(tool.waitForStarted());
    tool.write((expectedMinutes.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
    tool.closeWriteChannel();
    ASSERT_TRUE(tool.waitForFinished(30000));
    const QStringList frames = QString::fromUtf8(tool.readAllStandardOutput()).split(
        QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(frames.size(), expectedMinutes.size());

    int i = 0;
    for (const auto& [pcMinute, digits] : sent) {
        ASSERT_EQ(digits, frames[i].toStdString())
            << "PC minute " << pcMinute << ", sent " << expectedMinutes[i].toStdString();
        ++i;
    }
    EXPECT_EQ(expectedMinutes.first(), QStringLiteral("2025-12-31 20:58"));
    EXPECT_TRUE(expectedMinutes.contains(QStringLiteral("2026-01-01 00:00")));
}


// Trouble with the sound while transmitting: told once, after it has lasted two seconds, in a
// box that leaves the ticker running; the box follows the trouble; its end is told too; a new
// episode is told again. Label4's tooltip always says what the state is.
TEST_F(Behaviour, SignalTroubleIsToldOncePerEpisodeAndItsEnd)
{
    using Status = platform::SoundStatus;
    const Status working = testbench::RecordingSound::working();
    // Each way the output fails is worked out by display::SignalWatch; here, that what it finds
    // reaches the tooltip and the notices.
    const struct {
        const char* what;
        Status status;
        std::vector<QString> said;  // in the message
        QString tip;                // in the tooltip
    } cases[] = {
        {"no sound server", {"PipeWire", false, false, "", {}},
         {QStringLiteral("サウンドサーバー（PipeWire）に接続できません"), QStringLiteral("systemctl --user start")},
         QStringLiteral("サウンドサーバーに接続できません")},
        {"a file too long", {"PulseAudio", true, true, "Test speakers",
                             {{folder + "/200ms.wav", true, ""},
                              {folder + "/500ms.wav", false, "長さ 600.0 秒はパルスの音として長すぎます"}}},
         {QString::fromStdString(folder + "/500ms.wav"), QStringLiteral("長すぎます"),
          QStringLiteral("「1」（0.5 秒）のパルスは無音"),
          QString::fromStdString(folder + "/pendrel-make-sounds " + folder)},
         QStringLiteral("500ms.wav: 長さ 600.0 秒")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        writeSettings("[Show]\nMessage=1\n");
        app::Form1& w = start({2024, 1, 5, 9, 5, 59});
        w.Form_Load();
        testbench::RecordingSound& sound = bench->sound;
        const auto poll = [&](int times) {
            for (int i = 0; i < times; ++i) {
                w.checkSignal();
                bench->clock.advance(1s);
            }
        };

        // Not transmitting: only the tooltip tells, brought up to date as it is about to show;
        // nothing looks at the output on its own.
        sound.soundStatus = c.status;
        EXPECT_FALSE(w.findChild<QTimer*>(QStringLiteral("signalWatch"))->isActive());
        QHelpEvent hover(QEvent::ToolTip, QPoint(2, 2), w.Label4->mapToGlobal(QPoint(2, 2)));
        QCoreApplication::sendEvent(w.Label4, &hover);
        EXPECT_TRUE(w.Label4->toolTip().startsWith(QStringLiteral("送信していません"))) << w.Label4->toolTip().toStdString();
        EXPECT_TRUE(w.Label4->toolTip().contains(c.tip)) << w.Label4->toolTip().toStdString();
        poll(3);
        EXPECT_TRUE(visibleBoxes("PendrelSignalMessage").empty());

        // A moment's trouble after switching on is not told.
        w.selectOption1(0);
        ASSERT_TRUE(w.Timer1->isActive());
        poll(2);
        EXPECT_TRUE(visibleBoxes("PendrelSignalMessage").empty());
        sound.soundStatus = working;
        poll(1);
        sound.soundStatus = c.status;
        poll(2);
        EXPECT_TRUE(visibleBoxes("PendrelSignalMessage").empty());
        poll(1);
        auto boxes = visibleBoxes("PendrelSignalMessage");
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_FALSE(boxes[0]->modal);
        for (const QString& part : c.said)
            EXPECT_TRUE(boxes[0]->text.contains(part)) << boxes[0]->text.toStdString();
        EXPECT_TRUE(w.Label4->toolTip().contains(c.tip)) << w.Label4->toolTip().toStdString();
        EXPECT_TRUE(w.Label4->toolTip().startsWith(QStringLiteral("信号が出ていません")));

        // The ticker goes on while the box is open, and no second box comes.
        const std::size_t played = sound.plays.size();
        for (int i = 0; i < 100; ++i) {
            bench->clock.advance(20ms);
            w.Timer1_Timer();
        }
        EXPECT_GT(sound.plays.size(), played);
        poll(5);
        EXPECT_EQ(visibleBoxes("PendrelSignalMessage").size(), 1u);

        // Back: the trouble's box goes, a short one says so, the tooltip too.
        sound.soundStatus = working;
        poll(1);
        EXPECT_TRUE(visibleBoxes("PendrelSignalMessage").empty());
        const auto back = visibleBoxes("PendrelSignalBack");
        ASSERT_EQ(back.size(), 1u);
        EXPECT_TRUE(back[0]->text.contains(QStringLiteral("信号がまた出ています")));
        EXPECT_TRUE(w.Label4->toolTip().startsWith(QStringLiteral("信号を送信しています")));
        back[0]->open = false;

        // A new episode, closed by the user at once: told once, not again while it lasts.
        sound.soundStatus = c.status;
        poll(3);
        boxes = visibleBoxes("PendrelSignalMessage");
        ASSERT_EQ(boxes.size(), 1u);
        boxes[0]->open = false;
        poll(5);
        EXPECT_TRUE(visibleBoxes("PendrelSignalMessage").empty());

        // Switching off ends the episode without a word.
        w.selectOption1(1);
        poll(3);
        EXPECT_TRUE(visibleBoxes("PendrelSignalBack").empty());
        EXPECT_TRUE(visibleBoxes("PendrelSignalMessage").empty());
        bench.reset();
    }

    // An output that reports nothing is not judged either way.
    writeSettings("[Show]\nMessage=1\n");
    app::Form1& w = start({2024, 1, 5, 9, 5, 59});
    w.Form_Load();
    w.selectOption1(0);
    bench->sound.soundStatus = {};
    for (int i = 0; i < 5; ++i) {
        w.checkSignal();
        bench->clock.advance(1s);
    }
    EXPECT_TRUE(visibleBoxes("PendrelSignalMessage").empty());
    EXPECT_EQ(w.Label4->toolTip(), QStringLiteral("音声の出力の状態はわかりません"));

    // A muted output: told as a signal that may not reach the clock, the way out listed in the
    // tooltip; unmuted, its box closes and no other comes.
    Status muted = working;
    muted.route = {true, "", platform::SoundRoute::Kind::BuiltIn, platform::SoundRoute::Port::Speaker,
                   "Speakers", true, 100, false, 80, {}};
    for (int i = 0; i < 3; ++i) {
        bench->sound.soundStatus = muted;
        w.checkSignal();
        bench->clock.advance(1s);
    }
    const auto mutedBoxes = visibleBoxes("PendrelSignalMessage");
    ASSERT_EQ(mutedBoxes.size(), 1u);
    EXPECT_TRUE(mutedBoxes[0]->text.contains(QStringLiteral("出力先「Test speakers」がミュートされています")))
        << mutedBoxes[0]->text.toStdString();
    EXPECT_TRUE(w.Label4->toolTip().contains(QStringLiteral("音量: 出力先 100 %（ミュート）、Pendrel 80 %")))
        << w.Label4->toolTip().toStdString();
    bench->sound.soundStatus.route.deviceMuted = false;
    w.checkSignal();
    bench->clock.advance(1s);
    EXPECT_TRUE(visibleBoxes("PendrelSignalMessage").empty());
    EXPECT_TRUE(visibleBoxes("PendrelSignalBack").empty());

    // A direct 40 kHz set through an output fed at 48 kHz: told once, and the pulses go on.
    Status tooSlow = working;
    tooSlow.streamRate = 96000;
    tooSlow.outputRate = 48000;
    tooSlow.carrierHz = 40000;
    Status fastEnough = tooSlow;
    fastEnough.outputRate = 96000;
    for (const Status& s : {fastEnough, tooSlow, tooSlow, fastEnough, tooSlow}) {
        bench->sound.soundStatus = s;
        w.checkSignal();
        bench->clock.advance(1s);
        w.Timer1_Timer();
    }
    const auto carrierBoxes = visibleBoxes("PendrelCarrierMessage");
    ASSERT_EQ(carrierBoxes.size(), 1u);
    EXPECT_FALSE(carrierBoxes[0]->modal);
    for (const char* part : {"40.0 kHz", "48.0 kHz", "送信はこのまま続けます"})
        EXPECT_TRUE(carrierBoxes[0]->text.contains(QString::fromUtf8(part)))
            << carrierBoxes[0]->text.toStdString();
    EXPECT_TRUE(visibleBoxes("PendrelSignalMessage").empty());
    EXPECT_GE(bench->sound.plays.size(), 4u);
}

// A warning opened by a click handled inside the minute-start wait only shows itself: the wait
// goes on and the first minute starts on time.
TEST_F(Behaviour, MessageInsideTheWaitLeavesItRunning)
{
    writeSettings("[Show]\nMessage=1\n[Advance]\nMin=32767\n");
    app::Form1& w = start({2024, 1, 5, 9, 5, 59});
    w.Form_Load();
    bool shownAfterClick = false;
    bool modal = true;
    bench->duringSleep = [&] {
        if (bench->sleeps != 100)
            return;
        w.Command3[0]->click();
        const auto open = visibleBoxes("PendrelMessage");
        shownAfterClick = !open.empty();
        modal = shownAfterClick && open[0]->modal;
    };
    w.selectOption1(0);
    EXPECT_TRUE(shownAfterClick) << "the click returned with its box still open";
    EXPECT_FALSE(modal);
    EXPECT_GE(bench->sleeps, 1000);
    EXPECT_TRUE(w.Timer1->isActive());
    EXPECT_EQ(runtime::toDateTime(bench->clock.now()).second, 0);
    ASSERT_EQ(seen().size(), 1u);
    EXPECT_TRUE(seen()[0].text.contains(QStringLiteral("32767")));
}

// The PC clock's state is asked at each switch-on; a clock nothing keeps right is told once,
// without stopping the switch-on, until a switch-on finds it synchronised again.
TEST_F(Behaviour, UnsynchronisedClockIsToldOnceAtSwitchOn)
{
    const struct {
        const char* what;
        platform::ClockSync sync;
        const char16_t* said;  // nullptr: nothing is said
    } cases[] = {
        {"synchronised", {true, true, 30ms}, nullptr},
        {"not synchronised", {true, false, 16s}, u"同期されていません"},
        {"synchronised but far off", {true, true, 800ms}, u"0.8 秒"},
        {"kernel did not answer", {false, false, {}}, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        writeSettings("[Show]\nMessage=1\n");
        app::Form1& w = start({2024, 1, 5, 9, 5, 59});
        bench->clockSync = c.sync;
        w.Form_Load();
        EXPECT_EQ(bench->clockQueries, 0) << "asked only when switching on";
        for (int round = 0; round < 2; ++round) {
            w.selectOption1(0);
            EXPECT_TRUE(w.Timer1->isActive());
            w.selectOption1(1);
        }
        EXPECT_EQ(bench->clockQueries, 2);
        const auto boxes = visibleBoxes("PendrelClockMessage");
        if (c.said == nullptr) {
            EXPECT_TRUE(boxes.empty());
        } else {
            ASSERT_EQ(boxes.size(), 1u);
            EXPECT_FALSE(boxes[0]->modal);
            EXPECT_TRUE(boxes[0]->text.contains(QString::fromUtf16(c.said)));
            EXPECT_TRUE(boxes[0]->text.contains(QStringLiteral("timedatectl set-ntp true")));
            boxes[0]->open = false;
            bench->clockSync = {true, true, 10ms};
            w.selectOption1(0);
            w.selectOption1(1);
            bench->clockSync = c.sync;
            w.selectOption1(0);
            EXPECT_EQ(visibleBoxes("PendrelClockMessage").size(), 1u) << "told again after a good spell";
        }
        bench.reset();
    }
}

}  // namespace
