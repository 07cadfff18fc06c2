#pragma once

#include <functional>
#include <string>
#include <vector>

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
struct RenditionSpec {
    std::string name;
    int width;
    int height;
    int bitrate;  // video bit rate in bit/s
};

// The whole job behind hls_encoder: probe the source, plan the renditions,
// run one worker thread per rendition, write the master playlist.
// Problems are reported as log lines; nothing is thrown for bad media.
// While the renditions run, the calling thread asks `interrupted` about every
// 100 ms whether to stop; when it says so, every thread stops where it is,
// nothing more is finished and one ERROR line says so.
void HlsLadderJob(std::string input, std::string output, std::vector<std::string> resolution,
                  std::vector<int> bitrate, std::string key,
                  const std::function<bool()>& interrupted = nullptr);

}  // namespace corvane
