// The window's behaviour: start-up, the transmit switch, the advance buttons, help, the timers
// and closing, and the read-outs that refresh draws.

#include "form1.h"

#include "display/readouts.h"
#include "mod_ini_edit.h"
#include "runtime/text.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QMessageBox>
#include <QScreen>
#include <QUrl>

#include <algorithm>
#include <exception>

namespace app {

namespace {

QString fromLocal(const std::string& text)
{
    return QString::fromLocal8Bit(text.data(), qsizetype(text.size()));
}

const QString kFirstRunMessage =
    QStringLiteral("電波時計用ペンドレルをインストールしていただきありがとうございます。") +
    QStringLiteral("\r\n") +
    QStringLiteral("このソフトの操作方法や原理、アンテナの作り方などは ？ ボタンを押していただくと、"
                   "オンライン上の情報をご覧いただけますので、まずはご一読ください。");

}  // namespace

std::string Form1::manualPath()
{
    return programFolder() + "/Pendrel.htm";
}

// --- Start-up ---------------------------------------------------------------------------------

void Form1::Form_Load()
{
    show();

    if (ReadIni("Show", "Message").empty()) {
        // The one modal message: nothing is transmitting yet, and the user reads it first.
        QMessageBox box(QMessageBox::Information, QString(), kFirstRunMessage, QMessageBox::Ok,
                        this);
        box.setObjectName(QStringLiteral("PendrelMessage"));
        box.exec();
        if (m_closed)
            return;
        storeSetting("Show", "Message", "1");
    }

    m_advances.advDate = loadAdvance("Date", QStringLiteral("日"));
    m_advances.advHour = loadAdvance("Hour", QStringLiteral("時間"));
    m_advances.advMin = loadAdvance("Min", QStringLiteral("分"));

    // Only the exact text "1" means on. Selecting On raises its click like a user's would, and
    // with it the wait for the first minute.
    if (!m_closed && ReadIni("Transmit", "State") == "1")
        selectOption1(0);
}

// A stored advance that does not fit starts at 0 for this run; the file keeps what the user
// wrote, so nothing is lost.
std::int16_t Form1::loadAdvance(const char* key, const QString& what)
{
    const std::string text = ReadIni("Advance", key);
    try {
        return runtime::toInt16(runtime::leadingNumber(text));
    } catch (const runtime::OverflowError&) {
        showMessage(QMessageBox::Warning,
                    QStringLiteral("設定ファイルの [Advance] %1 の値「%2」は範囲外です"
                                   "（%3の調整は -32768 から 32767 まで）。\n"
                                   "今回は 0 として始めます。設定ファイルは変更していません。\n\n%4")
                        .arg(QLatin1String(key), fromLocal(text), what,
                             QString::fromStdString(settingsPath())));
        return 0;
    }
}

// --- Transmit switch --------------------------------------------------------------------------

void Form1::Option1_Click(int /*index*/)
{
    if (m_closed)
        return;
    if (option1Selected(1)) {
        storeSetting("Transmit", "State", "0");
        Timer1->stop();
        timTokei->start();
        timFlashIndicator->stop();
        m_refreshDue.clear();
        m_redAt.reset();
        m_pcSecond->stop();
        setTextColour(Label4, transmit::kDarkRed);
        m_transmission.setStopFlag(-1);
        m_services.sound->setTransmitting(false);
        m_signalWatch->stop();
        checkSignal();  // ends a trouble episode and tells the output's state at rest
    } else {
        storeSetting("Transmit", "State", "1");
        warnIfClockUntrusted();
        m_transmission.setStopFlag(0);
        // The sound output wakes now, so it is ready long before the minute's first pulse.
        m_services.sound->setTransmitting(true);
        m_signalWatch->start();
        m_transmission.startminute();
    }
}

// --- Advance buttons --------------------------------------------------------------------------

void Form1::Command1_Click(int index)
{
    stepAdvance(m_advances.advDate, "Date", QStringLiteral("日"), index);
}

void Form1::Command2_Click(int index)
{
    stepAdvance(m_advances.advHour, "Hour", QStringLiteral("時間"), index);
}

void Form1::Command3_Click(int index)
{
    stepAdvance(m_advances.advMin, "Min", QStringLiteral("分"), index);
}

// Plus adds one, minus takes one away, within the 16-bit range; past it the value and the file
// stay as they are. The frame being sent is not rebuilt: the new value enters the code at the
// next minute start and the read-outs at their next refresh.
void Form1::stepAdvance(std::int16_t& value, const char* key, const QString& what, int index)
{
    const int next = int(value) + (index == 0 ? 1 : -1);
    if (next > 32767 || next < -32768) {
        showMessage(QMessageBox::Warning,
                    QStringLiteral("%1の調整はこれ以上%2られません。\n"
                                   "調整できる範囲は -32768 から 32767 までです。")
                        .arg(what, index == 0 ? QStringLiteral("進め") : QStringLiteral("戻せ")));
        return;
    }
    value = std::int16_t(next);
    storeSetting("Advance", key, runtime::int16Text(value));
}

// --- Help -------------------------------------------------------------------------------------

void Form1::Command4_Click()
{
    const QString path = QString::fromStdString(manualPath());
    if (!QFileInfo::exists(path)) {
        showMessage(QMessageBox::Warning,
                    QStringLiteral("マニュアルが見つかりません。\n%1").arg(path));
        return;
    }
    if (!m_services.openUrl(QUrl::fromLocalFile(path)))
        showMessage(QMessageBox::Warning,
                    QStringLiteral("マニュアルを開けませんでした。ウェブブラウザが設定されて"
                                   "いないようです。\n次のファイルをブラウザで開いてください。\n%1")
                        .arg(path));
}

// --- Timers -----------------------------------------------------------------------------------

void Form1::Timer1_Timer()
{
    ++m_timer1Depth;
    try {
        m_transmission.timer1Tick();
    } catch (const std::exception&) {
        // A seconds text outside 00..59 is refused before anything is played; a real clock
        // never gives one, and the next tick carries on.
    }
    --m_timer1Depth;
    // Only the outermost tick aims the next wake-up: aiming restarts Timer1 as a new timer, which
    // the toolkit would deliver inside a minute-start wait that is still running.
    if (m_timer1Depth == 0)
        aimTimer1();
}

void Form1::clockSet()
{
    // What was due on the PC clock as it read before is shown now, by the new time.
    if (!m_refreshDue.empty() || m_redAt) {
        m_refreshDue.clear();
        if (m_redAt)
            m_redAt = runtime::LocalTime::min();
        servePcSecond();
        refresh();
    }
    // Inside a tick the minute-start wait polls by itself, and the tick aims when it ends.
    if (m_timer1Depth == 0)
        aimTimer1();
}

void Form1::timTokei_Timer()
{
    refresh();
}

void Form1::timFlashIndicator_Timer()
{
    setTextColour(Label4, textColour(Label4) == transmit::kRed ? transmit::kDarkRed : transmit::kRed);
}

// --- Closing ----------------------------------------------------------------------------------

// Closing ends the program from any state. Every setting was stored when it changed, so nothing
// is written here; a running wait sees the stop at its next poll and returns.
void Form1::closeEvent(QCloseEvent* event)
{
    event->accept();
    m_closed = true;
    m_transmission.setStopFlag(-1);
    Timer1->stop();
    timTokei->stop();
    timFlashIndicator->stop();
    m_pcSecond->stop();
    m_signalWatch->stop();
    m_services.sound->setTransmitting(false);
    QCoreApplication::quit();
}

// --- Read-outs --------------------------------------------------------------------------------

void Form1::refresh()
{
    youbi();
    youbi2();
    tokei();
    tokei2();
    hiduke();
    hiduke2();
}

const runtime::Clock& Form1::pcClock() const
{
    return m_services.pcClock != nullptr ? *m_services.pcClock : *m_services.clock;
}

runtime::DateTime Form1::pcTime() const
{
    return runtime::toDateTime(pcClock().now());
}

runtime::DateTime Form1::transmitted() const
{
    return runtime::transmittedTime(pcTime(), m_advances.advDate, m_advances.advHour,
                                    m_advances.advMin);
}

namespace {

template <std::size_t N, typename Digits>
void showDigits(std::array<QLabel*, N>& targets, const std::array<QLabel*, 10>& pictures,
                const Digits& digits)
{
    for (std::size_t k = 0; k < N; ++k)
        Form1::showPicture(targets[k], pictures[std::size_t(digits[k])]);
}

void colourWeekdays(std::array<QLabel*, 7>& labels, int weekday)
{
    const auto colours = display::weekdayColours(weekday);
    for (std::size_t i = 0; i < 7; ++i)
        Form1::setTextColour(labels[i], colours[i]);
}

}  // namespace

void Form1::tokei()
{
    showDigits(Image7, Image5, display::clockDigits(pcTime()));
}

void Form1::tokei2()
{
    showDigits(Image17, Image5, display::clockDigits(transmitted()));
}

void Form1::hiduke()
{
    showDigits(Image10, Image8, display::dateDigits(pcTime()));
}

void Form1::hiduke2()
{
    showDigits(Image20, Image8, display::dateDigits(transmitted()));
}

void Form1::youbi()
{
    colourWeekdays(Label5, runtime::weekdayNumber(pcTime()));
}

void Form1::youbi2()
{
    colourWeekdays(Label6, runtime::weekdayNumber(transmitted()));
}

// --- What the transmission needs of the window ------------------------------------------------

void Form1::setTimerEnabled(transmit::TimerId timer, bool on)
{
    QTimer* t = timer == transmit::TimerId::Timer1     ? Timer1
                : timer == transmit::TimerId::timTokei ? timTokei
                                                       : timFlashIndicator;
    if (!on) {
        t->stop();
    } else if (!t->isActive()) {
        t->start();
        if (t == Timer1)
            aimTimer1();
    }
}

std::uint32_t Form1::indicatorColour() const
{
    return textColour(Label4);
}

// Steady red says the signal is being heard. At the end of the minute-start wait the ticker's
// clock has reached the minute's first boundary, which the PC clock reaches as its pulse is
// heard; until then the indicator flashes on.
void Form1::setIndicatorColour(std::uint32_t colour)
{
    m_redAt.reset();
    if (colour == transmit::kRed && Timer1->isActive()) {
        const auto boundary = std::chrono::floor<std::chrono::seconds>(m_services.clock->now());
        if (pcClock().now() < boundary) {
            m_redAt = boundary;
            if (!timFlashIndicator->isActive())
                timFlashIndicator->start();
            servePcSecond();
            return;
        }
    }
    setTextColour(Label4, colour);
}

void Form1::refreshAt(runtime::LocalTime boundary)
{
    m_refreshDue.push_back(boundary);
    servePcSecond();
}

void Form1::servePcSecond()
{
    const runtime::LocalTime now = pcClock().now();
    bool due = false;
    // Nothing played is due this far ahead: the PC clock was set back.
    const bool setBack = !m_refreshDue.empty() && m_refreshDue.front() - now > std::chrono::seconds(5);
    while (!m_refreshDue.empty() && (setBack || m_refreshDue.front() <= now)) {
        m_refreshDue.pop_front();
        due = true;
    }
    if (m_redAt && (*m_redAt <= now || *m_redAt - now > std::chrono::seconds(5))) {
        m_redAt.reset();
        timFlashIndicator->stop();
        setTextColour(Label4, transmit::kRed);
    }
    if (due)
        refresh();

    std::optional<runtime::LocalTime> next;
    if (!m_refreshDue.empty())
        next = m_refreshDue.front();
    if (m_redAt && (!next || *m_redAt < *next))
        next = m_redAt;
    if (!next) {
        m_pcSecond->stop();
        return;
    }
    // Whole milliseconds, rounded up: a wake-up a fraction early would find nothing due.
    m_pcSecond->start(int(std::chrono::ceil<std::chrono::milliseconds>(*next - now).count()));
}

void Form1::sleepAndProcessEvents()
{
    m_services.sleep1ms();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

// --- Messages and settings --------------------------------------------------------------------

// A box with no title of its own, so it shows the application's name. It may be opened from
// inside Timer1's handler, where Qt delivers no further ticks until the handler returns: a
// modal exec() there would stop the signal and the read-outs while the box is open. So the box
// only shows itself, and the handler returns at once.
QMessageBox* Form1::showMessage(int icon, const QString& text, const QString& name)
{
    auto* box = new QMessageBox(QMessageBox::Icon(icon), QString(), text, QMessageBox::Ok, this);
    box->setObjectName(name);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    // Beside the window rather than over it: the read-outs and the indicator stay in view while
    // the box is open. Below it where the screen has room, else above; else where Qt puts it.
    box->adjustSize();
    if (const QScreen* screen = this->screen(); screen != nullptr && isVisible()) {
        const QRect area = screen->availableGeometry();
        const QRect window = frameGeometry();
        const QSize size = box->frameGeometry().size();
        const int x = std::clamp(window.center().x() - size.width() / 2, area.left(),
                                 std::max(area.left(), area.right() + 1 - size.width()));
        if (window.bottom() + 1 + size.height() <= area.bottom() + 1)
            box->move(x, window.bottom() + 1);
        else if (window.top() - size.height() >= area.top())
            box->move(x, window.top() - size.height());
    }
    box->show();
    return box;
}

// Every setting is stored the moment it changes. A write that fails is told to the user once,
// naming the file and the reason; the new value stays in effect for this run.
void Form1::storeSetting(const char* section, const char* key, const std::string& value)
{
    const platform::WriteResult result = WriteIni(section, key, value);
    if (result)
        return;
    showMessage(QMessageBox::Warning,
                QStringLiteral("設定を保存できませんでした（[%1] %2=%3）。\n"
                               "ファイル: %4\n理由: %5\n\n"
                               "この設定は今回の実行中だけ有効です。")
                    .arg(QLatin1String(section), QLatin1String(key), fromLocal(value),
                         QString::fromStdString(settingsPath()), fromLocal(result.reason)));
}

}  // namespace app
