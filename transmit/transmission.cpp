#include "transmit/transmission.h"

#include "runtime/text.h"

#include <chrono>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace transmit {

namespace {

// The last two characters of a text, or the whole text when it is shorter.
std::string_view lastTwo(std::string_view text)
{
    return text.size() <= 2 ? text : text.substr(text.size() - 2);
}

// The minute has started when the seconds-since-midnight counter, written as text, ends in
// something that sorts below "05": the first few hundredths of second 00 (and a few other
// moments of it, such as a whole tenth, where the point sorts below the digits).
bool startGateOpen(float secondsSinceMidnight)
{
    const std::string text = runtime::singleText(secondsSinceMidnight);
    return runtime::textLess(lastTwo(text), "05");
}

}  // namespace

Transmission::Transmission(const runtime::Clock& clock, Host& host, platform::SoundOutput& sound,
                           std::string programFolder, const Advances& advances)
    : m_clock(clock),
      m_host(host),
      m_sound(sound),
      m_programFolder(std::move(programFolder)),
      m_advances(advances)
{
}

Transmission::~Transmission()
{
    *m_alive = false;
}

std::string Transmission::pulseFile(timecode::PulseKind kind) const
{
    switch (kind) {
    case timecode::PulseKind::Marker:
        return m_programFolder + "/200ms.wav";
    case timecode::PulseKind::One:
        return m_programFolder + "/500ms.wav";
    case timecode::PulseKind::Zero:
        return m_programFolder + "/800ms.wav";
    }
    return {};  // no other kind is ever stored in a frame
}

void Transmission::startminute()
{
    // Held by value: if a nested handler destroys this object, the flag is still readable.
    const std::shared_ptr<bool> alive = m_alive;
    const std::uint64_t startedBefore = m_minutesStarted;

    m_host.setTimerEnabled(TimerId::timFlashIndicator, true);

    while (m_stopFlag != -1) {
        const runtime::DateTime minuteReading = runtime::toDateTime(m_clock.now());
        if (runtime::format(minuteReading, "ss") == "00"
            && startGateOpen(runtime::secondsSinceMidnight(m_clock.now()))) {
            const runtime::DateTime sent = runtime::transmittedTime(
                runtime::toDateTime(m_clock.now()), m_advances.advDate, m_advances.advHour,
                m_advances.advMin);
            m_code = timecode::timecode(sent);
            ++m_minutesStarted;
            m_host.setTimerEnabled(TimerId::timTokei, false);
            m_host.setTimerEnabled(TimerId::Timer1, true);
            break;
        }

        m_host.sleepAndProcessEvents();
        if (!*alive)
            return;
        // A wait run from the event processing (switched off and on again) has already built
        // this minute's frame and started the ticker: waiting on would only rebuild the frame,
        // or, having missed the start gate, hold the ticker up for a whole minute.
        if (m_minutesStarted != startedBefore)
            break;
    }

    if (m_stopFlag == 0) {
        m_host.setTimerEnabled(TimerId::timFlashIndicator, false);
        m_host.setIndicatorColour(display::kRed);
    }
}

void Transmission::timer1Tick()
{
    const std::string first = runtime::timeOfDayText(runtime::toDateTime(m_clock.now()));
    if (lastTwo(first) == m_lastSec)
        return;

    // The second played is that of this reading, which may already be the next one.
    const runtime::LocalTime reading = m_clock.now();
    const std::string second = runtime::timeOfDayText(runtime::toDateTime(reading));
    m_lastSec = std::string(lastTwo(second));

    const std::int32_t index = runtime::toInt32(runtime::leadingNumber(m_lastSec));
    if (index < 0 || index >= static_cast<std::int32_t>(m_code.size()))
        throw std::out_of_range("second of the minute outside 0..59: " + m_lastSec);

    const runtime::LocalTime boundary = std::chrono::floor<std::chrono::seconds>(reading);
    // However late this tick noticed the second, its pulse belongs on the boundary.
    m_sound.play(pulseFile(m_code[static_cast<std::size_t>(index)]), reading - boundary);

    m_host.refreshAt(boundary);

    if (index == 59)
        startminute();
}

}  // namespace transmit
