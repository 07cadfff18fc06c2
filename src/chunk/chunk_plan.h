#pragma once

// The plan of a chunked job, made once in the calling process: the probe and
// the renditions as the single call plans them, and the chunks' stretches of
// the output.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ladder/plan.h"

namespace corvane {

struct ChunkedPlan {
    std::string input;  // the source as the workers open it (an absolute path, or a URL)
    std::vector<PlannedRendition> renditions;
    // Where each chunk but the first starts, in 1/30 s of output time; the
    // last chunk goes on to the source's end.
    std::vector<int64_t> starts;
    int64_t length = 0;  // the source's stated length in microseconds; 0: unknown
    int64_t origin = 0;  // the first picture's stamp on the output clock (1/30 s)
};

// Probes and plans with the single call's lines. Empty when the job has
// ended here: the source could not be opened, or nothing is left to encode
// (the closing lines, and the master playlist where the single call writes
// one, are then written).
std::optional<ChunkedPlan> plan_chunked_job(const std::string& input, const std::string& output,
                                            const std::vector<std::string>& resolution, std::vector<int> bitrate,
                                            double chunk_seconds);

}  // namespace corvane
