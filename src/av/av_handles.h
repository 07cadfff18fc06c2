#pragma once

// Owners for every FFmpeg object the source stage and the rendition workers
// hold. Each alias frees its object with the matching FFmpeg release
// function; format contexts of either kind, input or output, go through
// close_format_context.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <string>

#include "av/status.h"

namespace corvane {

// Closes an input (avformat_close_input) or releases an output format
// context and its file; never writes a trailer.
void close_format_context(AVFormatContext* context);

// Index of the best video stream that has a decoder, leaving out cover
// pictures (a still attached to a song is not a video); negative: the error.
int find_video_stream(AVFormatContext* input, const AVCodec** decoder);
// Index of the first cover picture that has a decoder; negative: none.
int find_cover(AVFormatContext* input, const AVCodec** decoder);

struct FormatContextDeleter {
    void operator()(AVFormatContext* c) const { close_format_context(c); }
};
struct CodecContextDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct CodecParametersDeleter {
    void operator()(AVCodecParameters* p) const { avcodec_parameters_free(&p); }
};
struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FilterGraphDeleter {
    void operator()(AVFilterGraph* g) const { avfilter_graph_free(&g); }
};
struct FilterInOutDeleter {
    void operator()(AVFilterInOut* io) const { avfilter_inout_free(&io); }
};
struct AudioFifoDeleter {
    void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};
struct ScalerDeleter {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};

using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using CodecParametersPtr = std::unique_ptr<AVCodecParameters, CodecParametersDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using FilterGraphPtr = std::unique_ptr<AVFilterGraph, FilterGraphDeleter>;
using FilterInOutPtr = std::unique_ptr<AVFilterInOut, FilterInOutDeleter>;
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoDeleter>;
using ScalerPtr = std::unique_ptr<SwsContext, ScalerDeleter>;

// An AVChannelLayout that frees what it holds.
struct ChannelLayout {
    AVChannelLayout layout{};
    ChannelLayout() = default;
    ChannelLayout(const ChannelLayout&) = delete;
    ChannelLayout& operator=(const ChannelLayout&) = delete;
    ChannelLayout(ChannelLayout&& other) noexcept : layout(other.layout) { other.layout = AVChannelLayout{}; }
    ChannelLayout& operator=(ChannelLayout&& other) noexcept {
        if (this != &other) {
            av_channel_layout_uninit(&layout);
            layout = other.layout;
            other.layout = AVChannelLayout{};
        }
        return *this;
    }
    ~ChannelLayout() { av_channel_layout_uninit(&layout); }
};

}  // namespace corvane
