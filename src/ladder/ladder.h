#pragma once

#include <string>
#include <vector>

namespace corvane {

// One planned rendition of the ladder.
struct RenditionSpec {
    std::string name;
    int width;
    int height;
    int bitrate;  // video bit rate in bit/s, also the master playlist's BANDWIDTH
};

// The whole job behind hls_encoder: probe the source, plan the renditions,
// run one worker thread per rendition, write the master playlist.
// Problems are reported as log lines; nothing is thrown for bad media.
void HlsLadderJob(std::string input, std::string output, std::vector<std::string> resolution,
                  std::vector<int> bitrate, std::string key);

}  // namespace corvane
