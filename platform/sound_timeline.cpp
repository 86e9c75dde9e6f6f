#include "platform/sound_timeline.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace platform {

void SoundTimeline::schedule(std::int64_t start, std::shared_ptr<const Pcm> pcm)
{
    std::lock_guard lock(m_mutex);
    // Each sound plays from its position up to the next one's. A sound placed out of order (a
    // file decoded late) fills only its own stretch and never removes one placed after it.
    m_items[start] = Item{std::move(pcm)};
}

void SoundTimeline::clear()
{
    std::lock_guard lock(m_mutex);
    m_items.clear();
}

void SoundTimeline::restart()
{
    std::lock_guard lock(m_mutex);
    m_items.clear();
    m_written = 0;
}

const SoundTimeline::Item* SoundTimeline::itemAt(std::int64_t position, std::int64_t* start)
{
    auto it = m_items.upper_bound(position);
    if (it == m_items.begin()) return nullptr;
    --it;
    m_items.erase(m_items.begin(), it);
    *start = it->first;
    return &it->second;
}

void SoundTimeline::render(float* out, std::size_t frames)
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
        if (item && item->pcm) {
            const auto offset = static_cast<std::size_t>(m_written - start);
            const std::size_t total = item->pcm->frames();
            if (offset < total && item->pcm->channels == m_channels) {
                copied = std::min(span, total - offset);
                std::memcpy(dest, item->pcm->samples.data() + offset * m_channels,
                            copied * m_channels * sizeof(float));
            }
        }
        std::memset(dest + copied * m_channels, 0, (span - copied) * m_channels * sizeof(float));
        done += span;
        m_written += static_cast<std::int64_t>(span);
    }
}

void SoundTimeline::skip(std::size_t frames)
{
    std::lock_guard lock(m_mutex);
    m_written += static_cast<std::int64_t>(frames);
}

std::int64_t SoundTimeline::written() const
{
    std::lock_guard lock(m_mutex);
    return m_written;
}

namespace {

// How far one report may pull the estimate: a small step per report, so jitter averages out
// over a couple of seconds of reports while a slow drift of the device against the wall clock
// (tens of parts per million) is followed.
constexpr double kFollow = 1.0 / 32;
// A report this far off (in seconds) is not jitter; several in a row mean the stream's timeline
// itself has moved.
constexpr double kDisagreeSeconds = 0.004;
constexpr int kDisagreementsToRestart = 4;
// The first reports are taken at nearly full weight, to settle quickly after a (re)start.
constexpr int kSettlingReports = 8;

}  // namespace

void StreamClock::observe(std::int64_t frame, std::int64_t wallNs)
{
    std::lock_guard lock(m_mutex);
    const double offset = static_cast<double>(frame) - static_cast<double>(wallNs) * 1e-9 * m_rate;
    m_lastWallNs = wallNs;
    if (m_reports == 0) {
        m_offset = offset;
        m_reports = 1;
        return;
    }
    const double error = offset - m_offset;
    if (std::abs(error) > kDisagreeSeconds * m_rate && m_reports >= kSettlingReports) {
        if (++m_disagreements >= kDisagreementsToRestart) {
            m_offset = offset;
            m_reports = 1;
            m_disagreements = 0;
        }
        return;
    }
    m_disagreements = 0;
    ++m_reports;
    const double weight = m_reports <= kSettlingReports ? 1.0 / m_reports : kFollow;
    m_offset += error * weight;
}

void StreamClock::reset(unsigned rate)
{
    std::lock_guard lock(m_mutex);
    if (rate != 0) m_rate = rate;
    m_reports = 0;
    m_disagreements = 0;
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

}  // namespace platform
