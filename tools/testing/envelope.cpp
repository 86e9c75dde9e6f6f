#include "tools/testing/envelope.h"

#include <algorithm>
#include <cmath>

namespace tools {

float peakLevel(const std::vector<float>& samples)
{
    float peak = 0;
    for (float s : samples) peak = std::max(peak, std::abs(s));
    return peak;
}

std::vector<Stretch> highStretches(const std::vector<float>& samples, unsigned rate)
{
    std::vector<Stretch> stretches;
    const float peak = peakLevel(samples);
    if (peak <= 0) return stretches;
    const float high = peak / 2;
    // The tone starts at a zero crossing and is well above a quarter of the peak one sample
    // later (at every station's tone), while the reduced level stays below a sixth.
    const float onset = peak / 4;
    const std::size_t quiet = rate / 1000;

    std::size_t n = 0;
    const std::size_t size = samples.size();
    while (n < size) {
        while (n < size && std::abs(samples[n]) < onset) ++n;
        if (n >= size) break;
        const std::size_t start = n > 0 ? n - 1 : 0;
        std::size_t lastHigh = n;
        std::size_t k = n;
        while (k < size && k - lastHigh <= quiet) {
            if (std::abs(samples[k]) >= high) lastHigh = k;
            ++k;
        }
        // A stretch already high where the recording starts, or still high where it ends, has
        // no edge or no width of its own.
        Stretch s{start, lastHigh + 1 - start};
        s.cutAtStart = start < quiet;
        s.cutAtEnd = k >= size && size - lastHigh <= quiet;
        stretches.push_back(s);
        n = k;
    }
    return stretches;
}

std::vector<Stretch> quietRuns(const std::vector<float>& samples, std::size_t from, std::size_t to,
                               float floor, std::size_t longest,
                               const std::vector<Stretch>& unheard)
{
    std::vector<Stretch> runs;
    to = std::min(to, samples.size());
    std::vector<bool> lost(samples.size(), false);
    for (const auto& u : unheard)
        for (std::size_t n = u.start; n < std::min(samples.size(), u.end()); ++n) lost[n] = true;
    std::size_t run = 0;
    for (std::size_t n = from; n <= to; ++n) {
        const bool low = n < to && !lost[n] && std::abs(samples[n]) < floor;
        if (low) {
            ++run;
            continue;
        }
        if (run > longest) runs.push_back({n - run, run});
        run = 0;
    }
    return runs;
}

}  // namespace tools
