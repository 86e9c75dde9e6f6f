#include "platform/sound/sample_timeline.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace platform {

void SampleTimeline::schedule(std::int64_t start, std::shared_ptr<const Pcm> pcm)
{
    std::lock_guard lock(m_mutex);
    if (start < m_written) {
        // Too late for its frame. One that belongs before the sound playing now is stale; one
        // too late to fit whole before the next second is dropped (see the header).
        const auto playing = m_items.upper_bound(m_written);
        if (playing != m_items.begin() && std::prev(playing)->first > start) return;
        if (pcm && static_cast<std::size_t>(m_written - start) * 5 > pcm->frames()) return;
        start = m_written;
    }
    // Each sound plays from its position up to the next one's. A sound placed out of order (a
    // file decoded late) fills only its own stretch and never removes one placed after it.
    m_items[start] = Item{std::move(pcm)};
}

void SampleTimeline::clear()
{
    std::lock_guard lock(m_mutex);
    m_items.clear();
}

void SampleTimeline::restart()
{
    std::lock_guard lock(m_mutex);
    m_items.clear();
    m_written = 0;
}

const SampleTimeline::Item* SampleTimeline::itemAt(std::int64_t position, std::int64_t* start)
{
    auto it = m_items.upper_bound(position);
    if (it == m_items.begin()) return nullptr;
    --it;
    m_items.erase(m_items.begin(), it);
    *start = it->first;
    return &it->second;
}

void SampleTimeline::render(float* out, std::size_t frames)
{
    std::lock_guard lock(m_mutex);
    std::size_t done = 0;
    while (done < frames) {
        std::int64_t start = 0;
        const Item* item = itemAt(m_written, &start);
        // Up to the next scheduled sound, or all that is asked for.
        const auto next = m_items.upper_bound(m_written);
        std::size_t span = frames - done;
        if (next != m_items.end())
            span = std::min<std::size_t>(span, static_cast<std::size_t>(next->first - m_written));
        float* dest = out + done * m_channels;
        std::size_t copied = 0;
        if (item && item->pcm && item->pcm->channels == m_channels) {
            const Pcm& pcm = *item->pcm;
            const auto offset = static_cast<std::size_t>(m_written - start);
            const std::size_t total = pcm.frames();
            if (offset < total) {
                copied = std::min(span, total - offset);
                std::memcpy(dest, pcm.samples.data() + offset * m_channels,
                            copied * m_channels * sizeof(float));
            }
            // Past its end the sound's last periods play on, so the carrier never drops while
            // the next sound is late; the next one takes over on its own frame.
            const std::size_t hold = std::min(pcm.holdFrames, total);
            while (hold > 0 && copied < span) {
                const std::size_t into = (offset + copied - total) % hold;
                const std::size_t n = std::min(span - copied, hold - into);
                std::memcpy(dest + copied * m_channels,
                            pcm.samples.data() + (total - hold + into) * m_channels,
                            n * m_channels * sizeof(float));
                copied += n;
            }
        }
        std::memset(dest + copied * m_channels, 0, (span - copied) * m_channels * sizeof(float));
        done += span;
        m_written += static_cast<std::int64_t>(span);
    }
}

void SampleTimeline::skip(std::size_t frames)
{
    std::lock_guard lock(m_mutex);
    m_written += static_cast<std::int64_t>(frames);
}

std::int64_t SampleTimeline::written() const
{
    std::lock_guard lock(m_mutex);
    return m_written;
}

namespace {

// How far one report may pull the estimate: a small step per report, so jitter averages out
// over a couple of seconds of reports while a slow drift of the device against the wall clock
// (tens of parts per million) is followed.
constexpr double kFollow = 1.0 / 32;
// A report this far off (in seconds) is not jitter. Reports that keep disagreeing for a second
// mean the stream's timeline itself has moved. A shorter run of them is a device, or a server's
// stand-in for one, that stood still and then caught up (a null sink or a server held up for a
// tenth of a second on a busy machine): the timeline has not moved, and an estimate learnt
// while it stood would place the next sounds early.
constexpr double kDisagreeSeconds = 0.004;
constexpr std::int64_t kMovedAfterNs = 1'000'000'000;
// The first reports are taken at nearly full weight, to settle quickly after a (re)start; they
// must agree this well (seconds) over this long (nanoseconds) before sounds are placed by them.
constexpr int kSettlingReports = 8;
constexpr double kSettlingSeconds = 0.002;
constexpr std::int64_t kSettlingSpanNs = 250'000'000;

}  // namespace

void StreamClock::observe(std::int64_t frame, std::int64_t wallNs)
{
    std::lock_guard lock(m_mutex);
    const double offset = static_cast<double>(frame) - static_cast<double>(wallNs) * 1e-9 * m_rate;
    m_lastWallNs = wallNs;
    const auto startOver = [&] {
        m_offset = offset;
        m_reports = 1;
        m_disagreeingSinceNs.reset();
        m_firstWallNs = wallNs;
    };
    if (m_reports == 0) return startOver();
    const double error = offset - m_offset;
    if (!settledLocked()) {
        // Still settling: a report that disagrees means the ones before it were not the
        // stream's timeline yet (it had not begun to play, or the device changed its rate).
        if (std::abs(error) > kSettlingSeconds * m_rate) return startOver();
        ++m_reports;
        m_offset += error / std::min(m_reports, kSettlingReports);
        return;
    }
    if (std::abs(error) > kDisagreeSeconds * m_rate) {
        if (!m_disagreeingSinceNs) m_disagreeingSinceNs = wallNs;
        if (wallNs - *m_disagreeingSinceNs >= kMovedAfterNs) startOver();
        return;
    }
    m_disagreeingSinceNs.reset();
    ++m_reports;
    m_offset += error * kFollow;
}

bool StreamClock::settledLocked() const
{
    return m_reports >= kSettlingReports && m_lastWallNs - m_firstWallNs >= kSettlingSpanNs;
}

bool StreamClock::settled() const
{
    std::lock_guard lock(m_mutex);
    return settledLocked();
}

void StreamClock::reset(unsigned rate)
{
    std::lock_guard lock(m_mutex);
    if (rate != 0) m_rate = rate;
    m_reports = 0;
    m_disagreeingSinceNs.reset();
}

unsigned StreamClock::rate() const
{
    std::lock_guard lock(m_mutex);
    return m_rate;
}

bool StreamClock::known() const
{
    std::lock_guard lock(m_mutex);
    return m_reports > 0;
}

std::int64_t StreamClock::frameAt(std::int64_t wallNs) const
{
    std::lock_guard lock(m_mutex);
    return static_cast<std::int64_t>(
        std::llround(m_offset + static_cast<double>(wallNs) * 1e-9 * m_rate));
}

std::int64_t GraphFollower::frameFor(std::int64_t written, std::uint64_t ticks, unsigned graphRate)
{
    if (m_graphRate != 0 && graphRate == m_graphRate && m_rate != 0) {
        const double asked = (static_cast<double>(ticks) - static_cast<double>(m_ticks)) *
                             m_rate / m_graphRate;
        const double off = asked - static_cast<double>(written - m_frame);
        const double rate = m_rate;
        if ((off > rate / 500 && off < 5 * rate) || (off < -rate / 500 && off > -rate / 10))
            written = m_frame + std::llround(asked);
    }
    m_ticks = ticks;
    m_frame = written;
    m_graphRate = graphRate;
    return written;
}

}  // namespace platform
