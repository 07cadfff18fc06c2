#pragma once

// A rendition's I-frame playlist, for scrubbing and fast-forward: one entry
// per key frame, each a byte range of the rendition's I-frame file that holds
// that picture alone as a small MPEG-TS stream, encrypted on its own. The
// text and rates only: no FFmpeg, no files.

#include <cstdint>
#include <string>
#include <vector>

#include "rendition/media_playlist.h"

namespace corvane {

struct IFrameEntry {
    int64_t offset = 0;  // where its bytes start in the I-frame file
    int64_t size = 0;    // how many, encrypted
    double seconds = 0;  // how long its picture stands, up to the next key frame
};

struct IFramePlaylist {
    std::string file;     // the I-frame file, as the playlist names it
    std::string key_uri;  // as the key-info file gives it
    std::string iv;       // 32 hex digits; empty: each entry's media sequence number
    std::vector<IFrameEntry> entries;
};

// The whole playlist: version 4 (byte ranges, I-frames only), a VOD list.
std::string iframe_playlist_text(const IFramePlaylist& playlist);

// The playlist's target duration: its longest entry, rounded up; at least 1.
long iframe_target_duration(const std::vector<IFrameEntry>& entries);

// BANDWIDTH and AVERAGE-BANDWIDTH of the entries: the peak of any one entry
// (or run of them, as the media segments' are measured), and the average.
SegmentRates measure_iframe_rates(const std::vector<IFrameEntry>& entries);

}  // namespace corvane
