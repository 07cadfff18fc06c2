#pragma once

// The I-frame file of a rendition, written beside its segments: every key
// frame the muxer is given becomes an MPEG-TS stream of that one picture
// (tables, sequence header and picture), encrypted on its own with the
// rendition's key, and appended to "<name>_iframes.ts"; at the end the
// I-frame playlist "<name>_iframes.m3u8" names each as a byte range.
//
// Byte ranges into the segments themselves cannot serve: a segment is
// encrypted whole, so a range inside it can be decrypted only with the
// cipher block before it, and never ends on the padding that a player's
// AES-128 decryption expects.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "av/av_handles.h"
#include "av/output.h"
#include "av/segment_key.h"
#include "av/status.h"
#include "rendition/iframe_playlist.h"

namespace corvane {

class IFrameWriter {
public:
    IFrameWriter() = default;
    IFrameWriter(const IFrameWriter&) = delete;
    IFrameWriter& operator=(const IFrameWriter&) = delete;
    // An I-frame file left unfinished (a failed or stopped rendition) is removed.
    ~IFrameWriter();

    // Reads the key that the key-info file names; `base` names the files
    // ("360p" gives 360p_iframes.ts), `video` describes the H.264 stream.
    Status open(const std::string& key_info_path, const std::string& base, const AVCodecParameters* video);

    // Every packet the HLS muxer is given, before it is given (stamps in
    // 1/30 s and 1/44100 s). The muxer moves all stamps on by the same
    // amount when the first are negative; the I-frames are moved alike,
    // once the first packet of each stream is known.
    Status take_video(const AVPacket* packet);
    Status take_audio(const AVPacket* packet);

    // After the last packet: the entries' durations (the first from where
    // the media starts, the last up to where it ends), the file put in
    // place, the playlist written and its rates measured.
    Status finish(const HandedOut& media, SegmentRates& rates);

    // The segments' MPEG-TS stamp (1/90000 s) of the output clock's 0, once
    // the first key frame is written.
    int64_t ts_start() const { return ts_start_; }

    std::string playlist_name() const { return base_ + "_iframes.m3u8"; }

private:
    Status write_pending();
    Status write_entry(const AVPacket* packet);  // stamps in 1/90000 s, moved on
    Status mux_picture(const AVPacket* packet, std::vector<uint8_t>& bytes);
    Status encrypt_and_append(std::vector<uint8_t>& bytes);

    std::string base_;
    SegmentKey key_;
    CodecParametersPtr video_;
    std::FILE* file_ = nullptr;
    std::string temporary_;
    bool finished_ = false;

    // First decoding stamps of either stream (1/90000 s), and the key
    // frames that wait until both are known.
    int64_t first_video_dts_ = AV_NOPTS_VALUE;
    int64_t first_audio_dts_ = AV_NOPTS_VALUE;
    std::vector<PacketPtr> pending_;
    int64_t ts_start_ = 0;

    std::vector<IFrameEntry> entries_;
    std::vector<int64_t> entry_pts_;  // each entry's picture, in 1/30 s
    int64_t written_ = 0;
};

}  // namespace corvane
