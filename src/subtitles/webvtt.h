#pragma once

// The source's text subtitles as HLS carries them: WebVTT segments of 6 s
// of the output clock, each mapping its cue times onto the MPEG-TS clock of
// the renditions' segments, a media playlist per track, and the master
// playlist's description of each track. Text only: no FFmpeg, no files.

#include <cstdint>
#include <string>
#include <vector>

namespace corvane {

// One cue, in milliseconds of the output clock; `text` as WebVTT cue text.
struct Cue {
    int64_t start = 0;
    int64_t end = 0;
    std::string text;
};

// "HH:MM:SS.mmm".
std::string webvtt_time(int64_t milliseconds);

// A cue's text made safe for a WebVTT file: line feeds only, no blank line
// (it would end the cue), no "-->" (it would start one). Empty when nothing
// is left to show.
std::string webvtt_cue_text(const std::string& text);

// `text` as UTF-8: unchanged when it is UTF-8 already, else read as
// Windows-1252 (the usual encoding of older SubRip files).
std::string utf8_text(const std::string& text);

// Cues with no end of their own (end <= start) last until the next cue
// starts, and `longest` ms at most.
void close_open_cues(std::vector<Cue>& cues, int64_t longest);

struct SubtitleSegments {
    std::vector<std::string> files;  // each file's whole text
    std::vector<double> seconds;     // each segment's duration
    int left_out = 0;                // cues left out of segments that were full
};

// A segment holds at most this much text (a film's hold a few hundred bytes):
// a source whose cues would make more (thousands at once, or cues that last
// for hours) cannot fill the disk with copies of them.
constexpr size_t kSegmentTextBytes = 256 * 1024;

// The media from `start` to `end` (ms of the output clock) in segments of
// `segment_ms`: each holds every cue that shows during it (a cue across a
// boundary is in both) up to kSegmentTextBytes, and maps the output clock's
// 0 to `ts_start` on the MPEG-TS clock (1/90000 s).
SubtitleSegments webvtt_segments(const std::vector<Cue>& cues, int64_t start, int64_t end, int64_t segment_ms,
                                 int64_t ts_start);

// The EXT-X-KEY line of a segment: the stated IV (32 hex digits), or else
// the segment's media sequence number.
std::string key_line(const std::string& key_uri, const std::string& iv, uint64_t sequence);

// A subtitle track's media playlist, naming segments "<base>_000.vtt", ...;
// encrypted when `key_uri` is not empty.
std::string subtitle_playlist_text(const std::vector<double>& seconds, const std::string& base,
                                   const std::string& key_uri, const std::string& iv);

// What the source says of a text subtitle track.
struct SubtitleTrackInfo {
    std::string title;
    std::string language;
    bool is_default = false;
    bool forced = false;
};

// A subtitle track as the master playlist lists it.
struct SubtitleRendition {
    std::string name;      // unique in the group
    std::string language;  // empty: not stated
    bool is_default = false;
    bool autoselect = false;
    bool forced = false;
    std::string playlist;  // "subtitles_0.m3u8", ...
};

// The tracks' renditions, in the source's order: NAME the title, else the
// language, else "Subtitles N", made unique; DEFAULT the track marked so,
// else the first; players may choose by language (AUTOSELECT) any track
// that states one, and the default one.
std::vector<SubtitleRendition> subtitle_renditions(const std::vector<SubtitleTrackInfo>& tracks);

}  // namespace corvane
