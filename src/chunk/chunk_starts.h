#pragma once

// Where a chunked job's chunks start: a pure decision, from the first
// picture's stamp, the source's length and the chunk length asked for.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "av/output.h"

namespace corvane {

// Segments last 6 s of output: chunks start on segment boundaries.
constexpr int64_t kSegmentTicks = 6 * kVideoTimeBase.den;

// The start of every chunk but the first (which starts with the source), in
// 1/30 s: every `chunk_seconds` (rounded to whole segments, at least one) of
// output from `origin` (the first picture's stamp), for a source of `length`
// ticks. The last chunk takes what is left, one to two chunks long, so a
// source shorter than two chunks is one chunk (as is any source when
// `chunk_seconds` is not finite).
inline std::vector<int64_t> chunk_starts(int64_t origin, int64_t length, double chunk_seconds) {
    std::vector<int64_t> starts;
    if (!std::isfinite(chunk_seconds) || length <= 0) return starts;
    const double segments = std::clamp(std::round(chunk_seconds / 6), 1.0, 1e9);
    const int64_t chunk = static_cast<int64_t>(segments) * kSegmentTicks;
    for (int64_t k = 1; (k + 1) * chunk <= length; ++k) starts.push_back(origin + k * chunk);
    return starts;
}

}  // namespace corvane
