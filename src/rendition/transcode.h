#pragma once

#include <string>

namespace corvane {

// One rendition of the ladder, run on its own thread: decodes input_path,
// encodes H.264 at width x height and video_bit_rate plus loudness-normalised
// AAC, and writes playlist_path with its encrypted segments. Returns true when
// the rendition was completed; a failure is logged as one ERROR line.
bool transcode_variant(std::string input_path, std::string playlist_path, int width, int height,
                       int video_bit_rate, std::string key_info_path);

}  // namespace corvane
