// What the window shows: the read-outs that refresh draws from the PC clock, the indicator,
// and what the transmission needs of the window (its timers, the indicator, the refreshes as
// each second is heard, the minute-start wait's event processing).

#include "app/window/form1.h"

#include "app/window/window_widgets.h"
#include "display/colours.h"
#include "display/readouts.h"

#include <QCoreApplication>

namespace app {

namespace {

QColor fromBgr(std::uint32_t bgr)
{
    return QColor(int(bgr & 0xFF), int((bgr >> 8) & 0xFF), int((bgr >> 16) & 0xFF));
}

}  // namespace

// The read-outs write every slot and label five times a second; only a change is drawn.
void Form1::showPicture(QLabel* slot, const QLabel* source)
{
    auto* known = qobject_cast<PictureSlot*>(slot);
    if (known != nullptr && known->shownSource == source)
        return;
    const QPixmap picture = source->pixmap();
    if (slot->pixmap().cacheKey() != picture.cacheKey())
        slot->setPixmap(picture);
    if (known != nullptr)
        known->shownSource = source;
}

void Form1::setTextColour(QLabel* label, std::uint32_t bgr)
{
    bgr &= 0xFFFFFF;
    auto* known = qobject_cast<TextLabel*>(label);
    if (known != nullptr ? known->shownBgr == bgr : textColour(label) == bgr)
        return;
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, fromBgr(bgr));
    label->setPalette(palette);
    if (known != nullptr)
        known->shownBgr = bgr;
}

std::uint32_t Form1::textColour(const QLabel* label)
{
    const QColor c = label->palette().color(QPalette::WindowText);
    return std::uint32_t(c.red()) | std::uint32_t(c.green()) << 8 | std::uint32_t(c.blue()) << 16;
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
        // At the end of the minute-start wait the indicator flashes on, in step, until the
        // first pulse is heard (see setIndicatorColour).
        if (t == timFlashIndicator && firstPulseAhead())
            return;
        t->stop();
    } else if (!t->isActive()) {
        t->start();
        if (t == Timer1)
            aimTimer1();
    }
}

// Steady red says the signal is being heard. At the end of the minute-start wait the ticker's
// clock has reached the minute's first boundary, which the PC clock reaches as its pulse is
// heard; until then the indicator flashes on.
void Form1::setIndicatorColour(std::uint32_t colour)
{
    m_redAt.reset();
    if (colour == display::kRed && firstPulseAhead()) {
        m_redAt = std::chrono::floor<std::chrono::seconds>(m_services.clock->now());
        if (!timFlashIndicator->isActive())
            timFlashIndicator->start();
        servePcSecond();
        return;
    }
    setTextColour(Label4, colour);
}

// The ticker runs and the PC clock has not yet reached the boundary of the ticker's second.
bool Form1::firstPulseAhead() const
{
    return Timer1->isActive() &&
           pcClock().now() < std::chrono::floor<std::chrono::seconds>(m_services.clock->now());
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
        setTextColour(Label4, display::kRed);
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

}  // namespace app
