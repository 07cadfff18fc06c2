#pragma once

// What every rendition's streams are: the source stage prepares pictures and
// AAC packets to these, and the renditions encode and mux them so.

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/rational.h>
}

#include <cstdint>

namespace corvane {

// Pictures on a 30-per-second clock, a key frame (where a segment may start)
// at least every 60 of them: every 2 s.
constexpr AVRational kVideoTimeBase{1, 30};
constexpr int kGopPictures = 60;

// AAC-LC at 44,100 Hz stereo and 128 kbit/s, stamped in samples.
constexpr int kAudioRate = 44100;
constexpr AVRational kAudioTimeBase{1, kAudioRate};
constexpr const char* kAudioLayout = "stereo";
constexpr int64_t kAudioBitRate = 128000;

// How far the MPEG-TS muxer may hold a stream's packets back, in
// microseconds; its clock starts on by twice as much.
constexpr int kMuxDelay = 700000;

// What the source handed out, on the output clocks: the first picture's
// stamp and where the last one ends (1/30 s), and the first and end sample
// of the audio (1/44100 s).
struct HandedOut {
    int64_t first_video_pts = AV_NOPTS_VALUE;
    int64_t video_end_pts = AV_NOPTS_VALUE;
    bool audio_clock_started = false;
    int64_t audio_first_sample = 0;
    int64_t audio_samples = 0;
};

}  // namespace corvane
