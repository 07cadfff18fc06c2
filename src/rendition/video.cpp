#include "rendition/rendition.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <cstdio>

#include "rendition/av_compat.h"

namespace corvane {

namespace {

// A source clock that goes back by more than this (in 1/30 s) has restarted
// (spliced recordings, a wrapped clock): the output clock carries on from
// where it was instead of dropping every picture until the source catches up.
constexpr int64_t kClockRestart = 30;

PictureFormat format_of(const Rendition& r, const AVFrame* picture) {
    return PictureFormat{picture->width, picture->height, picture->format, picture->color_range,
                         av_guess_sample_aspect_ratio(r.input.get(), r.in_video,
                                                      const_cast<AVFrame*>(picture))};
}

bool same_format(const PictureFormat& a, const PictureFormat& b) {
    return a.width == b.width && a.height == b.height && a.pix_fmt == b.pix_fmt &&
           a.color_range == b.color_range && av_cmp_q(a.sample_aspect, b.sample_aspect) == 0;
}

// The largest area of a width x height picture that shows the source at its
// own shape, centred. Sources of another shape than the rendition (4:3, wide
// cinema frames) get black bars instead of being stretched; shapes within 2 %
// fill the picture (854x480 is not quite 16:9).
PictureArea area_for(const PictureFormat& source, int width, int height) {
    PictureArea full{0, 0, width, height};
    if (source.width <= 0 || source.height <= 0) return full;
    const double pixel = source.sample_aspect.num > 0 && source.sample_aspect.den > 0
                             ? av_q2d(source.sample_aspect)
                             : 1.0;
    const double shape = source.width * pixel / source.height;
    const double target = static_cast<double>(width) / height;
    if (std::fabs(shape / target - 1.0) <= 0.02) return full;
    auto even = [](double v) { return std::max(2, static_cast<int>(std::lround(v / 2)) * 2); };
    PictureArea area = full;
    if (shape > target) {
        area.height = std::min(height, even(width / shape));
        area.y = (height - area.height) / 2 & ~1;
    } else {
        area.width = std::min(width, even(height * shape));
        area.x = (width - area.width) / 2 & ~1;
    }
    return area;
}

// Paints black everything of a yuv420p picture outside `area`.
void paint_bars(AVFrame& picture, const PictureArea& area) {
    for (int plane = 0; plane < 3; ++plane) {
        const int shift = plane == 0 ? 0 : 1;
        const uint8_t black = plane == 0 ? 16 : 128;
        const int w = AV_CEIL_RSHIFT(picture.width, shift);
        const int h = AV_CEIL_RSHIFT(picture.height, shift);
        const int x0 = area.x >> shift, x1 = (area.x + area.width) >> shift;
        const int y0 = area.y >> shift, y1 = (area.y + area.height) >> shift;
        for (int y = 0; y < h; ++y) {
            uint8_t* row = picture.data[plane] + static_cast<ptrdiff_t>(y) * picture.linesize[plane];
            if (y < y0 || y >= y1) {
                std::memset(row, black, w);
            } else {
                std::memset(row, black, x0);
                std::memset(row + x1, black, w - x1);
            }
        }
    }
}

bool is_full_range(const PictureFormat& format) {
    if (format.color_range == AVCOL_RANGE_JPEG) return true;
    switch (format.pix_fmt) {
        case AV_PIX_FMT_YUVJ420P:
        case AV_PIX_FMT_YUVJ422P:
        case AV_PIX_FMT_YUVJ444P:
        case AV_PIX_FMT_YUVJ440P:
            return true;
        default:
            return false;
    }
}

// The stamp of the next picture on the 30-per-second output clock, or
// AV_NOPTS_VALUE when the picture falls on a tick that is already taken
// (a 60 fps source gives two pictures per tick; the second one is dropped).
// Stamps sent to the encoder always increase.
int64_t next_video_stamp(Rendition& r, const AVFrame* picture, AVRational time_base) {
    int64_t source = picture->pts != AV_NOPTS_VALUE ? picture->pts : picture->best_effort_timestamp;
    if (source == AV_NOPTS_VALUE) {
        // Nothing to go by: the picture follows the one before.
        r.last_video_pts = r.last_video_pts == AV_NOPTS_VALUE ? 0 : r.last_video_pts + 1;
        return r.last_video_pts;
    }
    int64_t stamp = av_rescale_q(source, time_base, kVideoTimeBase) + r.video_pts_shift;
    if (r.last_video_pts != AV_NOPTS_VALUE && stamp <= r.last_video_pts) {
        if (r.last_video_pts - stamp < kClockRestart) return AV_NOPTS_VALUE;
        r.video_pts_shift += r.last_video_pts + 1 - stamp;
        stamp = r.last_video_pts + 1;
    }
    r.last_video_pts = stamp;
    return stamp;
}

// Turns one plane of w x h bytes clockwise by `turn` degrees. Works in
// tiles so that both planes stay in the cache.
void turn_plane(const uint8_t* src, int src_stride, int w, int h, uint8_t* dst, int dst_stride,
                int turn) {
    constexpr int kTile = 32;
    for (int y0 = 0; y0 < h; y0 += kTile) {
        for (int x0 = 0; x0 < w; x0 += kTile) {
            const int y1 = std::min(h, y0 + kTile);
            const int x1 = std::min(w, x0 + kTile);
            for (int y = y0; y < y1; ++y) {
                const uint8_t* row = src + static_cast<ptrdiff_t>(y) * src_stride;
                for (int x = x0; x < x1; ++x) {
                    int dx, dy;
                    if (turn == 90) {
                        dx = h - 1 - y;
                        dy = x;
                    } else if (turn == 270) {
                        dx = y;
                        dy = w - 1 - x;
                    } else {
                        dx = w - 1 - x;
                        dy = h - 1 - y;
                    }
                    dst[static_cast<ptrdiff_t>(dy) * dst_stride + dx] = row[x];
                }
            }
        }
    }
}

// Turns a yuv420p picture clockwise by `turn` degrees into `out`.
void turn_picture(const AVFrame& in, AVFrame& out, int turn) {
    for (int plane = 0; plane < 3; ++plane) {
        const int shift = plane == 0 ? 0 : 1;
        turn_plane(in.data[plane], in.linesize[plane], AV_CEIL_RSHIFT(in.width, shift),
                   AV_CEIL_RSHIFT(in.height, shift), out.data[plane], out.linesize[plane], turn);
    }
}

// Scales one picture (its time stamp in `time_base`) to the rendition's size
// and encodes it.
Status encode_picture(Rendition& r, AVFrame* picture, AVRational time_base) {
    const int64_t stamp = next_video_stamp(r, picture, time_base);
    if (stamp == AV_NOPTS_VALUE) return Status{};
    if (r.first_video_pts == AV_NOPTS_VALUE) r.first_video_pts = stamp;

    // A source may change its size or pixel format mid-stream: the scaler must
    // always match the picture it reads.
    const PictureFormat format = format_of(r, picture);
    if (!r.scaler || !same_format(format, r.scaler_input)) {
        Status s = build_scaler(r, format);
        if (s.failed()) return s;
    }
    AVFrame* scaled = r.scaled.get();
    // The encoder may still hold the previous picture's buffers.
    int ret = av_frame_make_writable(scaled);
    if (ret < 0) return Status{ret, "allocating the scaled picture"};
    AVFrame* target = r.upright_turn ? r.unturned.get() : scaled;
    const PictureArea& area = r.scaled_area;
    uint8_t* destination[4] = {};
    for (int plane = 0; plane < 3; ++plane) {
        const int shift = plane == 0 ? 0 : 1;
        destination[plane] = target->data[plane] +
                             static_cast<ptrdiff_t>(area.y >> shift) * target->linesize[plane] +
                             (area.x >> shift);
    }
    sws_scale(r.scaler.get(), picture->data, picture->linesize, 0, picture->height, destination,
              target->linesize);
    // The scaler may write a few bytes past the end of each row: the bars are
    // painted afterwards.
    if (area.width != target->width || area.height != target->height) paint_bars(*target, area);
    if (r.upright_turn) turn_picture(*target, *scaled, r.upright_turn);
    scaled->pts = stamp;
    return encode_and_write(r.video_encoder.get(), r.output.get(), r.out_video, scaled,
                            r.out_packet.get());
}

}  // namespace

Status configure_video_encoder(Rendition& r) {
    r.video_encoder.reset(avcodec_alloc_context3(r.h264));
    AVCodecContext* c = r.video_encoder.get();
    if (!c) return Status{AVERROR(ENOMEM), "opening the H.264 encoder"};
    c->height = r.height;
    c->width = r.width;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    c->time_base = kVideoTimeBase;
    c->thread_count = 0;
    c->framerate = AVRational{30, 1};
    c->bit_rate = r.video_bit_rate;
    av_opt_set(c->priv_data, "preset", "fast", 0);
    c->gop_size = 60;
    c->keyint_min = 60;
    av_opt_set(c->priv_data, "sc_threshold", "0", 0);
    return status_of(avcodec_open2(c, r.h264, nullptr), "opening the H.264 encoder");
}

Status build_scaler(Rendition& r, const PictureFormat& format) {
    const AVCodecContext* enc = r.video_encoder.get();
    // A source shown sideways is scaled as it is stored, then turned.
    const bool sideways = r.upright_turn % 180 != 0;
    const PictureArea area = area_for(format, sideways ? enc->height : enc->width,
                                      sideways ? enc->width : enc->height);
    SwsContext* scaler = sws_getContext(format.width, format.height,
                                        static_cast<AVPixelFormat>(format.pix_fmt), area.width,
                                        area.height, enc->pix_fmt, SWS_BICUBIC, nullptr, nullptr,
                                        nullptr);
    if (!scaler) return Status{AVERROR(EINVAL), "creating the scaler"};
    r.scaler.reset(scaler);
    r.scaler_input = format;
    r.scaled_area = area;
    // Full-range sources (phone and camera files) are brought to the limited
    // range that the H.264 stream is read with.
    if (is_full_range(format)) {
        int* inv_table = nullptr;
        int* table = nullptr;
        int src_range = 0, dst_range = 0, brightness = 0, contrast = 0, saturation = 0;
        if (sws_getColorspaceDetails(scaler, &inv_table, &src_range, &table, &dst_range,
                                     &brightness, &contrast, &saturation) >= 0) {
            sws_setColorspaceDetails(scaler, inv_table, 1, table, 0, brightness, contrast,
                                     saturation);
        }
    }
    return Status{};
}

Status encode_and_write(AVCodecContext* encoder, AVFormatContext* output, AVStream* stream,
                        const AVFrame* frame, AVPacket* packet) {
    const bool video = encoder->codec_type == AVMEDIA_TYPE_VIDEO;
    const char* encoding = video ? "encoding video" : "encoding audio";
    int ret = avcodec_send_frame(encoder, frame);
    if (ret < 0) return Status{ret, encoding};
    while (true) {
        ret = avcodec_receive_packet(encoder, packet);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return Status{};
        if (ret < 0) return Status{ret, encoding};
        // Pictures are one tick long unless the source leaves a gap; the
        // segmenter needs a duration to measure segments exactly.
        if (packet->duration == 0 && video) packet->duration = 1;
        // The muxer may have chosen another time base when it wrote the header.
        av_packet_rescale_ts(packet, encoder->time_base, stream->time_base);
        packet->stream_index = stream->index;
        ret = av_interleaved_write_frame(output, packet);
        av_packet_unref(packet);
        if (ret < 0) return Status{ret, "writing the HLS segments"};
    }
}

Status build_deinterlacer(Rendition& r, const AVFrame* picture) {
    const char* action = "building the deinterlacer";
    FilterGraphPtr graph(avfilter_graph_alloc());
    if (!graph) return Status{AVERROR(ENOMEM), action};
    const AVFilter* buffer = avfilter_get_by_name("buffer");
    const AVFilter* bwdif = avfilter_get_by_name("bwdif");
    const AVFilter* buffersink = avfilter_get_by_name("buffersink");
    if (!buffer || !bwdif || !buffersink) return Status{AVERROR_FILTER_NOT_FOUND, action};

    // The deinterlacer doubles the time base's denominator: a stream clock
    // finer than that can hold is given to it in 1/90000 s.
    AVRational time_base = r.in_video->time_base;
    if (time_base.den > INT_MAX / 2) {
        time_base = AVRational{1, 90000};
    }
    const AVRational aspect = picture->sample_aspect_ratio.num > 0 ? picture->sample_aspect_ratio
                                                                    : AVRational{1, 1};
    char args[256];
    std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d",
                  picture->width, picture->height, picture->format, time_base.num, time_base.den,
                  aspect.num, aspect.den);
    AVFilterContext* source = nullptr;
    AVFilterContext* filter = nullptr;
    AVFilterContext* sink = nullptr;
    int ret = avfilter_graph_create_filter(&source, buffer, "in", args, nullptr, graph.get());
    // One picture out for every picture in; pictures not marked interlaced
    // pass unchanged.
    if (ret >= 0) {
        ret = avfilter_graph_create_filter(&filter, bwdif, "deinterlace",
                                           "mode=send_frame:parity=auto:deint=interlaced", nullptr,
                                           graph.get());
    }
    if (ret >= 0) ret = avfilter_graph_create_filter(&sink, buffersink, "out", nullptr, nullptr, graph.get());
    if (ret >= 0) ret = avfilter_link(source, 0, filter, 0);
    if (ret >= 0) ret = avfilter_link(filter, 0, sink, 0);
    if (ret >= 0) ret = avfilter_graph_config(graph.get(), nullptr);
    if (ret < 0) return Status{ret, action};
    r.deinterlacer = std::move(graph);
    r.deinterlacer_source = source;
    r.deinterlacer_sink = sink;
    r.deinterlacer_input = format_of(r, picture);
    r.deinterlacer_time_base = time_base;
    return Status{};
}

