#pragma once

// What every rendition's streams are: the source stage prepares pictures and
// AAC packets to these, and the renditions encode and mux them so.

extern "C" {
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

}  // namespace corvane
