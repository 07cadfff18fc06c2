// The audio path of the source, once for every rendition: sample repair,
// gap filling, the loudness graph, the sample FIFO and the AAC encoder.

#include "source/audio_path.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "log/log.h"
#include "source/decoding.h"

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
// Holes in the source audio longer than 1/kGapFillDivisor s are filled with
// silence so that the audio stays on the video's clock; longer than
// kLongestGapSeconds, the source's clock is taken to have jumped and nothing
// is filled.
constexpr int kGapFillDivisor = 50;  // 1/50 s = 20 ms
constexpr int kLongestGapSeconds = 600;
constexpr int kSilenceChunk = 4096;

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
Status sanitize_planes(AVFrame* frame, int planes, int per_plane) {
    bool sound = true;
    for (int p = 0; p < planes && sound; ++p) {
        sound = samples_are_sound(reinterpret_cast<const T*>(frame->extended_data[p]), per_plane);
    }
    if (sound) return Status{};
    int ret = av_frame_make_writable(frame);
    if (ret < 0) return Status{ret, "repairing damaged audio"};
    for (int p = 0; p < planes; ++p) {
        make_samples_sound(reinterpret_cast<T*>(frame->extended_data[p]), per_plane);
    }
    return Status{};
}

Status sanitize_samples(AVFrame* frame) {
    const auto format = static_cast<AVSampleFormat>(frame->format);
    const int channels = frame->ch_layout.nb_channels;
    const bool planar = av_sample_fmt_is_planar(format);
    const int planes = planar ? channels : 1;
    const int per_plane = planar ? frame->nb_samples : frame->nb_samples * channels;
    switch (format) {
        case AV_SAMPLE_FMT_FLT:
        case AV_SAMPLE_FMT_FLTP:
            return sanitize_planes<float>(frame, planes, per_plane);
        case AV_SAMPLE_FMT_DBL:
        case AV_SAMPLE_FMT_DBLP:
            return sanitize_planes<double>(frame, planes, per_plane);
        default:
            return Status{};  // integer samples are always numbers within range
    }
}

}  // namespace

bool AudioPath::matches_chain(const AVFrame* frame) const {
    const AudioChainInput& built = chain_.built_for();
    return chain_.built() && frame->sample_rate == built.sample_rate &&
           frame->format == built.sample_fmt &&
           av_channel_layout_compare(&frame->ch_layout, &built.layout.layout) == 0;
}

// Gives `frame` (holding nothing) buffers for `n` samples of `format` at
// `rate` in `layout`.
int make_audio_frame(AVFrame* frame, int n, int format, int rate, const AVChannelLayout& layout) {
    frame->nb_samples = n;
    frame->format = format;
    frame->sample_rate = rate;
    const int ret = av_channel_layout_copy(&frame->ch_layout, &layout);
    return ret < 0 ? ret : av_frame_get_buffer(frame, 0);
}

int64_t source_time_of(const AVFrame* frame) {
    return frame->pts != AV_NOPTS_VALUE ? frame->pts : frame->best_effort_timestamp;
}

