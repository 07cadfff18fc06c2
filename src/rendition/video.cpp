// The video path of a rendition: each picture from the source is scaled to
// the rendition's size (with black bars when its shape differs) and encoded
// as H.264.

#include "rendition/rendition.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "av/picture_colours.h"

namespace corvane {

namespace {

// The source stage tags every picture it scales down with the matrix it
// was read in, so a size-based guess always sees the source's own size.
int matrix_of(const AVFrame* picture) {
    return assumed_matrix(picture->colorspace, picture->width, picture->height);
}

PictureFormat format_of(const AVFrame* picture) {
    return PictureFormat{picture->width, picture->height, picture->format, picture->color_range,
                         matrix_of(picture), picture->sample_aspect_ratio};
}

bool same_format(const PictureFormat& a, const PictureFormat& b) {
    return a.width == b.width && a.height == b.height && a.pix_fmt == b.pix_fmt &&
           a.color_range == b.color_range && a.matrix == b.matrix &&
           av_cmp_q(a.sample_aspect, b.sample_aspect) == 0;
}

PictureArea area_for(const PictureFormat& source, int width, int height) {
    return fit_area(source.width, source.height, source.sample_aspect, width, height);
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
    return format.color_range == AVCOL_RANGE_JPEG || jpeg_range_format(format.pix_fmt);
}

// The scaler reads the full-range formats of JPEG pictures (camera MJPEG,
// cover art) as their ordinary counterparts, with the range set below.
AVPixelFormat scaler_format(int pix_fmt) {
    switch (pix_fmt) {
        case AV_PIX_FMT_YUVJ420P: return AV_PIX_FMT_YUV420P;
        case AV_PIX_FMT_YUVJ422P: return AV_PIX_FMT_YUV422P;
        case AV_PIX_FMT_YUVJ444P: return AV_PIX_FMT_YUV444P;
        case AV_PIX_FMT_YUVJ440P: return AV_PIX_FMT_YUV440P;
        default: return static_cast<AVPixelFormat>(pix_fmt);
    }
}

Status build_scaler(Rendition& r, const PictureFormat& format) {
    const AVCodecContext* enc = r.video_encoder.get();
    const PictureArea area = area_for(format, enc->width, enc->height);
    r.scaling.input = format;
    r.scaling.area = area;
    r.scaling.ready = true;
    // A picture of the rendition's size, pixel format and colours needs no
    // scaling: the scaler would only copy it.
    r.scaling.pass_through = format.width == enc->width && format.height == enc->height &&
                     format.pix_fmt == enc->pix_fmt && !is_full_range(format) &&
                     format.matrix == AVCOL_SPC_BT709 && area.width == enc->width &&
                     area.height == enc->height;
    if (r.scaling.pass_through) {
        r.scaling.scaler.reset();
        return Status{};
    }
    // Another matrix is converted through RGB: rounded with care and with
    // whole chroma lines, the colours stay within a step or two of the source's.
    const bool convert = format.matrix != AVCOL_SPC_BT709;
    const int flags = convert ? SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT : SWS_BICUBIC;
    SwsContext* scaler = sws_getContext(format.width, format.height, scaler_format(format.pix_fmt), area.width,
                                        area.height, enc->pix_fmt, flags, nullptr, nullptr, nullptr);
    if (!scaler) return Status{AVERROR(EINVAL), "creating the scaler"};
    r.scaling.scaler.reset(scaler);
    // The renditions are BT.709 in limited range: pictures in another matrix
    // (BT.601 SD video) are converted, and full-range sources (phone and
    // camera files) brought to the limited range the H.264 stream is read with.
    if (convert || is_full_range(format)) {
        int* inv_table = nullptr;
        int* table = nullptr;
        int src_range = 0, dst_range = 0, brightness = 0, contrast = 0, saturation = 0;
        if (sws_getColorspaceDetails(scaler, &inv_table, &src_range, &table, &dst_range,
                                     &brightness, &contrast, &saturation) >= 0) {
            sws_setColorspaceDetails(scaler, sws_getCoefficients(format.matrix), is_full_range(format) ? 1 : 0,
                                     sws_getCoefficients(SWS_CS_ITU709), 0, brightness, contrast,
                                     saturation);
        }
    }
    AVFrame* scaled = r.scaling.scaled.get();
    if (scaled->buf[0]) return Status{};
    scaled->format = enc->pix_fmt;
    scaled->width = enc->width;
    scaled->height = enc->height;
    return status_of(av_frame_get_buffer(scaled, 32), "allocating the scaled picture");
}

// Makes `out` a reference to the picture's pixels and nothing else: the
// encoder sees no picture type, side data, duration or colour tags of the
// source, exactly as with a scaled picture.
Status reference_pixels(AVFrame* out, const AVFrame* picture) {
    av_frame_unref(out);
    out->format = picture->format;
    out->width = picture->width;
    out->height = picture->height;
    for (int i = 0; i < AV_NUM_DATA_POINTERS && picture->buf[i]; ++i) {
        out->buf[i] = av_buffer_ref(picture->buf[i]);
        if (!out->buf[i]) {
            av_frame_unref(out);
            return Status{AVERROR(ENOMEM), "handing on a picture"};
        }
    }
    std::memcpy(out->data, picture->data, sizeof out->data);
    std::memcpy(out->linesize, picture->linesize, sizeof out->linesize);
    out->extended_data = out->data;
    return Status{};
}

}  // namespace

Status encode_picture(Rendition& r, AVFrame* picture) {
    // A source may change its size or pixel format mid-stream: the scaler must
    // always match the picture it reads.
    const PictureFormat format = format_of(picture);
    if (!r.scaling.ready || !same_format(format, r.scaling.input)) RETURN_IF_FAILED(build_scaler(r, format));
    if (r.scaling.pass_through) {
        RETURN_IF_FAILED(reference_pixels(r.scaling.passed.get(), picture));
        Status s;
        r.scaling.passed->pts = picture->pts;
        r.scaling.passed->pict_type = picture->pict_type;  // a key frame the source asks for
        s = encode_and_write(r, r.scaling.passed.get());
        av_frame_unref(r.scaling.passed.get());
        return s;
    }
    AVFrame* scaled = r.scaling.scaled.get();
    // The encoder may still hold the previous picture's buffers.
    int ret = av_frame_make_writable(scaled);
    if (ret < 0) return Status{ret, "allocating the scaled picture"};
    const PictureArea& area = r.scaling.area;
    uint8_t* destination[4] = {};
    for (int plane = 0; plane < 3; ++plane) {
        const int shift = plane == 0 ? 0 : 1;
        destination[plane] = scaled->data[plane] +
                             static_cast<ptrdiff_t>(area.y >> shift) * scaled->linesize[plane] +
                             (area.x >> shift);
    }
    sws_scale(r.scaling.scaler.get(), picture->data, picture->linesize, 0, picture->height, destination,
              scaled->linesize);
    // The scaler may write a few bytes past the end of each row: the bars are
    // painted afterwards.
    if (area.width != scaled->width || area.height != scaled->height) paint_bars(*scaled, area);
    scaled->pts = picture->pts;
    scaled->pict_type = picture->pict_type;  // a key frame the source asks for
    return encode_and_write(r, scaled);
}

Status encode_and_write(Rendition& r, const AVFrame* picture) {
    AVCodecContext* encoder = r.video_encoder.get();
    AVPacket* packet = r.out_packet.get();
    int ret = avcodec_send_frame(encoder, picture);
    if (ret < 0) return Status{ret, "encoding video"};
    while (true) {
        ret = avcodec_receive_packet(encoder, packet);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return Status{};
        if (ret < 0) return Status{ret, "encoding video"};
        // Pictures are one tick long unless the source leaves a gap; the
        // segmenter needs a duration to measure segments exactly.
        if (packet->duration == 0) packet->duration = 1;
        Status written = r.video_file.is_open() ? r.video_file.write(packet) : write_video(r, packet);
        av_packet_unref(packet);
        RETURN_IF_FAILED(written);
    }
}

namespace {

// Writes one packet stamped in `time_base` to the HLS output's `stream`
// (the muxer may have chosen another time base when it wrote the header).
Status write_packet(Rendition& r, AVPacket* packet, AVRational time_base, const AVStream* stream) {
    av_packet_rescale_ts(packet, time_base, stream->time_base);
    packet->stream_index = stream->index;
    const int ret = av_interleaved_write_frame(r.output.get(), packet);
    av_packet_unref(packet);
    return status_of(ret, "writing the HLS segments");
}

}  // namespace

Status write_video(Rendition& r, AVPacket* packet) {
    RETURN_IF_FAILED(r.iframes.take_video(packet));
    return write_packet(r, packet, kVideoTimeBase, r.out_video);
}

Status write_audio(Rendition& r, AVPacket* packet) {
    RETURN_IF_FAILED(r.iframes.take_audio(packet));
    return write_packet(r, packet, kAudioTimeBase, r.out_audio);
}

}  // namespace corvane
