#pragma once

// The renditions of a job, decided from the names and bit rates asked for
// and the source's shown size alone: no FFmpeg, no files. The job logs the
// lines the plan gives.

#include <string>
#include <vector>

#include "log/log.h"

namespace corvane {

// The renditions a ladder can have, in the default ladder's order: the
// name, the picture's long and short side (turned like the source), and the
// default video bit rate (bit/s).
struct Rung {
    const char* name;
    int long_side;
    int short_side;
    int bitrate;
};
inline constexpr Rung kLadder[] = {
    {"1080p", 1920, 1080, 5000000},
    {"720p", 1280, 720, 2500000},
    {"480p", 854, 480, 1000000},
    {"360p", 640, 360, 400000},
};
// The default bit rate of a name that is not in kLadder.
inline constexpr int kOtherBitrate = 1000000;

// The default ladder's names and bit rates, in order.
std::vector<std::string> default_resolutions();
std::vector<int> default_bitrates();

// One planned rendition of the ladder.
struct PlannedRendition {
    std::string name;
    int width;
    int height;
    int bitrate;  // video bit rate in bit/s
};

struct Plan {
    std::vector<PlannedRendition> renditions;
    std::vector<LogLine> lines;  // what was skipped, and why
};

// The renditions asked for by `names`, in their order. Bit rates pair with
// names by position; a name without one gets its default (kLadder's, or
// kOtherBitrate), and rates beyond the names are ignored. Sizes are turned
// like the source: a source at least as wide as it is high is landscape.
// Names not in kLadder, and names already planned, are skipped with a WARN
// line each.
Plan plan_renditions(int source_width, int source_height, const std::vector<std::string>& names,
                     std::vector<int> bitrates);

}  // namespace corvane
