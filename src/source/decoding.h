#pragma once

// What the video and the audio path do alike with their decoders.

#include "av/av_compat.h"
#include "av/av_handles.h"

namespace corvane {

// Opens a decoder for `stream`, on `threads` threads. A `get_buffer` callback
// (with `opaque`) allocates the decoder's frames instead of FFmpeg's own; it
// is called on the decoder's threads.
inline Status open_decoder(const AVStream* stream, const AVCodec* codec, CodecContextPtr& context,
                           const char* action, int (*get_buffer)(AVCodecContext*, AVFrame*, int) = nullptr,
                           void* opaque = nullptr, int threads = 1) {
    context.reset(avcodec_alloc_context3(codec));
    if (!context) return Status{AVERROR(ENOMEM), action};
    int ret = avcodec_parameters_to_context(context.get(), stream->codecpar);
    if (ret < 0) return Status{ret, action};
    if (get_buffer) {
        context->opaque = opaque;
        context->get_buffer2 = get_buffer;
        mark_callbacks_thread_safe(context.get());
    }
    // Decoders need the packets' time base for their own time stamp work
    // (skipped priming samples, for one).
    context->pkt_timebase = stream->time_base;
    context->thread_count = threads;
    return status_of(avcodec_open2(context.get(), codec, nullptr), action);
}

// Sends one packet (null: end of stream) to a decoder and lets `receive`
// take every frame it gives. A packet the decoder rejects (damaged data) is
// skipped; a decoder that still holds frames gets them taken before the
// packet is sent again, so no packet is lost to a full output queue.
template <class Receive>
Status decode_packet(AVCodecContext* decoder, const AVPacket* packet, Receive receive) {
    const int ret = avcodec_send_packet(decoder, packet);
    if (ret == AVERROR(EAGAIN)) {
        RETURN_IF_FAILED(receive());
        avcodec_send_packet(decoder, packet);
    }
    return receive();
}

}  // namespace corvane
