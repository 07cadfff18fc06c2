#include "source/video_decoder.h"

extern "C" {
#include <libavutil/cpu.h>
}

#include <algorithm>

#include "source/input_guard.h"

namespace corvane {

// The decoder allocates no picture beyond the sizes accepted: a stream that
// changes to such a size mid-file is stopped here. Called on the decoder's
// own threads.
int VideoDecoder::guarded_get_buffer(AVCodecContext* decoder, AVFrame* picture, int flags) {
    if (!picture_fits(picture->width, picture->height)) {
        // The message names the stream's size, not the padded one allocated.
        VideoDecoder& self = *static_cast<VideoDecoder*>(decoder->opaque);
        self.oversized_width_ = decoder->width > 0 ? decoder->width : picture->width;
        self.oversized_height_ = decoder->height > 0 ? decoder->height : picture->height;
        self.oversized_ = true;
        return AVERROR(ERANGE);
    }
    return avcodec_default_get_buffer2(decoder, picture, flags);
}

Status VideoDecoder::refused_size() const {
    return failure_because(AVERROR(ERANGE), picture_oversize(oversized_width_, oversized_height_));
}

Status VideoDecoder::open(const SourceInput& input) {
    // The decoder works on several pictures at once, one per core (at most
    // 8), on threads of its own, so that it keeps ahead of the encoders on
    // many cores; it still hands the pictures out one at a time, in order.
    // (Each thread holds pictures of its own: the encoders keep the cores
    // busy too, so one more thread than cores would only hold more.)
    const int threads = std::clamp(av_cpu_count(), 1, kMostDecoderThreads);
    RETURN_IF_FAILED(open_decoder(input.video, input.video_codec, decoder_, "opening the video decoder",
                                  guarded_get_buffer, this, threads));
    decoded_.reset(av_frame_alloc());
    return decoded_ ? Status{} : Status{AVERROR(ENOMEM), "allocating packets and frames"};
}

}  // namespace corvane
