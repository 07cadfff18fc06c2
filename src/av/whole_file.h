#pragma once

// Files the job writes itself beside what the muxer writes (playlists,
// I-frames, subtitles) are written whole beside their place and then put
// there in one step: a server that serves the folder meanwhile, or a crash
// in the middle, never hands out half a file.

#include <string>

#include "av/status.h"

namespace corvane {

// Writes `bytes` to "<path>.tmp" and renames it to `path`; a failure names
// `action` and the system's cause (a full disk: "No space left on device"),
// and leaves nothing behind.
Status write_whole_file(const std::string& path, const std::string& bytes, const char* action);

}  // namespace corvane
