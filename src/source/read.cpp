// Opening and reading the source: streams, decoders, the continuous source
// clock, and the order in which everything is drained at the end.

#include <cstdio>
#include <exception>

#include "av/av_compat.h"
#include "source/source.h"

namespace corvane {

namespace {

// The video decoder allocates no picture beyond the sizes accepted: a
// stream that changes to such a size mid-file is stopped here. Called on
// the decoder's own threads.
int guarded_get_buffer(AVCodecContext* decoder, AVFrame* picture, int flags) {
    if (!picture_fits(picture->width, picture->height)) {
        // The message names the stream's size, not the padded one allocated.
        Source& s = *static_cast<Source*>(decoder->opaque);
        s.oversized_width = decoder->width > 0 ? decoder->width : picture->width;
        s.oversized_height = decoder->height > 0 ? decoder->height : picture->height;
        s.oversized_picture = true;
        return AVERROR(ERANGE);
    }
    return avcodec_default_get_buffer2(decoder, picture, flags);
}

Status open_decoder(AVStream* stream, const AVCodec* codec, CodecContextPtr& context,
                    const char* action, Source* watched = nullptr) {
    context.reset(avcodec_alloc_context3(codec));
    if (!context) return Status{AVERROR(ENOMEM), action};
    int ret = avcodec_parameters_to_context(context.get(), stream->codecpar);
    if (ret < 0) return Status{ret, action};
    if (watched) {
        context->opaque = watched;
        context->get_buffer2 = guarded_get_buffer;
        mark_callbacks_thread_safe(context.get());
    }
    // Decoders need the packets' time base for their own time stamp work
    // (skipped priming samples, for one).
    context->pkt_timebase = stream->time_base;
    return status_of(avcodec_open2(context.get(), codec, nullptr), action);
}

int stop_requested(void* source) {
    return static_cast<Source*>(source)->stop.load() ? 1 : 0;
}

Status open_input(Source& s) {
    std::string oversize;
    int ret = open_guarded_input(s.input_path, s.guard, s.input, oversize);
    if (ret < 0) return Status{ret, "opening the source"};
    AVFormatContext* context = s.input.get();
    context->interrupt_callback = AVIOInterruptCB{stop_requested, &s};
    ret = find_stream_info_guarded(context);
    if (ret < 0) return Status{ret, "reading the source's stream information"};

    s.video_index = find_video_stream(context, &s.video_codec);
    if (s.video_index < 0) return Status{s.video_index, "finding the source's video stream"};
    s.in_video = context->streams[s.video_index];
    s.upright_turn = upright_turn_of(s.in_video);
    s.audio_index = av_find_best_stream(context, AVMEDIA_TYPE_AUDIO, -1, -1, &s.audio_codec, 0);
    if (s.audio_index >= 0) {
        s.in_audio = context->streams[s.audio_index];
    } else {
        s.no_audio = s.audio_index == AVERROR_STREAM_NOT_FOUND
                         ? "The source has no audio track"
                         : "The source's audio cannot be decoded (" + av_error_text(s.audio_index) + ")";
    }
    return Status{};
}

// An audio track that cannot be decoded is dropped: the video is still worth
// having, with silence.
Status open_decoders(Source& s) {
    Status status =
        open_decoder(s.in_video, s.video_codec, s.video_decoder, "opening the video decoder", &s);
    if (status.failed() || !s.in_audio) return status;
    status = open_decoder(s.in_audio, s.audio_codec, s.audio_decoder, "opening the audio decoder");
    if (status.failed()) {
        s.no_audio = "The source's audio cannot be decoded (" + av_error_text(status.code) + ")";
        s.audio_decoder.reset();
        s.in_audio = nullptr;
        s.audio_index = -1;
    }
    return Status{};
}

Status allocate_buffers(Source& s) {
    const AVCodecContext* enc = s.audio_encoder.get();
    // Room for a few filtered frames from the start, so the FIFO rarely grows.
    s.fifo.reset(av_audio_fifo_alloc(enc->sample_fmt, enc->ch_layout.nb_channels, 4 * 8192));
    if (!s.fifo) return Status{AVERROR(ENOMEM), "allocating the audio sample FIFO"};
    s.read_packet.reset(av_packet_alloc());
    s.audio_packet.reset(av_packet_alloc());
    s.decoded.reset(av_frame_alloc());
    s.filtered_picture.reset(av_frame_alloc());
    s.filtered_samples.reset(av_frame_alloc());
    s.audio_frame.reset(av_frame_alloc());
    s.held_picture.reset(av_frame_alloc());
    s.last_picture.reset(av_frame_alloc());
    s.silence.reset(av_frame_alloc());
    if (!s.read_packet || !s.audio_packet || !s.decoded || !s.filtered_picture ||
        !s.filtered_samples || !s.audio_frame || !s.held_picture || !s.last_picture || !s.silence) {
        return Status{AVERROR(ENOMEM), "allocating packets and frames"};
    }
    // Silence is ready for a source whose audio turns out to give no sound.
    AVFrame* silence = s.silence.get();
    silence->nb_samples = enc->frame_size > 0 ? enc->frame_size : 1024;
    silence->format = enc->sample_fmt;
    silence->sample_rate = enc->sample_rate;
    int ret = av_channel_layout_copy(&silence->ch_layout, &enc->ch_layout);
    if (ret >= 0) ret = av_frame_get_buffer(silence, 0);
    if (ret < 0) return Status{ret, "allocating packets and frames"};
    return status_of(av_samples_set_silence(silence->extended_data, 0, silence->nb_samples,
                                            silence->ch_layout.nb_channels, enc->sample_fmt),
                     "allocating packets and frames");
}

// Hands every picture the video decoder has ready to the video path.
Status receive_pictures(Source& s) {
    AVFrame* picture = s.decoded.get();
    while (avcodec_receive_frame(s.video_decoder.get(), picture) >= 0) {
        Status status = take_picture(s, picture);
        av_frame_unref(picture);
        if (status.failed()) return status;
    }
    return Status{};
}

// Hands every sample frame the audio decoder has ready to the audio path.
Status receive_samples(Source& s) {
    AVFrame* samples = s.decoded.get();
    while (avcodec_receive_frame(s.audio_decoder.get(), samples) >= 0) {
        Status status = filter_audio_frame(s, samples);
        av_frame_unref(samples);
        if (status.failed()) return status;
    }
    return Status{};
}

// Sends one packet (null: end of stream) to a decoder and passes on every
// frame it gives. A packet the decoder rejects (damaged data) is skipped; a
// decoder that still holds frames gets them taken before the packet is sent
// again, so no packet is lost to a full output queue.
Status decode(Source& s, AVCodecContext* decoder, const AVPacket* packet, Status (*receive)(Source&)) {
    int ret = avcodec_send_packet(decoder, packet);
    if (ret == AVERROR(EAGAIN)) {
        Status status = receive(s);
        if (status.failed()) return status;
        avcodec_send_packet(decoder, packet);
    }
    Status status = receive(s);
    if (s.oversized_picture) {
        s.failure = picture_oversize(s.oversized_width, s.oversized_height);
        return Status{AVERROR(ERANGE), "decoding video"};
    }
    return status;
}

// A stream's decoding clock that goes back by more than kClockBack, or (in
// formats that allow discontinuities, like MPEG-TS) leaps ahead by more than
// kClockLeap, has been restarted rather than paused. Decoding time stamps
// never go back in one stream, so a small step back is a joint too: left
// alone, the pictures of the overlap would be dropped while its audio is
// kept, and the audio would lag by the overlap from there on.
constexpr int64_t kClockBack = AV_TIME_BASE / 10;
constexpr int64_t kClockLeap = 10 * int64_t{AV_TIME_BASE};

// Keeps the source clock continuous: when a stream's decoding time stamps
// jump, every later packet of both streams is shifted so that it carries on
// where the source was. Video and audio thus stay in step across the joint.
void keep_clock_continuous(Source& s, AVPacket* packet, int which) {
    const AVRational time_base = s.input->streams[packet->stream_index]->time_base;
    // Time stamps out at the far end of the 64-bit range (damaged files) are
    // no time stamps at all: the clocks' sums must not overflow.
    constexpr int64_t kFarthest = int64_t{1} << 60;
    for (int64_t* stamp : {&packet->pts, &packet->dts}) {
        if (*stamp == AV_NOPTS_VALUE) continue;
        const int64_t time = av_rescale_q(*stamp, time_base, AV_TIME_BASE_Q);
        if (time < -kFarthest || time > kFarthest) *stamp = AV_NOPTS_VALUE;
    }
    if (packet->duration < 0 || av_rescale_q(packet->duration, time_base, AV_TIME_BASE_Q) > kFarthest) {
        packet->duration = 0;
    }
    // Only decoding time stamps always increase; presentation time stamps go
    // back at every reordered picture.
    if (packet->pts != AV_NOPTS_VALUE) {
        const int64_t end = av_rescale_q(packet->pts, time_base, AV_TIME_BASE_Q) +
                            av_rescale_q(packet->duration, time_base, AV_TIME_BASE_Q);
        if (s.source_read_to == AV_NOPTS_VALUE || end > s.source_read_to) s.source_read_to = end;
    }
    if (packet->dts != AV_NOPTS_VALUE) {
        int64_t time = av_rescale_q(packet->dts, time_base, AV_TIME_BASE_Q) + s.clock_shift;
        if (s.clock_end != AV_NOPTS_VALUE) {
            const bool back =
                s.last_dts[which] != AV_NOPTS_VALUE && time < s.last_dts[which] - kClockBack;
            const bool leap =
                (s.input->iformat->flags & AVFMT_TS_DISCONT) && time > s.clock_end + kClockLeap;
            if (back || leap) {
                s.clock_shift += s.clock_end - time;
                time = s.clock_end;
            }
        }
        s.last_dts[which] = time;
        const int64_t end = time + av_rescale_q(packet->duration, time_base, AV_TIME_BASE_Q);
        if (s.clock_end == AV_NOPTS_VALUE || end > s.clock_end) s.clock_end = end;
    }
    if (s.clock_shift != 0) {
        const int64_t shift = av_rescale_q(s.clock_shift, AV_TIME_BASE_Q, time_base);
        if (packet->pts != AV_NOPTS_VALUE) packet->pts += shift;
        if (packet->dts != AV_NOPTS_VALUE) packet->dts += shift;
    }
    const int64_t stamp = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
    if (stamp != AV_NOPTS_VALUE) {
        const int64_t end = av_rescale_q(stamp + packet->duration, time_base, AV_TIME_BASE_Q);
        if (s.stream_end[which] == AV_NOPTS_VALUE || end > s.stream_end[which]) s.stream_end[which] = end;
    }
}

// A file cut short (an interrupted copy or recording) often reads like a
// complete one: what was read is compared with the length the file states.
std::string cut_short_warning(const Source& s) {
    const AVFormatContext* input = s.input.get();
    // A length guessed from the bit rate is no promise.
    if (input->duration <= 0 || input->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE ||
        s.clock_shift != 0 || s.source_read_to == AV_NOPTS_VALUE) {
        return "";
    }
    const int64_t start = input->start_time != AV_NOPTS_VALUE ? input->start_time : 0;
    const int64_t stated = start + input->duration;
    if (s.source_read_to >= stated - AV_TIME_BASE / 4) return "";
    char text[160];
    std::snprintf(text, sizeof text,
                  ": the source ends at %.1f s, before its stated length of %.1f s; the rendition "
                  "goes as far as the source does.",
                  static_cast<double>(s.source_read_to - start) / AV_TIME_BASE,
                  static_cast<double>(input->duration) / AV_TIME_BASE);
    return text;
}

// Reads the whole source, packet by packet. Packets of other streams
// (further audio tracks, subtitles, data) are dropped.
Status read_packets(Source& s) {
    AVPacket* packet = s.read_packet.get();
    const int64_t start = s.input->start_time != AV_NOPTS_VALUE ? s.input->start_time : 0;
    while (anyone_taking(s) && !s.stop) {
        const int ret = av_read_frame(s.input.get(), packet);
        if (ret < 0) {
            if (s.guard.refused) {
                s.failure = refusal_text(s.guard);
                return Status{ret, "reading the source"};
            }
            if (ret != AVERROR_EOF) {
                s.read_warning = ": the source could not be read to its end (" +
                                         av_error_text(ret) + "); it ends where reading stopped.";
            } else {
                s.read_warning = cut_short_warning(s);
            }
            return Status{};
        }
        Status status;
        if (packet->stream_index == s.video_index) {
            keep_clock_continuous(s, packet, 0);
            status = decode(s, s.video_decoder.get(), packet, receive_pictures);
        } else if (packet->stream_index == s.audio_index) {
            ++s.audio_packets;
            keep_clock_continuous(s, packet, 1);
            status = decode(s, s.audio_decoder.get(), packet, receive_samples);
        }
        av_packet_unref(packet);
        if (status.failed()) return status;
        if (s.source_read_to != AV_NOPTS_VALUE) {
            s.read_position->store(s.source_read_to - start, std::memory_order_relaxed);
        }
    }
    return Status{};
}

// Drains every stage: the video decoder and the video graph first (after
// which the renditions drain their H.264 encoders, unless the audio goes on),
// then the audio decoder, the loudness graph, the sample FIFO and the AAC
// encoder.
Status drain(Source& s) {
    Status status = decode(s, s.video_decoder.get(), nullptr, receive_pictures);
    if (!status.failed()) status = finish_pictures(s);
    if (status.failed()) return status;
    // Audio that goes on for seconds after the last picture brings the last
    // picture again at every key frame mark as it is encoded, so that its
    // segments stay short too; the renditions then drain their H.264
    // encoders after it.
    s.repeat_to_audio_end = s.in_audio && s.stream_end[0] != AV_NOPTS_VALUE &&
                            s.stream_end[1] != AV_NOPTS_VALUE && s.stream_end[1] > s.stream_end[0] + AV_TIME_BASE;
    if (s.repeat_to_audio_end) {
        // As far as the audio has come already.
        status = repeat_last_picture(s, av_rescale_q(s.handed_out.audio_samples, kAudioTimeBase, kVideoTimeBase));
        if (status.failed()) return status;
    } else {
        deliver_mark(s, MediaQueue::Kind::video_end);
    }
    if (s.audio_decoder) status = decode(s, s.audio_decoder.get(), nullptr, receive_samples);
    if (status.failed()) return status;
    // An audio track that gave no sound at all: silence, as long as the
    // pictures.
    if (s.in_audio && !s.handed_out.audio_clock_started) {
        drop_audio(s, "The source's audio cannot be decoded (it gives no sound)");
        if (s.handed_out.last_video_pts != AV_NOPTS_VALUE) status = add_silence(s, s.handed_out.last_video_pts + 1);
        if (status.failed()) return status;
    }
    status = finish_audio(s);
    if (!status.failed() && s.repeat_to_audio_end) {
        status = repeat_last_picture(s, av_rescale_q(s.handed_out.audio_samples, kAudioTimeBase, kVideoTimeBase));
        deliver_mark(s, MediaQueue::Kind::video_end);
    }
    return status;
}

}  // namespace

Status open_source(Source& s) {
    Status status = open_input(s);
    if (!status.failed()) status = open_decoders(s);
    if (!status.failed()) status = open_audio_encoder(s);
    if (status.failed()) return status;
    // The audio graph is made from what the decoder knows after opening; it is
    // made again later if the decoded frames turn out to differ.
    const AVCodecContext* adec = s.audio_decoder.get();
    if (adec && adec->sample_rate > 0 && adec->sample_fmt != AV_SAMPLE_FMT_NONE) {
        status = build_audio_graph(s, adec->sample_rate, adec->sample_fmt, adec->ch_layout);
        if (status.failed()) return status;
    }
    return allocate_buffers(s);
}

void run_source(Source& s, const std::vector<MediaQueue*>& feeds, std::atomic<int64_t>& read_position) {
    s.feeds = feeds;
    s.read_position = &read_position;
    SourceOutcome outcome;
    try {
        Status status = read_packets(s);
        if (!status.failed() && anyone_taking(s) && !s.stop) {
            SourceOutcome read_end;
            read_end.read_warning = s.read_warning;
            deliver_mark(s, MediaQueue::Kind::read_end, read_end);
            status = drain(s);
            // Renditions without a single picture would be empty.
            if (!status.failed() && s.handed_out.first_video_pts == AV_NOPTS_VALUE) {
                s.failure = "the source has no decodable pictures.";
            }
        }
        outcome.status = status;
        if (!s.failure.empty()) {
            outcome.status = Status{};
            outcome.failure = s.failure;
        }
    } catch (const std::exception& e) {
        outcome.failure = e.what();
    }
    outcome.read_warning = s.read_warning;
    outcome.handed_out = s.handed_out;
    // What the decoders, the graphs and the input hold is not needed any
    // more while the renditions finish.
    s.video_graph.reset();
    s.audio_graph.reset();
    s.fifo.reset();
    s.video_decoder.reset();
    s.audio_decoder.reset();
    s.input.reset();
    deliver_mark(s, MediaQueue::Kind::end, outcome);
    s.feeds.clear();
    s.read_position = nullptr;
}

bool anyone_taking(const Source& s) {
    for (const MediaQueue* feed : s.feeds) {
        if (feed) return true;
    }
    return false;
}

void deliver_picture(Source& s, const AVFrame* picture) {
    for (MediaQueue*& feed : s.feeds) {
        if (feed && !feed->push_picture(picture)) feed = nullptr;
    }
}

void deliver_packet(Source& s, const AVPacket* packet) {
    for (MediaQueue*& feed : s.feeds) {
        if (feed && !feed->push_packet(packet)) feed = nullptr;
    }
}

void deliver_mark(Source& s, MediaQueue::Kind kind, const SourceOutcome& outcome) {
    for (MediaQueue*& feed : s.feeds) {
        if (feed && !feed->push_mark(kind, outcome)) feed = nullptr;
    }
}

}  // namespace corvane
