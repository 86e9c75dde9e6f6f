#pragma once
// The program's one window: its elements, laid out in pixels at fixed positions, and its
// behaviour: start-up, the transmit switch, the advance buttons, help, the timers' ticks, the
// read-outs and closing. All state of the program lives here for its whole life.
//
// Everything runs on the event thread. While the minute-start wait runs (after switching on,
// and at every second 59) the window processes its events between 1 ms polls, so every handler
// here may run nested inside that wait.
//
// Each element keeps one name for its whole life (Label4, Command2, ...), the name settings,
// tests and the manual use; arrays are indexed by element number. Each widget's objectName is its name, with "_<element number>" for array elements
// (e.g. "Image17_3", "Command2_1"). Coordinates of the elements inside Picture1 are relative
// to the panel's outer corner: the panel's interior starts at (2, 2).

#include "app/settings/settings_file.h"
#include "app/window/messages.h"
#include "display/signal_watch.h"
#include "platform/clock/clock_set_watch.h"
#include "platform/clock/clock_sync.h"
#include "platform/sound/sound_output.h"
#include "runtime/clock.h"
#include "transmit/host.h"
#include "transmit/transmission.h"

#include <QButtonGroup>
#include <QFrame>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>

class QUrl;

namespace app {

// Makes the embedded pictures available under ":/pictures/" (e.g. ":/pictures/digit_large_8.bmp").
// Form1 calls it itself; anything that reads the pictures without a window calls it first.
void registerWindowPictures();

// What the window needs from outside. The program passes the system clock, the sound server,
// the real sleep, the settings file beside the program and message boxes; tests pass a fake
// clock, a recording sound output, a sleep that moves the fake clock, a settings file in a
// folder of their own and messages they answer themselves.
struct Form1Services {
    // The ticker's clock: the PC clock moved ahead by the sound output's lead, so that a pulse
    // played on its second boundary is heard on the PC clock's.
    const runtime::Clock* clock = nullptr;
    // The PC clock itself, which the read-outs show; null: `clock`.
    const runtime::Clock* pcClock = nullptr;
    platform::SoundOutput* sound = nullptr;
    std::function<void()> sleep1ms;
    // Opens a page in the user's browser; false when nothing could open it.
    std::function<bool(const QUrl&)> openUrl;
    // The kernel's view of the PC clock, asked when transmission is switched on; empty: never
    // asked.
    std::function<platform::ClockSync()> clockSync;
    // Both required. The settings are read at start-up and written the moment one changes;
    // every message to the user goes through `messages`.
    const settings::SettingsFile* settings = nullptr;
    Messages* messages = nullptr;
    // The folder of the pulse sounds and the manual, without a trailing separator.
    std::string programFolder;
};

class Form1 : public QWidget, private transmit::Host {
    Q_OBJECT
public:
    explicit Form1(Form1Services services, QWidget* parent = nullptr);
    ~Form1() override;

    // Client area in pixels; the window cannot be resized.
    static constexpr int kClientWidth = 313;
    static constexpr int kClientHeight = 153;

    // The display panel and what it holds.
    QFrame* Picture1 = nullptr;
    QLabel* Label1 = nullptr;                    // "現在の時刻"
    QLabel* Label2 = nullptr;                    // "送信する時刻"
    QLabel* Label4 = nullptr;                    // "送信中", the transmitting indicator
    std::array<QLabel*, 8> Image10{};            // PC date slots, small digits
    std::array<QLabel*, 6> Image7{};             // PC time slots, large digits
    std::array<QLabel*, 8> Image20{};            // transmitted date slots
    std::array<QLabel*, 6> Image17{};            // transmitted time slots
    std::array<QLabel*, 4> Image11{};            // colons; 0, 1 in the PC row, 2, 3 below
    std::array<QLabel*, 7> Label5{};             // PC weekday, Sunday to Saturday
    std::array<QLabel*, 7> Label6{};             // transmitted weekday

    // Directly on the window.
    QLabel* Label3 = nullptr;                    // "送信", over the background
    std::array<QAbstractButton*, 2> Option1{};   // the transmit switch: 0 On, 1 Off
    std::array<QPushButton*, 2> Command1{};      // day advance: 0 plus, 1 minus
    std::array<QPushButton*, 2> Command2{};      // hour advance
    std::array<QPushButton*, 2> Command3{};      // minute advance
    QPushButton* Command4 = nullptr;             // help

    // The digit pictures, never shown: element d holds digit d. Frame1 is hidden and lies
    // below the client area.
    QFrame* Frame1 = nullptr;
    std::array<QLabel*, 10> Image5{};            // large digits, 11 x 18
    std::array<QLabel*, 10> Image8{};            // small digits, 8 x 13

    // Timers: Timer1 (off), timTokei 200 ms (on), timFlashIndicator 1000 ms (off). timTokei and
    // timFlashIndicator keep their intervals; only their on/off state changes at run time.
    // Timer1 runs the ticker while it is on: after each tick it sleeps until just before the next
    // second boundary of the clock and then polls at 1 ms until the ticker sees the new second
    // (transmit::timer1Wait); it is re-aimed at once when the PC clock is set.
    QTimer* Timer1 = nullptr;
    QTimer* timTokei = nullptr;
    QTimer* timFlashIndicator = nullptr;

    // Makes a display slot show the picture held by a digit element (an element of Image5 for
    // Image7/Image17, of Image8 for Image10/Image20). No decoding: the picture is shared. A slot
    // that already shows that picture is left alone and not repainted.
    static void showPicture(QLabel* slot, const QLabel* source);

