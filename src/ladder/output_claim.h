#pragma once

// Jobs of one process run at the same time, except two that would write the
// same files: those run one after another. Running them at once would mix
// their segments under one playlist; refusing the later one would fail a
// call that waiting lets succeed, as calling them one after another does
// (the later job's files replace the earlier's, each set whole).
//
// A job's files are named by its playlists: each rendition's (its segments
// and I-frame files are named after it), each subtitle track's, and the
// master playlist, as absolute paths with symbolic links followed. The
// renditions and subtitle tracks are written in the working directory of
// the job's thread: the process's, unless the host gave that thread one of
// its own.

#include <functional>
#include <string>
#include <vector>

#include "ladder/plan.h"

namespace corvane {

// The calling thread's working directory; "" when it cannot be told.
std::string working_directory();

// The playlists of a job that writes `renditions` and `subtitle_tracks`
// subtitle tracks in `folder`, and its master playlist at `output` (relative
// to `folder`).
std::vector<std::string> written_playlists(const std::string& folder, const std::string& output,
                                           const std::vector<PlannedRendition>& renditions,
                                           int subtitle_tracks);

// While one is held, no other job of the process writes its playlists.
class OutputClaim {
public:
    // Waits until no other job holds any of `playlists` (an INFO line says
    // so), asking `interrupted` about every 100 ms whether to give up.
    OutputClaim(std::vector<std::string> playlists, const std::function<bool()>& interrupted);
    ~OutputClaim();
    OutputClaim(const OutputClaim&) = delete;
    OutputClaim& operator=(const OutputClaim&) = delete;

    // False when the job was interrupted while it waited.
    bool held() const { return held_; }

private:
    std::vector<std::string> playlists_;
    bool held_ = false;
};

}  // namespace corvane
