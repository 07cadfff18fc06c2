#pragma once

// What a source file's content may make the job open. The caller names one
// locator; the file behind it often comes from a stranger (uploads), and
// playlist-like formats (HLS, DASH, concat scripts, ...) follow names found
// in the content. So:
// - a media file named by the caller is read alone: every further open its
//   content asks for is refused;
// - a playlist the caller chose (a path ending in .m3u8, .m3u or .mpd, or an
//   http:// or https:// URL) may open its segments, with the same scheme
//   only, and for a local playlist only files inside its own folder.
// Pictures and sounds larger than any real camera or broadcast format are
// refused before anything is decoded.

#include <string>

#include "av/av_handles.h"

namespace corvane {

// The largest source accepted: pictures up to 8192 pixels on a side and 36
// megapixels, audio up to 16 channels and 384 kHz.
constexpr int kMaxPictureSide = 8192;
constexpr int64_t kMaxPicturePixels = 36'000'000;
constexpr int kMaxChannels = 16;
constexpr int kMaxSampleRate = 384'000;

struct InputGuard {
    // What the caller named and how far the content may reach from it.
    std::string locator;
    bool playlist = false;
    std::string scheme;  // "http" or "https" for a remote playlist, else empty
    std::string folder;  // a local playlist's own folder, symbolic links resolved
    // Set while the input is open.
    bool input_opened = false;
    bool refused = false;  // the content asked for something that was refused
    int (*default_open)(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) = nullptr;
};

// The ERROR line of a source whose content refers to what it may not open.
std::string refusal_text(const InputGuard& guard);

// Opens the caller's locator (avformat_open_input) with the guard watching
// every further open, and refuses sources that declare oversized streams
// before their stream information is read. On failure *context stays null;
// `guard.refused` or `oversize` (the ERROR line) says why, if it was a refusal.
int open_guarded_input(const std::string& locator, InputGuard& guard, FormatContextPtr& context,
                       std::string& oversize);

// Reads the stream information without letting a decoder allocate an
// oversized picture.
int find_stream_info_guarded(AVFormatContext* context);

inline bool picture_fits(int width, int height) {
    return width <= kMaxPictureSide && height <= kMaxPictureSide &&
           int64_t{width} * height <= kMaxPicturePixels;
}
inline bool sound_fits(int channels, int sample_rate) {
    return channels <= kMaxChannels && sample_rate <= kMaxSampleRate;
}

// The ERROR line for a picture or sound beyond the limits, or "" when it is
// within them.
std::string picture_oversize(int width, int height);
std::string sound_oversize(int channels, int sample_rate);
std::string stream_oversize(const AVCodecParameters* par);

}  // namespace corvane
