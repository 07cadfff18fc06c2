#include "source/audio_decoder.h"

#include "source/audio_frames.h"
#include "source/input_guard.h"

namespace corvane {

Status AudioDecoder::open(SourceInput& input) {
    if (input.audio) {
        time_base_ = input.audio->time_base;
        const Status status = open_decoder(input.audio, input.audio_codec, decoder_, "opening the audio decoder");
        if (status.failed()) {
            input.why_no_audio = "The source's audio cannot be decoded (" + av_error_text(status.code) + ")";
            decoder_.reset();
            input.audio = nullptr;
            input.audio_index = -1;
        }
    }
    decoded_.reset(av_frame_alloc());
    return decoded_ ? Status{} : Status{AVERROR(ENOMEM), "allocating packets and frames"};
}

// A frame's size is only known once it is decoded: the stream's parameters
// were checked before, but a stream may change mid-way.
Status AudioDecoder::check(AVFrame* frame) {
    const int channels = frame->ch_layout.nb_channels;
    if (!sound_fits(channels, frame->sample_rate)) {
        return failure_because(AVERROR(ERANGE), sound_oversize(channels, frame->sample_rate));
    }
    return repair_samples(frame);
}

FrameTiming AudioDecoder::timing_of(const AVFrame* frame) const {
    FrameTiming timing;
    timing.own_stamp = frame->pts != AV_NOPTS_VALUE;
    timing.time = timing.own_stamp ? frame->pts : frame->best_effort_timestamp;
    timing.time_base = time_base_;
    timing.sample_rate = frame->sample_rate;
    timing.samples = frame->nb_samples;
    return timing;
}

}  // namespace corvane
