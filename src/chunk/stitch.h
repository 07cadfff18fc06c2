#pragma once

// The end of a chunked job, in the calling process once every chunk has
// ended: each rendition's HLS output written from the chunks' H.264 packets
// and the job's AAC packets, in the order of their time stamps, by the same
// muxer as the single call (so segments, their numbers, IVs and stamps are
// the single call's), then the master playlist and the closing lines.

#include <functional>
#include <string>
#include <vector>

#include "av/status.h"
#include "ladder/plan.h"
#include "queue/media_item.h"

namespace corvane {

struct StitchTask {
    std::string output;  // the master playlist
    std::string key;     // the key-info file
    std::string folder;  // the job's folder of chunk files
    int chunks = 0;
    std::vector<PlannedRendition> renditions;
    // Per rendition, how its chunks' encoding ended (the first failure, in
    // the order of the chunks).
    std::vector<Status> encoded;
    // How the source stage of the last chunk ended.
    SourceOutcome outcome;
};

// Writes every rendition (one thread each) and the master playlist, with the
// job's closing lines. `interrupted` is asked about every 100 ms whether to
// stop, as in the single call.
void stitch_job(const StitchTask& task, const std::function<bool()>& interrupted);

}  // namespace corvane