namespace {

// Encodes every picture the deinterlacer has ready.
Status pull_progressive(Rendition& r) {
    AVFrame* picture = r.progressive.get();
    const AVRational time_base = av_buffersink_get_time_base(r.deinterlacer_sink);
    while (true) {
        const int ret = av_buffersink_get_frame(r.deinterlacer_sink, picture);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return Status{};
        if (ret < 0) return Status{ret, "deinterlacing video"};
        Status s = encode_picture(r, picture, time_base);
        av_frame_unref(picture);
        if (s.failed()) return s;
    }
}

// Ends the deinterlacer's stream, encodes the picture it still holds and
// releases it.
Status drain_deinterlacer(Rendition& r) {
    const int ret = av_buffersrc_add_frame(r.deinterlacer_source, nullptr);
    if (ret < 0) return Status{ret, "deinterlacing video"};
    Status s = pull_progressive(r);
    r.deinterlacer_source = nullptr;
    r.deinterlacer_sink = nullptr;
    r.deinterlacer.reset();
    return s;
}

}  // namespace

Status take_picture(Rendition& r, AVFrame* picture) {
    // Interlaced pictures (broadcast recordings, camcorders) are made
    // progressive first: scaling two fields taken 1/50 s apart as one picture
    // would comb or ghost every moving edge. Once an interlaced picture has
    // been seen, all pictures of that size and pixel format go through the
    // deinterlacer, to keep their order; another size or pixel format needs a
    // new one.
    const PictureFormat& made_for = r.deinterlacer_input;
    if (r.deinterlacer && (picture->width != made_for.width || picture->height != made_for.height ||
                           picture->format != made_for.pix_fmt)) {
        Status s = drain_deinterlacer(r);
        if (s.failed()) return s;
    }
    if (!r.deinterlacer) {
        // The deinterlacer needs at least 3 columns and 4 lines.
        const bool deinterlace = is_interlaced(picture) && picture->width >= 3 && picture->height >= 4;
        if (!deinterlace) return encode_picture(r, picture, r.in_video->time_base);
        Status s = build_deinterlacer(r, picture);
        if (s.failed()) return s;
    }
    if (picture->pts == AV_NOPTS_VALUE) picture->pts = picture->best_effort_timestamp;
    if (picture->pts != AV_NOPTS_VALUE) {
        picture->pts = av_rescale_q(picture->pts, r.in_video->time_base, r.deinterlacer_time_base);
    }
    const int ret = av_buffersrc_add_frame_flags(r.deinterlacer_source, picture,
                                                 AV_BUFFERSRC_FLAG_KEEP_REF);
    if (ret < 0) return Status{ret, "deinterlacing video"};
    return pull_progressive(r);
}

Status finish_video(Rendition& r) {
    if (r.deinterlacer) {
        Status s = drain_deinterlacer(r);
        if (s.failed()) return s;
    }
    return encode_and_write(r.video_encoder.get(), r.output.get(), r.out_video, nullptr,
                            r.out_packet.get());
}

}  // namespace corvane
