#pragma once

// A rendition's media playlist as the muxer wrote it, read back as text: its
// durations fitted to the media, its target duration raised to cover them,
// and the rates of its segments. No files: the rendition reads the playlist
// and the segments' sizes, and writes the new text.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "av/output.h"

namespace corvane {

struct MediaPlaylist {
    std::vector<std::string> lines;  // every line, without its line feed
    size_t target_line = std::string::npos;  // #EXT-X-TARGETDURATION's; npos: none
    long target = 0;                         // its value, in seconds
    std::vector<size_t> extinf_lines;        // every #EXTINF line's index, in order
    std::vector<double> seconds;             // and its duration
    std::vector<std::string> segments;       // every segment's URI, in order
};

MediaPlaylist parse_media_playlist(const std::string& text);
// The playlist's lines, each ended by a line feed.
std::string media_playlist_text(const MediaPlaylist& playlist);

// Where the encoded pictures and samples begin and end, in seconds of the
// output clock that both streams share.
struct MediaSpan {
    bool known = false;
    double start = 0;
    double end = 0;
    double video_start = 0;
};
MediaSpan media_span(const HandedOut& media);

struct Fitting {
    bool changed = false;  // the playlist's text changed
    long target = 0;       // the target duration the rates are measured against
};

// Makes the first EXTINF start where the media starts and the last end where
// it ends, and raises the target duration to the longest segment.
// `media` says where the media handed to the rendition begins and ends.
Fitting fit_media_playlist(MediaPlaylist& playlist, const HandedOut& media);

// The peak and average rate of segments of `bytes` and `seconds`, in bit/s.
struct SegmentRates {
    int64_t peak = 0;
    int64_t average = 0;
};
SegmentRates measure_rates(const std::vector<uintmax_t>& bytes, const std::vector<double>& seconds,
                           long target);

}  // namespace corvane
