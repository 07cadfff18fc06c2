#pragma once

#include <cstdint>
#include <string>

#include "av/av_handles.h"
#include "queue/media_queue.h"
#include "rendition/media_playlist.h"

namespace corvane {

// The bit rates of a rendition's segments as written (audio, MPEG-TS and
// encryption included), in bit/s: the highest of any run of segments that
// lasts 0.5 to 1.5 times the target duration, and the average of them all.
using WrittenRates = SegmentRates;

// How a rendition ended, and what the master playlist says of it.
struct RenditionResult {
    bool created = false;
    WrittenRates rates;
    WrittenRates iframe_rates;  // of its I-frame playlist's entries
    int64_t ts_start = 0;       // its segments' MPEG-TS stamp of the output clock's 0
    HandedOut handed_out;       // what its media playlist covers
    std::string video_codec;  // of its H.264 stream, as "avc1.64001f"; empty when unknown
};

// The ERROR line of a rendition that failed: "Rendition 720p.m3u8 failed
// while <what it was doing>: <FFmpeg's cause>", or "... failed: <reason>"
// when the status gives the cause in words.
void log_rendition_failure(const std::string& playlist, const Status& why);

// One rendition of the ladder, run on its own thread: takes the pictures and
// AAC packets that the source hands to `feed`, encodes H.264 at width x
// height and video_bit_rate, and writes playlist_path with its encrypted
// segments; `audio` describes the AAC stream. Says whether the rendition was
// completed, with what it wrote; a failure is logged as one ERROR line.
// Whatever happens, the rendition stops taking from `feed` before it returns.
RenditionResult transcode_variant(MediaQueue& feed, const AVCodecParameters* audio,
                       std::string playlist_path, int width, int height, int video_bit_rate,
                       std::string key_info_path);

// One rendition of a chunk of a chunked job, run on its own thread: encodes
// the pictures that the source hands to `feed` (the chunk's stretch) at
// width x height and video_bit_rate, and keeps the H.264 packets, after the
// encoder's sequence header, in the file `packets` (see PacketWriter).
// Logs nothing: says how it ended. `playlist_path` names the rendition.
Status encode_stretch(MediaQueue& feed, const std::string& packets, const std::string& playlist_path,
                      int width, int height, int video_bit_rate);

}  // namespace corvane
