#include "source/audio_frames.h"

extern "C" {
#include <libavutil/samplefmt.h>
}

#include <cmath>

namespace corvane {

namespace {

// Damaged audio packets can decode to samples that are not numbers, or
// absurdly loud: the loudness filter would spread them over everything after
// and the AAC encoder crawls on them. Such samples are silenced or limited.
// The loudness filter itself gives samples that are not numbers for a short
// stretch of pure digital silence (FFmpeg 7.1, under 3 s), which the AAC
// encoder refuses: its output is checked the same way.
constexpr double kLoudestSample = 8.0;

template <typename T>
bool samples_are_sound(const T* samples, int count) {
    for (int i = 0; i < count; ++i) {
        if (!(std::fabs(samples[i]) <= kLoudestSample)) return false;  // NaN fails too
    }
    return true;
}

template <typename T>
void make_samples_sound(T* samples, int count) {
    for (int i = 0; i < count; ++i) {
        if (std::isnan(samples[i])) samples[i] = 0;
        else if (samples[i] > kLoudestSample) samples[i] = kLoudestSample;
        else if (samples[i] < -kLoudestSample) samples[i] = -kLoudestSample;
    }
}

template <typename T>
Status repair_planes(AVFrame* frame, int planes, int per_plane) {
    bool sound = true;
    for (int p = 0; p < planes && sound; ++p) {
        sound = samples_are_sound(reinterpret_cast<const T*>(frame->extended_data[p]), per_plane);
    }
    if (sound) return Status{};
    const int ret = av_frame_make_writable(frame);
    if (ret < 0) return Status{ret, "repairing damaged audio"};
    for (int p = 0; p < planes; ++p) {
        make_samples_sound(reinterpret_cast<T*>(frame->extended_data[p]), per_plane);
    }
    return Status{};
}

}  // namespace

int make_audio_frame(AVFrame* frame, int n, int format, int rate, const AVChannelLayout& layout) {
    frame->nb_samples = n;
    frame->format = format;
    frame->sample_rate = rate;
    const int ret = av_channel_layout_copy(&frame->ch_layout, &layout);
    return ret < 0 ? ret : av_frame_get_buffer(frame, 0);
}

Status repair_samples(AVFrame* frame) {
    const auto format = static_cast<AVSampleFormat>(frame->format);
    const int channels = frame->ch_layout.nb_channels;
    const bool planar = av_sample_fmt_is_planar(format);
    const int planes = planar ? channels : 1;
    const int per_plane = planar ? frame->nb_samples : frame->nb_samples * channels;
    switch (format) {
        case AV_SAMPLE_FMT_FLT:
        case AV_SAMPLE_FMT_FLTP:
            return repair_planes<float>(frame, planes, per_plane);
        case AV_SAMPLE_FMT_DBL:
        case AV_SAMPLE_FMT_DBLP:
            return repair_planes<double>(frame, planes, per_plane);
        default:
            return Status{};  // integer samples are always numbers within range
    }
}

}  // namespace corvane
