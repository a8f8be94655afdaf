#include "assessment/verdict/series_consistency.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace sorvanta {
namespace {

constexpr double shortestInterval = 0.75;
constexpr double longestInterval = 1.25;
constexpr double dipShare = 0.8;
constexpr double stallShare = 0.1;
constexpr std::int64_t minimumValidIntervals = 8;
constexpr double minimumCoverage = 0.8;

ConsistencySummary unusable(const char* reason) {
    ConsistencySummary summary;
    summary.reason = reason;
    return summary;
}

std::optional<double> validRate(const ThroughputInterval& interval) {
    if (!isValidSeriesInterval(interval)) {
        return std::nullopt;
    }
    return interval.bitsPerSecond();
}

}  // namespace

bool isValidSeriesInterval(const ThroughputInterval& interval) {
    if (!std::isfinite(interval.start) || !std::isfinite(interval.end) || interval.start < 0) {
        return false;
    }
    const double duration = interval.end - interval.start;
    if (!std::isfinite(duration) || duration < shortestInterval || duration > longestInterval) {
        return false;
    }
    const auto rate = interval.bitsPerSecond();
    return rate && std::isfinite(*rate) && *rate >= 0;
}

ConsistencySummary summarizeSeries(const SpeedSample& sample) {
    if (!std::isfinite(sample.seconds) || !(sample.seconds > 0) ||
        sample.intervals.size() > SpeedSample::maximumIntervals) {
        return unusable("Invalid series duration/count.");
    }
    double expectedStart = 0.0;
    std::uint64_t byteSum = 0;
    for (const auto& interval : sample.intervals) {
        if (interval.start != expectedStart || !std::isfinite(interval.end) ||
            !(interval.end > interval.start) || interval.end > sample.seconds) {
            return unusable("Series offsets are inconsistent.");
        }
        if (interval.bytes > std::numeric_limits<std::uint64_t>::max() - byteSum) {
            return unusable("Series counter overflow.");
        }
        byteSum += interval.bytes;
        expectedStart = interval.end;
    }
    if (expectedStart != sample.seconds || byteSum != sample.bytes) {
        return unusable("Series does not cover its receiver counter/window.");
    }

    std::vector<double> rates;
    double covered = 0;
    for (const auto& interval : sample.intervals) {
        if (const auto rate = validRate(interval)) {
            rates.push_back(*rate);
            covered += interval.end - interval.start;
        }
    }
    if (rates.empty()) {
        return unusable("No complete one-second intervals.");
    }

    ConsistencySummary summary;
    std::vector<double> sorted = rates;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t middle = sorted.size() / 2;
    const double median =
        sorted.size() % 2 == 1 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) * 0.5;
    summary.median = median;
    summary.lowest = sorted.front();
    summary.coverage = covered / sample.seconds;

    std::int64_t run = 0;
    for (const auto& interval : sample.intervals) {
        const auto rate = validRate(interval);
        if (!rate) {
            run = 0;
            continue;
        }
        run = *rate < dipShare * median ? run + 1 : 0;
        summary.consecutiveDips = std::max(summary.consecutiveDips, run);
        if (median > 0 && *rate < stallShare * median) {
            ++summary.stalls;
        }
    }
    summary.validIntervals = static_cast<std::int64_t>(rates.size());

    if (sample.seriesReason) {
        summary.reason = sample.seriesReason;
    } else if (summary.validIntervals < minimumValidIntervals ||
               summary.coverage < minimumCoverage) {
        summary.reason = "Less than eight valid intervals or 80% window coverage.";
    }
    return summary;
}

}  // namespace sorvanta
