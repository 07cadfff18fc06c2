#pragma once

// Writes the carried subtitle tracks beside the renditions, once they are
// done: "subtitles_<n>.m3u8" and its segments "subtitles_<n>_000.vtt", ...
// in the working directory, each file written whole beside its place and
// then put there.

#include <cstdint>
#include <string>
#include <vector>

#include "av/output.h"
#include "av/status.h"
#include "subtitles/subtitle_tracks.h"

namespace corvane {

// `media` is what the renditions' media playlists cover, `ts_start` their
// segments' MPEG-TS stamp of the output clock's 0; segments are encrypted
// with the key that `key_info_path` names. On success `written` lists the
// tracks for the master playlist; `left_out` counts the cues left out of
// segments that were full.
Status write_subtitles(const SubtitleTracks& tracks, const HandedOut& media, int64_t ts_start,
                       const std::string& key_info_path, std::vector<SubtitleRendition>& written,
                       int& left_out);

}  // namespace corvane