    // A label's text colour as 0x00BBGGRR. The value read back is the value set. A label that
    // already has that colour is left alone and not repainted.
    static void setTextColour(QLabel* label, std::uint32_t bgr);
    static std::uint32_t textColour(const QLabel* label);

    // Selects element `index` (0 On, 1 Off) of the transmit switch from code. If it was not
    // selected, the other element is deselected and Option1Click(index) is emitted, exactly
    // as for a user's click. Selecting the selected element does nothing.
    void selectOption1(int index);
    bool option1Selected(int index) const;

    // Start-up: shows the window, the first-run message on a first start, restores the
    // advances and, when transmission was on, switches it on again, which waits for the next
    // minute start before returning. Returns early when the window was closed meanwhile.
    void Form_Load();
    // True once the window was closed; the program then ends at once.
    bool closed() const { return m_closed; }

    // The handlers of the window's events, public so tests can drive them directly.
    void Option1_Click(int index);
    void Command1_Click(int index);
    void Command2_Click(int index);
    void Command3_Click(int index);
    void Command4_Click();
    void Timer1_Timer();
    void timTokei_Timer();
    void timFlashIndicator_Timer();
    // The PC clock was set (or the PC woke from suspend): Timer1's sleep is aimed afresh from
    // the clock as it reads now. Run when the system tells of a step.
    void clockSet();

    // Brings every display up to date from the PC clock: the weekday rows, then the clocks,
    // then the dates. While transmitting it runs as each second begins on the PC clock, when
    // that second's pulse is heard; Label4 turns red as the first pulse is heard.
    void refresh();
    void tokei();
    void tokei2();
    void hiduke();
    void hiduke2();
    void youbi();
    void youbi2();

    const transmit::Advances& advances() const { return m_advances; }
    const transmit::Transmission& transmission() const { return m_transmission; }

    // Full path of the manual page beside the program.
    std::string manualPath() const;

    // Looks at the sound output's status: once a second while transmitting, and as Label4's
    // tooltip is about to show. The tooltip always shows the live state. While transmission is on, a
    // problem that lasts two seconds opens one notice naming what is wrong and what to do
    // ("PendrelSignalMessage"), kept up to date while the problem lasts; when the signal goes
    // out again a second one says so ("PendrelSignalBack"). The rules are display::SignalWatch's.
    void checkSignal();
    void warnIfCarrierCannotPass(const platform::SoundStatus& status);

signals:
    // A click of the transmit switch that changed the selection, by the user (mouse, space
    // bar, arrow keys) or through selectOption1. Emitted after the selection has changed, so
    // option1Selected(1) tells whether the switch is now off.
    void Option1Click(int index);

protected:
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    // Label4's tooltip is brought up to date just before it shows.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // transmit::Host
    void setTimerEnabled(transmit::TimerId timer, bool on) override;
    void setIndicatorColour(std::uint32_t colour) override;
    void refreshAt(runtime::LocalTime boundary) override;
    void sleepAndProcessEvents() override;

    const runtime::Clock& pcClock() const;
    // Runs what is due on the PC clock (refreshes, Label4 turning red) and aims m_pcSecond at
    // what is due next.
    void servePcSecond();
    bool firstPulseAhead() const;

    runtime::DateTime pcTime() const;
    runtime::DateTime transmitted() const;
    std::int16_t loadAdvance(const char* key, const QString& what);
    void stepAdvance(std::int16_t& value, const char* key, const QString& what, int index);
    void storeSetting(const char* section, const char* key, const std::string& value);
    // Every message that may appear while transmitting: a notice, which never holds up the
    // ticker or the minute-start wait.
    Messages::Notice showMessage(MessageIcon icon, const QString& text,
                                 const QString& name = QStringLiteral("PendrelMessage"));
    void warnIfClockUntrusted();

    void buildPanel();
    void buildControls();
    void buildDigitSources();
    void buildTimers();
    // Starts Timer1 over with the wait the plan gives for the clock's reading now; nothing when
    // Timer1 is off.
    void aimTimer1();
    void setTabOrder();

    QPixmap m_background;
    QButtonGroup m_option1Group;

    Form1Services m_services;
    // The shift of the transmitted time: advDate days, advHour hours, advMin minutes.
    transmit::Advances m_advances;
    // code, lastSec and stopFlag, with the minute-start wait and the second ticker.
    transmit::Transmission m_transmission;
    bool m_closed = false;
    // How many Timer1 ticks are running, nested in one another through the minute-start wait.
    int m_timer1Depth = 0;
    // Tells of steps of the PC clock; without it Timer1 never sleeps longer than
    // transmit::kStepCheck.
    platform::ClockSetWatch m_clockSetWatch;

    // Boundaries of seconds played and not yet reached by the PC clock, oldest first, and when
    // Label4 turns red (the minute's first pulse heard); m_pcSecond fires at the earliest.
    QTimer* m_pcSecond = nullptr;
    std::deque<runtime::LocalTime> m_refreshDue;
    std::optional<runtime::LocalTime> m_redAt;

    // The signal watch: see checkSignal.
    QTimer* m_signalWatch = nullptr;
    display::SignalWatch m_signalState;
    Messages::Notice m_signalNotice = 0;
    // The notice of a failed settings write; while it is open, further failures add none.
    Messages::Notice m_settingsNotice = 0;
    // Set once the user has been told the clock is not synchronised; cleared when a switch-on
    // finds it synchronised again.
    bool m_clockWarned = false;
    // The output rate and carrier the user was last told cannot go together; 0: none yet.
    unsigned m_carrierWarnedRate = 0;
    long m_carrierWarnedHz = 0;
};

}  // namespace app
