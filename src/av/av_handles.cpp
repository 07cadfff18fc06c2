#include "av/av_handles.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace corvane {

void close_format_context(AVFormatContext* context) {
    if (!context) return;
    if (context->iformat) {
        avformat_close_input(&context);
        return;
    }
    if (context->oformat && !(context->oformat->flags & AVFMT_NOFILE) && context->pb) {
        avio_closep(&context->pb);
    }
    avformat_free_context(context);
}

int find_video_stream(AVFormatContext* input, const AVCodec** decoder) {
    const int best = av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, decoder, 0);
    if (best < 0 || !(input->streams[best]->disposition & AV_DISPOSITION_ATTACHED_PIC)) return best;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVStream* stream = input->streams[i];
        if (stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO ||
            (stream->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
            continue;
        }
        const int index = av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, static_cast<int>(i), -1,
                                              decoder, 0);
        if (index >= 0) return index;
    }
    return AVERROR_STREAM_NOT_FOUND;
}

int find_cover(AVFormatContext* input, const AVCodec** decoder) {
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVStream* stream = input->streams[i];
        if (stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO ||
            !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC) || stream->attached_pic.size <= 0) {
            continue;
        }
        const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
        if (!codec) continue;
        *decoder = codec;
        return static_cast<int>(i);
    }
    return AVERROR_STREAM_NOT_FOUND;
}

}  // namespace corvane
