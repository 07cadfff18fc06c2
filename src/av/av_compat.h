#pragma once

// The few places where the FFmpeg releases this project builds against
// (5.1 to 7.1) differ, gathered in one place.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
}

#include <cmath>

namespace corvane {

// The display matrix a stream carries (phone videos shot upright), or null.
inline const int32_t* display_matrix_of(const AVStream* stream) {
#if LIBAVFORMAT_VERSION_MAJOR >= 61
    const AVPacketSideData* data =
        av_packet_side_data_get(stream->codecpar->coded_side_data,
                                stream->codecpar->nb_coded_side_data, AV_PKT_DATA_DISPLAYMATRIX);
    if (!data || data->size < 9 * sizeof(int32_t)) return nullptr;
    return reinterpret_cast<const int32_t*>(data->data);
#else
    size_t size = 0;
    const uint8_t* data = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (!data || size < 9 * sizeof(int32_t)) return nullptr;
    return reinterpret_cast<const int32_t*>(data);
#endif
}

// Whether a decoded picture holds two interlaced fields.
inline bool is_interlaced(const AVFrame* picture) {
#ifdef AV_FRAME_FLAG_INTERLACED
    return (picture->flags & AV_FRAME_FLAG_INTERLACED) != 0;
#else
    return picture->interlaced_frame != 0;
#endif
}

// How long a decoded picture is shown, in its stream's time base (0: not
// stated).
inline int64_t picture_duration(const AVFrame* picture) {
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 30, 100)
    return picture->duration;
#else
    return picture->pkt_duration;
#endif
}

// Clockwise turn, in degrees (0, 90, 180 or 270), that shows the stream's
// pictures upright.
inline int upright_turn_of(const AVStream* stream) {
    const int32_t* matrix = display_matrix_of(stream);
    if (!matrix) return 0;
    const double angle = av_display_rotation_get(matrix);
    if (std::isnan(angle)) return 0;
    const long turn = std::lround(-angle / 90.0) % 4;
    return static_cast<int>((turn + 4) % 4) * 90;
}

// Tells a decoder that its get_buffer2 callback may be called from its
// threads at once (FFmpeg 6 and later take that for granted).
inline void mark_callbacks_thread_safe(AVCodecContext* context) {
#if LIBAVCODEC_VERSION_MAJOR < 60
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    context->thread_safe_callbacks = 1;
#pragma GCC diagnostic pop
#else
    (void)context;
#endif
}

}  // namespace corvane
