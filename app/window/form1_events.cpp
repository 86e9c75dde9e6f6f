// The window's behaviour: start-up, the transmit switch, the advance buttons, help, the timers,
// closing, and the settings and messages behind them.

#include "app/window/form1.h"

#include "display/colours.h"
#include "runtime/text.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QUrl>

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

std::string Form1::manualPath() const
{
    return m_services.programFolder + "/Pendrel.htm";
}

// --- Start-up ---------------------------------------------------------------------------------

void Form1::Form_Load()
{
    show();

    if (m_services.settings->ReadIni("Show", "Message").empty()) {
        // The one modal message: nothing is transmitting yet, and the user reads it first.
        m_services.messages->tell(this, MessageIcon::Information, kFirstRunMessage);
        if (m_closed)
            return;
        storeSetting("Show", "Message", "1");
    }

    m_advances.advDate = loadAdvance("Date", QStringLiteral("日"));
    m_advances.advHour = loadAdvance("Hour", QStringLiteral("時間"));
    m_advances.advMin = loadAdvance("Min", QStringLiteral("分"));

    // Only the exact text "1" means on. Selecting On raises its click like a user's would, and
    // with it the wait for the first minute.
    if (!m_closed && m_services.settings->ReadIni("Transmit", "State") == "1")
        selectOption1(0);
}

// A stored advance that does not fit starts at 0 for this run; the file keeps what the user
// wrote, so nothing is lost.
std::int16_t Form1::loadAdvance(const char* key, const QString& what)
{
    const settings::StoredAdvance stored = settings::readAdvance(*m_services.settings, key);
    if (stored.overflowed) {
        showMessage(MessageIcon::Warning,
                    QStringLiteral("設定ファイルの [Advance] %1 の値「%2」は範囲外です"
                                   "（%3の調整は -32768 から 32767 まで）。\n"
                                   "今回は 0 として始めます。設定ファイルは変更していません。\n\n%4")
                        .arg(QLatin1String(key), fromLocal(stored.text), what,
                             QString::fromStdString(m_services.settings->path())));
    }
    return stored.value;
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
        setTextColour(Label4, display::kDarkRed);
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
        showMessage(MessageIcon::Warning,
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
        showMessage(MessageIcon::Warning,
                    QStringLiteral("マニュアルが見つかりません。\n%1").arg(path));
        return;
    }
    if (!m_services.openUrl(QUrl::fromLocalFile(path)))
        showMessage(MessageIcon::Warning,
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
    setTextColour(Label4, textColour(Label4) == display::kRed ? display::kDarkRed : display::kRed);
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

// --- Messages and settings --------------------------------------------------------------------

Messages::Notice Form1::showMessage(MessageIcon icon, const QString& text, const QString& name)
{
    return m_services.messages->notify(this, icon, text, name);
}

// Every setting is stored the moment it changes. A write that fails is told to the user,
// naming the file and the reason; the new value stays in effect for this run. While that notice
// is open, further failures (each click on an unwritable file) add no second one; once the user
// has closed it, the next failure is told again.
void Form1::storeSetting(const char* section, const char* key, const std::string& value)
{
    const platform::WriteResult result = m_services.settings->WriteIni(section, key, value);
    if (result || m_services.messages->isOpen(m_settingsNotice))
        return;
    m_settingsNotice = showMessage(MessageIcon::Warning,
                QStringLiteral("設定を保存できませんでした（[%1] %2=%3）。\n"
                               "ファイル: %4\n理由: %5\n\n"
                               "この設定は今回の実行中だけ有効です。")
                    .arg(QLatin1String(section), QLatin1String(key), fromLocal(value),
                         QString::fromStdString(m_services.settings->path()),
                         fromLocal(result.reason)));
}

}  // namespace app
