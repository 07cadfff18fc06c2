#pragma once

// The source's video decoder: packets in, decoded pictures out, on threads
// of its own. It allocates no picture beyond the sizes accepted.

#include <atomic>

#include "av/av_handles.h"
#include "source/decoding.h"
#include "source/source_input.h"

namespace corvane {

class VideoDecoder {
public:
    Status open(const SourceInput& input);

    // Sends one packet (null: the end of the stream) and hands every picture
    // the decoder then has ready to `take(AVFrame*)`, which returns a Status.
    // A packet the decoder rejects (damaged data) is skipped. A picture beyond
    // the sizes accepted fails with the reason.
    template <class Take>
    Status decode(const AVPacket* packet, Take&& take);

    void close() { decoder_.reset(); }

private:
    static int guarded_get_buffer(AVCodecContext* decoder, AVFrame* picture, int flags);
    template <class Take>
    Status receive(bool draining, Take& take);
    Status refused_size() const;

    CodecContextPtr decoder_;
    FramePtr decoded_;
    // Set by the decoder (on its own threads) when it was asked for a
    // picture beyond the sizes accepted, which it was refused.
    std::atomic<bool> oversized_{false};
    std::atomic<int> oversized_width_{0};
    std::atomic<int> oversized_height_{0};
};

// The video decoder's threads, one per core: each holds pictures of its own
// (about 50 MiB at 4K 10-bit), and 8 decode 4K HEVC faster than four
// encoders take it.
constexpr int kMostDecoderThreads = 8;
// At the end of the stream, how many damaged pictures the decoder may report
// while its threads hand on what they still hold.
constexpr int kMostDamagedAtEnd = 2 * kMostDecoderThreads;

template <class Take>
Status VideoDecoder::receive(bool draining, Take& take) {
    AVFrame* picture = decoded_.get();
    int damaged = 0;
    while (true) {
        const int ret = avcodec_receive_frame(decoder_.get(), picture);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return Status{};
        if (ret < 0) {
            // A damaged picture. While the decoder drains, the pictures its
            // other threads still work on come after it: they are taken too.
            if (draining && ++damaged <= kMostDamagedAtEnd) continue;
            return Status{};
        }
        Status status = take(picture);
        av_frame_unref(picture);
        RETURN_IF_FAILED(status);
    }
}

template <class Take>
Status VideoDecoder::decode(const AVPacket* packet, Take&& take) {
    const Status status = decode_packet(decoder_.get(), packet, [&] { return receive(!packet, take); });
    return oversized_ ? refused_size() : status;
}

}  // namespace corvane
