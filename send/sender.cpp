#include "send/sender.h"

#include <map>

namespace send {

namespace {

using namespace std::chrono;
using runtime::LocalTime;

// A short sleep at a time: a step of the PC clock, or the stop, is seen within it.
constexpr microseconds kLongestSleep = milliseconds(250);
// Past the boundary by this much the sleep aims, so that the reading it wakes to is on the new
// second even when the sleep ends a little early.
constexpr microseconds kPastBoundary{200};

}  // namespace

RunEnd sendLive(const TimePlan& plan, std::optional<LocalTime> end, const runtime::Clock& clock,
                Waiter& waiter, platform::SoundOutput& sound, SendEvents& events)
{
    // The minutes worked out so far, by their start on `clock`; at most the current and the next.
    std::map<LocalTime, std::pair<PlannedMinute, timecode::StationMinute>> known;
    const auto minuteAt = [&](LocalTime start) -> const auto& {
        auto it = known.find(start);
        if (it == known.end()) {
            const PlannedMinute planned = planMinute(plan, runtime::toDateTime(start));
            it = known.emplace(start, std::pair{planned, timecode::stationMinute(plan.station, planned.toSend)})
                     .first;
            events.prepare(it->second.second);
        }
        return it->second;
    };

    sound.setTransmitting(true);
    LocalTime next = firstMinute(clock.now());
    minuteAt(next);
    bool started = false;
    const auto stop = [&] {
        sound.setTransmitting(false);
        return RunEnd::Stopped;
    };

    for (;;) {
        if (end && !started && next >= *end) break;  // ends before its first minute
        const LocalTime now = clock.now();
        if (now < next) {
            // Set back: before the first minute it is planned again; once sending, it goes on at
            // the second the clock shows now, late by what has passed of it.
            if (!started && now < next - std::chrono::minutes(1) - seconds(1)) {
                next = firstMinute(now);
            } else if (started && now < next - seconds(2)) {
                next = floor<seconds>(now);
                continue;
            }
            if (!waiter.waitFor(std::min(duration_cast<microseconds>(next - now) + kPastBoundary,
                                         kLongestSleep)))
                return stop();
            continue;
        }
        // Held up a second or more, or set forward: on at the second the clock shows.
        if (now >= next + seconds(1)) next = floor<seconds>(now);
        if (end && next >= *end) {
            // The carrier stops on the boundary, not when the output is switched off.
            if (started) sound.play(kSilence, duration_cast<microseconds>(now - next));
            break;
        }
        started = true;
        const LocalTime minuteStart = floor<std::chrono::minutes>(next);
        const int second = static_cast<int>(duration_cast<seconds>(next - minuteStart).count());
        const auto& [planned, sent] = minuteAt(minuteStart);
        if (static_cast<std::size_t>(second) < sent.seconds.size())
            sound.play(soundName(sent.seconds[static_cast<std::size_t>(second)]),
                       duration_cast<microseconds>(now - next));
        if (second == 0) events.minuteStarts(planned, sent);
        next += seconds(1);
        events.secondSent(second, end ? std::optional(duration_cast<seconds>(*end - next))
                                      : std::nullopt);
        events.status(sound.status(), now);
        if (second == 30) {
            // The next minute's sounds are made while this one plays.
            while (known.size() > 1 && known.begin()->first < minuteStart) known.erase(known.begin());
            minuteAt(minuteStart + std::chrono::minutes(1));
        }
    }
    // The end is heard a lead after it was handed over. A run that ended before its first minute
    // has nothing to wait for.
    const LocalTime heard = started ? next + duration_cast<microseconds>(sound.lead()) + kSilenceLength
                                    : LocalTime{};
    for (LocalTime now = clock.now(); now < heard; now = clock.now())
        if (!waiter.waitFor(std::min(duration_cast<microseconds>(heard - now), kLongestSleep)))
            return stop();
    sound.setTransmitting(false);
    return RunEnd::Finished;
}

}  // namespace send
