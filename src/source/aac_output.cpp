#include "source/aac_output.h"

extern "C" {
#include <libavutil/samplefmt.h>
}

#include <algorithm>

#include "av/output.h"
#include "source/audio_frames.h"
#include "source/audio_timeline.h"

namespace corvane {

namespace {

int frame_size_of(const AVCodecContext* encoder) { return encoder->frame_size > 0 ? encoder->frame_size : 1024; }

}  // namespace

Status AacOutput::open_encoder() {
    const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!aac) return Status{AVERROR_ENCODER_NOT_FOUND, "finding an AAC encoder"};
    encoder_.reset(avcodec_alloc_context3(aac));
    AVCodecContext* c = encoder_.get();
    if (!c) return Status{AVERROR(ENOMEM), "opening the AAC encoder"};
    c->sample_rate = kAudioRate;
    const int layout = av_channel_layout_from_string(&c->ch_layout, kAudioLayout);
    if (layout < 0) return Status{layout, "opening the AAC encoder"};
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    c->sample_fmt = AV_SAMPLE_FMT_FLTP;
    c->bit_rate = kAudioBitRate;
    c->time_base = kAudioTimeBase;
    return status_of(avcodec_open2(c, aac, nullptr), "opening the AAC encoder");
}

// Silence is ready for a source whose audio turns out to give no sound.
Status AacOutput::make_silence() {
    const AVCodecContext* enc = encoder_.get();
    AVFrame* silence = silence_.get();
    const int ret = make_audio_frame(silence, frame_size_of(enc), enc->sample_fmt, enc->sample_rate,
                                     enc->ch_layout);
    if (ret < 0) return Status{ret, "allocating packets and frames"};
    return status_of(av_samples_set_silence(silence->extended_data, 0, silence->nb_samples,
                                            silence->ch_layout.nb_channels, enc->sample_fmt),
                     "allocating packets and frames");
}

Status AacOutput::open() {
    RETURN_IF_FAILED(open_encoder());
    const AVCodecContext* enc = encoder_.get();
    // Room for a few filtered frames from the start, so the FIFO rarely grows.
    fifo_.reset(av_audio_fifo_alloc(enc->sample_fmt, enc->ch_layout.nb_channels, 4 * 8192));
    if (!fifo_) return Status{AVERROR(ENOMEM), "allocating the audio sample FIFO"};
    packet_.reset(av_packet_alloc());
    frame_.reset(av_frame_alloc());
    silence_.reset(av_frame_alloc());
    if (!packet_ || !frame_ || !silence_) return Status{AVERROR(ENOMEM), "allocating packets and frames"};
    return make_silence();
}

void AacOutput::start_clock(int64_t first_sample) {
    samples_ = first_sample;
    first_sample_ = first_sample;
    started_ = true;
}

// Sends one frame (null: end of stream) to the AAC encoder and hands every
// packet it gives to the renditions.
Status AacOutput::encode(const AVFrame* frame, Feeds& feeds) {
    AVCodecContext* encoder = encoder_.get();
    int ret = avcodec_send_frame(encoder, frame);
    if (ret < 0) return Status{ret, "encoding audio"};
    AVPacket* packet = packet_.get();
    while (true) {
        ret = avcodec_receive_packet(encoder, packet);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return Status{};
        if (ret < 0) return Status{ret, "encoding audio"};
        feeds.push_packet(packet);
        handed_end_ = packet->pts + packet->duration;
        av_packet_unref(packet);
    }
}

// Makes frame_ an encoder frame of n samples, filled from the FIFO and
// stamped with the audio sample counter.
Status AacOutput::cut_encoder_frame(int n) {
    const AVCodecContext* enc = encoder_.get();
    AVFrame* frame = frame_.get();
    int ret;
    if (frame->buf[0] && frame->nb_samples == n) {
        ret = av_frame_make_writable(frame);
    } else {
        av_frame_unref(frame);
        ret = make_audio_frame(frame, n, enc->sample_fmt, enc->sample_rate, enc->ch_layout);
    }
    if (ret < 0) return Status{ret, "allocating an audio frame"};
    ret = av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame->extended_data), n);
    if (ret < n) return Status{ret < 0 ? ret : AVERROR_BUG, "reading the audio sample FIFO"};
    frame->pts = samples_;
    samples_ += n;
    return Status{};
}

// Encodes every whole encoder frame the FIFO holds; at the end (`final`) also
// the remainder, as one shorter last frame.
Status AacOutput::encode_fifo(bool final, Feeds& feeds) {
    const int frame_size = frame_size_of(encoder_.get());
    while (true) {
        const int held = av_audio_fifo_size(fifo_.get());
        if (held <= 0 || (held < frame_size && !final)) return Status{};
        RETURN_IF_FAILED(cut_encoder_frame(std::min(held, frame_size)));
        RETURN_IF_FAILED(encode(frame_.get(), feeds));
    }
}

Status AacOutput::take(AVFrame* filtered, Feeds& feeds) {
    RETURN_IF_FAILED(repair_samples(filtered));
    const int ret = av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(filtered->extended_data),
                                        filtered->nb_samples);
    if (ret < filtered->nb_samples) return Status{ret < 0 ? ret : AVERROR(ENOMEM), "buffering audio"};
    return encode_fifo(false, feeds);
}

Status AacOutput::pad_with_silence(int64_t video_end, Feeds& feeds) {
    const AVFrame* silence = silence_.get();
    int64_t missing = AudioTimeline::padding(samples_ + av_audio_fifo_size(fifo_.get()), video_end);
    while (missing > 0) {
        const int n = static_cast<int>(std::min<int64_t>(missing, silence->nb_samples));
        const int ret = av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(silence->extended_data), n);
        if (ret < n) return Status{ret < 0 ? ret : AVERROR(ENOMEM), "buffering audio"};
        missing -= n;
    }
    return encode_fifo(false, feeds);
}

Status AacOutput::finish(int64_t video_end, Feeds& feeds) {
    // Sound that ends before the last picture is followed by silence as far
    // as it goes: segments without any sound would leave players without
    // their audio format.
    if (started_ && video_end != AV_NOPTS_VALUE) RETURN_IF_FAILED(pad_with_silence(video_end, feeds));
    RETURN_IF_FAILED(encode_fifo(true, feeds));
    return encode(nullptr, feeds);
}

}  // namespace corvane
