#include "tools/testing/recording_log.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>

namespace tools {

Timeline readTimeline(const std::string& logPath, double firstSecond)
{
    Timeline timeline;
    std::ifstream in(logPath);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        if (line.rfind("hole ", 0) == 0) {
            std::string word;
            std::size_t first = 0, count = 0;
            if (fields >> word >> first >> count) timeline.unheard.push_back({first, count});
            continue;
        }
        double t = 0;
        long long first = 0, count = 0, latencyUs = 0;
        if (!(fields >> t >> first >> count)) continue;
        if (fields >> latencyUs) {
            timeline.points.emplace_back(static_cast<double>(first),
                                         t - firstSecond - static_cast<double>(latencyUs) * 1e-6);
        } else {
            timeline.withLatency = false;
            timeline.points.emplace_back(static_cast<double>(first + count), t - firstSecond);
        }
    }
    return timeline;
}

std::optional<Fit> fitLine(const Points& points, bool withLatency)
{
    if (points.size() < 10) return std::nullopt;
    Fit fit;
    Points kept = points;
    for (int round = 0; round < 6 && kept.size() >= 10; ++round) {
        double sx = 0, sy = 0, sxx = 0, sxy = 0;
        const double x0 = kept.front().first;  // centred, for a well-conditioned sum
        for (const auto& [x, y] : kept) {
            sx += x - x0;
            sy += y;
            sxx += (x - x0) * (x - x0);
            sxy += (x - x0) * y;
        }
        const double n = static_cast<double>(kept.size());
        fit.b = (n * sxy - sx * sy) / (n * sxx - sx * sx);
        fit.a = (sy - fit.b * sx) / n - fit.b * x0;
        std::vector<double> residuals;
        for (const auto& [x, y] : kept) residuals.push_back(y - fit.a - fit.b * x);
        std::sort(residuals.begin(), residuals.end());
        const double median = residuals[residuals.size() / 2];
        std::erase_if(kept, [&](const auto& p) {
            const double r = p.second - fit.a - fit.b * p.first - median;
            return withLatency ? std::abs(r) > 0.001 : r > 0.001;
        });
    }
    if (!withLatency) {
        double lowest = 1e9;
        for (const auto& [x, y] : kept) lowest = std::min(lowest, y - fit.a - fit.b * x);
        fit.a += lowest;
    }
    std::vector<double> residuals;
    for (const auto& [x, y] : points) residuals.push_back(std::abs(y - fit.a - fit.b * x) * 1000);
    std::sort(residuals.begin(), residuals.end());
    fit.residualMedianMs = residuals[residuals.size() / 2];
    fit.residualMaxMs = residuals.back();
    return fit;
}

double localTime(const Timeline& timeline, const Fit& global, double index, double halfWidth)
{
    const auto& pts = timeline.points;
    const auto lo = std::lower_bound(pts.begin(), pts.end(), index - halfWidth,
                                     [](const auto& p, double x) { return p.first < x; });
    const auto hi = std::upper_bound(pts.begin(), pts.end(), index + halfWidth,
                                     [](double x, const auto& p) { return x < p.first; });
    const auto local = fitLine(Points(lo, hi), timeline.withLatency);
    const Fit& f = local ? *local : global;
    return f.a + f.b * index;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(std::ceil(p * static_cast<double>(v.size()))) - 1;
    return v[std::min(i, v.size() - 1)];
}

std::string utcText(double seconds)
{
    const auto whole = static_cast<std::time_t>(std::floor(seconds));
    std::tm tm{};
    gmtime_r(&whole, &tm);
    char buffer[64];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &tm);
    char frac[16];
    std::snprintf(frac, sizeof frac, ".%03d",
                  static_cast<int>((seconds - std::floor(seconds)) * 1000));
    return std::string(buffer) + frac;
}

}  // namespace tools