// Sends one frame (null: end of stream) to the AAC encoder and hands every
// packet it gives to the renditions.
Status AudioPath::encode(const AVFrame* frame, Feeds& feeds) {
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
Status AudioPath::cut_encoder_frame(int n) {
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
Status AudioPath::encode_fifo(bool final, Feeds& feeds) {
    const int frame_size = encoder_->frame_size > 0 ? encoder_->frame_size : 1024;
    while (true) {
        const int held = av_audio_fifo_size(fifo_.get());
        if (held <= 0 || (held < frame_size && !final)) return Status{};
        Status status = cut_encoder_frame(std::min(held, frame_size));
        if (status.failed()) return status;
        status = encode(frame_.get(), feeds);
        if (status.failed()) return status;
    }
}

// Moves a filtered frame into the FIFO and encodes what it then holds.
Status AudioPath::buffer_filtered(AVFrame* filtered, Feeds& feeds) {
    RETURN_IF_FAILED(sanitize_samples(filtered));
    const int ret = av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(filtered->extended_data),
                                        filtered->nb_samples);
    if (ret < filtered->nb_samples) return Status{ret < 0 ? ret : AVERROR(ENOMEM), "buffering audio"};
    return encode_fifo(false, feeds);
}

// Tells the graph that its input has ended and encodes what it still holds.
Status AudioPath::drain_chain(Feeds& feeds) {
    if (!chain_.built()) return Status{};
    return chain_.drain(filtered_.get(), "draining the audio graph",
                        [&](AVFrame* filtered) { return buffer_filtered(filtered, feeds); });
}

Status AudioPath::push_to_chain(AVFrame* frame, Feeds& feeds) {
    return chain_.filter(frame, 0, filtered_.get(), "filtering audio",
                         [&](AVFrame* filtered) { return buffer_filtered(filtered, feeds); });
}

// Fills a hole in the source audio before `frame` with silence.
Status AudioPath::fill_gap(const AVFrame* frame, int64_t missing, Feeds& feeds) {
    FramePtr silence(av_frame_alloc());
    if (!silence) return Status{AVERROR(ENOMEM), "filling an audio gap"};
    while (missing > 0) {
        const int n = static_cast<int>(std::min<int64_t>(missing, kSilenceChunk));
        av_frame_unref(silence.get());
        const int ret = make_audio_frame(silence.get(), n, frame->format, frame->sample_rate, frame->ch_layout);
        if (ret < 0) return Status{ret, "filling an audio gap"};
        av_samples_set_silence(silence->extended_data, 0, n, frame->ch_layout.nb_channels,
                               static_cast<AVSampleFormat>(frame->format));
        silence->pts = AV_NOPTS_VALUE;
        Status status = push_to_chain(silence.get(), feeds);
        if (status.failed()) return status;
        missing -= n;
    }
    return Status{};
}

Status AudioPath::open_encoder() {
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

Status AudioPath::build_chain(int sample_rate, int sample_fmt, const AVChannelLayout& layout) {
    const char* action = "building the audio graph";
    char layout_text[64] = {0};
    av_channel_layout_describe(&layout, layout_text, sizeof layout_text);
    if (layout_text[0] == '\0') std::snprintf(layout_text, sizeof layout_text, "stereo");
    const char* format_name = av_get_sample_fmt_name(static_cast<AVSampleFormat>(sample_fmt));
    char args[512];
    std::snprintf(args, sizeof args, "time_base=%d/%d:sample_rate=%d:sample_fmt=%s:channel_layout=%s",
                  input_->audio->time_base.num, input_->audio->time_base.den, sample_rate,
                  format_name ? format_name : "none", layout_text);

    AudioChainInput input;
    input.sample_rate = sample_rate;
    input.sample_fmt = sample_fmt;
    const int ret = av_channel_layout_copy(&input.layout.layout, &layout);
    if (ret < 0) return Status{ret, action};
    return status_of(chain_.build("abuffer", args, loudness_chain().c_str(), "abuffersink", std::move(input)),
                     action);
}

// Follows where the sound should go on: a hole in the source audio before
// `frame` (its source time `time`) is filled with silence.
Status AudioPath::keep_on_clock(const AVFrame* frame, int64_t time, int64_t video_reach_dts, Feeds& feeds) {
    // A frame without a stamp of its own (decoders that give several frames
    // for one packet stamp only the first) goes on where the previous one
    // ended: only a real stamp can show a hole.
    if (frame->pts == AV_NOPTS_VALUE && expected_next_ != AV_NOPTS_VALUE) {
        expected_next_ += frame->nb_samples;
    } else if (time != AV_NOPTS_VALUE && frame->sample_rate > 0) {
        const int64_t start = av_rescale_q(time, input_->audio->time_base, AVRational{1, frame->sample_rate});
        if (expected_next_ != AV_NOPTS_VALUE) {
            const int64_t missing = start - expected_next_;
            // Silence is only worth having next to pictures: a hole is filled
            // as far as the video has come (the demuxer delivers both streams
            // in time order), which also bounds what a damaged clock can cost.
            int64_t video_reach = int64_t{kLongestGapSeconds} * frame->sample_rate;
            if (video_reach_dts != AV_NOPTS_VALUE) {
                video_reach = av_rescale_q(video_reach_dts + AV_TIME_BASE, AV_TIME_BASE_Q,
                                           AVRational{1, frame->sample_rate}) -
                              expected_next_;
            }
            if (missing > frame->sample_rate / kGapFillDivisor) {
                if (missing <= int64_t{kLongestGapSeconds} * frame->sample_rate &&
                    missing <= video_reach) {
                    Status status = fill_gap(frame, missing, feeds);
                    if (status.failed()) return status;
                    expected_next_ += missing;
                } else {
                    expected_next_ = start;
                }
            }
        } else {
            expected_next_ = start;
        }
        expected_next_ += frame->nb_samples;
    }
    return Status{};
}

Status AudioPath::filter_frame(AVFrame* frame, int64_t video_reach_dts, int64_t video_start, Feeds& feeds) {
    if (!sound_fits(frame->ch_layout.nb_channels, frame->sample_rate)) {
        return failure_because(AVERROR(ERANGE), sound_oversize(frame->ch_layout.nb_channels, frame->sample_rate));
    }
    Status sane = sanitize_samples(frame);
    if (sane.failed()) return sane;
    const int64_t time = source_time_of(frame);
    const int64_t lead_in = started_ ? 0 : start_clock(frame, time, video_start);

    // A source whose sample rate, format or channel layout changes mid-stream
    // (broadcast recordings switching programmes) gets a new graph; what the
    // old one still holds is encoded first.
    if (!matches_chain(frame)) {
        if (chain_.built()) {
            Status status = drain_chain(feeds);
            if (status.failed()) return status;
        }
        const int old_rate = chain_.built_for().sample_rate;
        Status status = build_chain(frame->sample_rate, frame->format, frame->ch_layout);
        if (status.failed()) return status;
        // Where the audio should go on is kept across the change of rate, so
        // that a hole at the joint is still seen.
        if (expected_next_ != AV_NOPTS_VALUE && old_rate > 0) {
            expected_next_ = av_rescale_q(expected_next_, AVRational{1, old_rate},
                                          AVRational{1, frame->sample_rate});
        }
    }

    if (lead_in > 0) {
        Status status = fill_gap(frame, lead_in, feeds);
        if (status.failed()) return status;
    }
    Status status = keep_on_clock(frame, time, video_reach_dts, feeds);
    if (status.failed()) return status;
    return push_to_chain(frame, feeds);
}

// Starts the AAC clock at the first decoded frame: audio is put on the
// video's clock, where the source says it starts. Sound that starts after
// the first picture (a microphone switched on late, a recorder that waited
// for its first sound) is led in by silence from the first picture: a
// segment without any sound would leave players without its audio format.
// Returns how much silence leads in, in the frame's samples.
int64_t AudioPath::start_clock(const AVFrame* frame, int64_t time, int64_t video_start) {
    int64_t lead_in = 0;
    if (time != AV_NOPTS_VALUE) {
        samples_ = av_rescale_q(time, input_->audio->time_base, kAudioTimeBase);
        if (video_start != AV_NOPTS_VALUE && frame->sample_rate > 0) {
            const AVRational rate{1, frame->sample_rate};
            const int64_t late = av_rescale_q(time, input_->audio->time_base, rate) -
                                 av_rescale_q(video_start, kVideoTimeBase, rate);
            if (late > frame->sample_rate / kGapFillDivisor &&
                late <= int64_t{kLongestGapSeconds} * frame->sample_rate) {
                lead_in = late;
                samples_ = av_rescale_q(video_start, kVideoTimeBase, kAudioTimeBase);
            }
        }
    }
    first_sample_ = samples_;
    started_ = true;
    return lead_in;
}

Status AudioPath::open(SourceInput& input) {
    input_ = &input;
    if (input.audio) {
        const Status status = open_decoder(input.audio, input.audio_codec, decoder_, "opening the audio decoder");
        if (status.failed()) {
            input.why_no_audio = "The source's audio cannot be decoded (" + av_error_text(status.code) + ")";
            decoder_.reset();
            input.audio = nullptr;
            input.audio_index = -1;
        }
    }
    Status status = open_encoder();
    if (status.failed()) return status;
    // The chain is made from what the decoder knows after opening; it is
    // made again later if the decoded frames turn out to differ.
    const AVCodecContext* dec = decoder_.get();
    if (dec && dec->sample_rate > 0 && dec->sample_fmt != AV_SAMPLE_FMT_NONE) {
        status = build_chain(dec->sample_rate, dec->sample_fmt, dec->ch_layout);
        if (status.failed()) return status;
    }
    const AVCodecContext* enc = encoder_.get();
    // Room for a few filtered frames from the start, so the FIFO rarely grows.
    fifo_.reset(av_audio_fifo_alloc(enc->sample_fmt, enc->ch_layout.nb_channels, 4 * 8192));
    if (!fifo_) return Status{AVERROR(ENOMEM), "allocating the audio sample FIFO"};
    packet_.reset(av_packet_alloc());
    decoded_.reset(av_frame_alloc());
    filtered_.reset(av_frame_alloc());
    frame_.reset(av_frame_alloc());
    silence_.reset(av_frame_alloc());
    if (!packet_ || !decoded_ || !filtered_ || !frame_ || !silence_) {
        return Status{AVERROR(ENOMEM), "allocating packets and frames"};
    }
    // Silence is ready for a source whose audio turns out to give no sound.
    AVFrame* silence = silence_.get();
    const int ret = make_audio_frame(silence, enc->frame_size > 0 ? enc->frame_size : 1024, enc->sample_fmt,
                                     enc->sample_rate, enc->ch_layout);
    if (ret < 0) return Status{ret, "allocating packets and frames"};
    return status_of(av_samples_set_silence(silence->extended_data, 0, silence->nb_samples,
                                            silence->ch_layout.nb_channels, enc->sample_fmt),
                     "allocating packets and frames");
}

// Hands every sample frame the decoder has ready to the chain.
Status AudioPath::receive_samples(int64_t video_reach, int64_t video_start, Feeds& feeds) {
    AVFrame* samples = decoded_.get();
    while (avcodec_receive_frame(decoder_.get(), samples) >= 0) {
        Status status = filter_frame(samples, video_reach, video_start, feeds);
        av_frame_unref(samples);
        if (status.failed()) return status;
    }
    return Status{};
}

Status AudioPath::decode(const AVPacket* packet, int64_t video_reach, int64_t video_start, Feeds& feeds) {
    if (!decoder_) return Status{};
    if (packet) ++packets_;
    return decode_packet(decoder_.get(), packet, [&] { return receive_samples(video_reach, video_start, feeds); });
}

void AudioPath::drop() {
    decoder_.reset();
    chain_.release();
}

void AudioPath::close() {
    chain_.release();
    fifo_.reset();
    decoder_.reset();
}

Status AudioPath::add_silence(int64_t video_start, int64_t video_end, Feeds& feeds) {
    if (!started_) {
        // The silence starts with the first picture.
        samples_ = av_rescale_q(video_start, kVideoTimeBase, kAudioTimeBase);
        first_sample_ = samples_;
        started_ = true;
    }
    return pad_with_silence(video_end, feeds);
}

// Silence after what the FIFO holds, up to `video_end` (1/30 s).
Status AudioPath::pad_with_silence(int64_t video_end, Feeds& feeds) {
    const AVFrame* silence = silence_.get();
    int64_t missing = av_rescale_q(video_end, kVideoTimeBase, kAudioTimeBase) - samples_ -
                      av_audio_fifo_size(fifo_.get());
    while (missing > 0) {
        const int n = static_cast<int>(std::min<int64_t>(missing, silence->nb_samples));
        const int ret = av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(silence->extended_data), n);
        if (ret < n) return Status{ret < 0 ? ret : AVERROR(ENOMEM), "buffering audio"};
        missing -= n;
    }
    return encode_fifo(false, feeds);
}

Status AudioPath::finish(int64_t video_end, Feeds& feeds) {
    Status status = drain_chain(feeds);
    // Sound that ends before the last picture is followed by silence as far
    // as it goes: segments without any sound would leave players without
    // their audio format.
    if (!status.failed() && started_ && video_end != AV_NOPTS_VALUE) status = pad_with_silence(video_end, feeds);
    if (status.failed()) return status;
    status = encode_fifo(true, feeds);
    if (status.failed()) return status;
    return encode(nullptr, feeds);
}

}  // namespace corvane
