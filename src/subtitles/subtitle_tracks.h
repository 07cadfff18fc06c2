#pragma once

// The source's text subtitle tracks (SubRip, ASS/SSA, MP4 timed text,
// WebVTT), decoded as the source is read and kept as WebVTT cues on the
// output clock. Bitmap subtitles (DVD, Blu-ray, DVB) are not carried: the
// job names each in a WARN line. A damaged cue is left out; no cue ever
// stops the job.

#include <cstdint>
#include <string>
#include <vector>

#include "av/av_handles.h"
#include "subtitles/webvtt.h"

namespace corvane {

struct SubtitleTrack {
    int stream_index = -1;
    SubtitleTrackInfo info;
    CodecContextPtr decoder;
    CodecContextPtr encoder;  // WebVTT, from the decoder's styled text
    std::vector<Cue> cues;
    int left_out = 0;  // cues that could not be read
};

class SubtitleTracks {
public:
    // Chooses the text subtitle tracks of `input` (every other subtitle
    // track stays unread) and opens their decoders; a track that cannot be
    // decoded is named in `warnings` like a bitmap one.
    void open(AVFormatContext* input, std::vector<std::string>& warnings);

    bool carries(int stream_index) const;

    // One packet of a carried track, its stamps in the stream's time base
    // and moved by `clock_shift` (microseconds) like every other stream's.
    void take(const AVPacket* packet, int64_t clock_shift);

    // After the last packet: cues without an end of their own are closed.
    void finish();

    // The tracks' descriptions and cues in a file, for a chunked job: the
    // chunk that reads the whole source saves them, the job loads them (no
    // file: no tracks). Say whether that worked.
    bool save(const std::string& path) const;
    bool load(const std::string& path);

    const std::vector<SubtitleTrack>& tracks() const { return tracks_; }
    // A WARN line per track that lost cues, or "" when none did.
    std::vector<std::string> losses() const;

private:
    void take_decoded(SubtitleTrack& track, AVSubtitle& subtitle, int64_t clock_shift);

    std::vector<SubtitleTrack> tracks_;
    size_t kept_bytes_ = 0;
    size_t kept_cues_ = 0;
};

}  // namespace corvane
