#include "source/audio_loudness.h"

extern "C" {
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>

#include "av/output.h"
#include "source/audio_frames.h"

namespace corvane {

namespace {

// The loudness filter works at 192 kHz and hands out its first and last 3
// seconds as one frame each; the resampler to 44.1 kHz would grow its
// buffers to that size (about 60 MB) and keep them. Cut into 100 ms frames
// first, the samples are the same and the buffers stay small.
std::string loudness_chain() {
    return std::string("loudnorm=I=-14:LRA=11:TP=-1.5,asetnsamples=n=19200:p=0,"
                       "aformat=sample_fmts=fltp:sample_rates=") +
           std::to_string(kAudioRate) + ":channel_layouts=" + kAudioLayout;
}

// Silence goes in as frames of at most this many samples.
constexpr int kSilenceChunk = 4096;

}  // namespace

Status LoudnessChain::open() {
    filtered_.reset(av_frame_alloc());
    return filtered_ ? Status{} : Status{AVERROR(ENOMEM), "allocating packets and frames"};
}

Status LoudnessChain::build(AVRational time_base, int sample_rate, int sample_fmt, const AVChannelLayout& layout) {
    const char* action = "building the audio graph";
    char layout_text[64] = {0};
    av_channel_layout_describe(&layout, layout_text, sizeof layout_text);
    if (layout_text[0] == '\0') std::snprintf(layout_text, sizeof layout_text, "stereo");
    const char* format_name = av_get_sample_fmt_name(static_cast<AVSampleFormat>(sample_fmt));
    char args[512];
    std::snprintf(args, sizeof args, "time_base=%d/%d:sample_rate=%d:sample_fmt=%s:channel_layout=%s",
                  time_base.num, time_base.den, sample_rate, format_name ? format_name : "none", layout_text);

    AudioChainInput input;
    input.sample_rate = sample_rate;
    input.sample_fmt = sample_fmt;
    const int ret = av_channel_layout_copy(&input.layout.layout, &layout);
    if (ret < 0) return Status{ret, action};
    return status_of(chain_.build("abuffer", args, loudness_chain().c_str(), "abuffersink", std::move(input)),
                     action);
}

bool LoudnessChain::matches(const AVFrame* frame) const {
    const AudioChainInput& built = chain_.built_for();
    return chain_.built() && frame->sample_rate == built.sample_rate && frame->format == built.sample_fmt &&
           av_channel_layout_compare(&frame->ch_layout, &built.layout.layout) == 0;
}

Status LoudnessChain::filter(AVFrame* frame, AacOutput& out, Feeds& feeds) {
    return chain_.filter(frame, 0, filtered_.get(), "filtering audio",
                         [&](AVFrame* filtered) { return out.take(filtered, feeds); });
}

Status LoudnessChain::add_silence(const AVFrame* like, int64_t samples, AacOutput& out, Feeds& feeds) {
    FramePtr silence(av_frame_alloc());
    if (!silence) return Status{AVERROR(ENOMEM), "filling an audio gap"};
    while (samples > 0) {
        const int n = static_cast<int>(std::min<int64_t>(samples, kSilenceChunk));
        av_frame_unref(silence.get());
        const int ret = make_audio_frame(silence.get(), n, like->format, like->sample_rate, like->ch_layout);
        if (ret < 0) return Status{ret, "filling an audio gap"};
        av_samples_set_silence(silence->extended_data, 0, n, like->ch_layout.nb_channels,
                               static_cast<AVSampleFormat>(like->format));
        silence->pts = AV_NOPTS_VALUE;
        RETURN_IF_FAILED(filter(silence.get(), out, feeds));
        samples -= n;
    }
    return Status{};
}

Status LoudnessChain::drain(AacOutput& out, Feeds& feeds) {
    if (!chain_.built()) return Status{};
    return chain_.drain(filtered_.get(), "draining the audio graph",
                        [&](AVFrame* filtered) { return out.take(filtered, feeds); });
}

}  // namespace corvane
