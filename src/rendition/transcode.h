#pragma once

#include <string>

#include "av/av_handles.h"
#include "source/media_queue.h"
#include "source/source.h"

namespace corvane {

// One rendition of the ladder, run on its own thread: takes the pictures and
// AAC packets that the source hands to `feed`, encodes H.264 at width x
// height and video_bit_rate, and writes playlist_path with its encrypted
// segments; `audio` describes the AAC stream. Returns true when the
// rendition was completed; a failure is logged as one ERROR line. Whatever
// happens, the rendition stops taking from `feed` before it returns.
bool transcode_variant(MediaQueue& feed, const SourceReport& report, const AVCodecParameters* audio,
                       std::string playlist_path, int width, int height, int video_bit_rate,
                       std::string key_info_path);

}  // namespace corvane
