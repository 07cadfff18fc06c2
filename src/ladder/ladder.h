#pragma once

#include <functional>
#include <string>
#include <vector>

#include "ladder/plan.h"

namespace corvane {

// The whole job behind hls_encoder: probe the source, plan the renditions,
// run one worker thread per rendition, write the master playlist.
// Problems are reported as log lines; nothing is thrown for bad media.
// While the renditions run, the calling thread asks `interrupted` about every
// 100 ms whether to stop; when it says so, every thread stops where it is,
// nothing more is finished and one ERROR line says so. Jobs of one process
// run at the same time, each on threads of its own, unless they would write
// the same playlists (see output_claim.h).
void HlsLadderJob(std::string input, std::string output, std::vector<std::string> resolution,
                  std::vector<int> bitrate, std::string key,
                  const std::function<bool()>& interrupted = nullptr);

}  // namespace corvane
