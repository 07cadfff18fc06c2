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

// An audio track that cannot be decoded is dropped: the video is still worth
// having, with silence.
Status open_decoders(Source& s) {
    Status status =
        open_decoder(s.input.video, s.input.video_codec, s.video_decoder, "opening the video decoder", &s);
    if (status.failed() || !s.input.audio) return status;
    status = open_decoder(s.input.audio, s.input.audio_codec, s.audio_decoder, "opening the audio decoder");
    if (status.failed()) {
        s.input.no_audio = "The source's audio cannot be decoded (" + av_error_text(status.code) + ")";
        s.audio_decoder.reset();
        s.input.audio = nullptr;
        s.input.audio_index = -1;
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

// Reads the whole source, packet by packet. Packets of other streams
// (further audio tracks, subtitles, data) are dropped.
Status read_packets(Source& s) {
    AVPacket* packet = s.read_packet.get();
    const int64_t start = s.input.context->start_time != AV_NOPTS_VALUE ? s.input.context->start_time : 0;
    while (anyone_taking(s) && !s.stop) {
        const int ret = av_read_frame(s.input.context.get(), packet);
        if (ret < 0) {
            if (s.input.guard.refused) {
                s.failure = refusal_text(s.input.guard);
                return Status{ret, "reading the source"};
            }
            if (ret != AVERROR_EOF) {
                s.read_warning = ": the source could not be read to its end (" +
                                         av_error_text(ret) + "); it ends where reading stopped.";
            } else {
                s.read_warning = cut_short_warning(s.input);
            }
            return Status{};
        }
        Status status;
        if (packet->stream_index == s.input.video_index) {
            keep_clock_continuous(s.input, packet, s.input.video_clock);
            status = decode(s, s.video_decoder.get(), packet, receive_pictures);
        } else if (packet->stream_index == s.input.audio_index) {
            ++s.audio_packets;
            keep_clock_continuous(s.input, packet, s.input.audio_clock);
            status = decode(s, s.audio_decoder.get(), packet, receive_samples);
        }
        av_packet_unref(packet);
        if (status.failed()) return status;
        if (s.input.read_to != AV_NOPTS_VALUE) {
            s.read_position->store(s.input.read_to - start, std::memory_order_relaxed);
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
    s.repeat_to_audio_end = s.input.audio && s.input.video_clock.end != AV_NOPTS_VALUE &&
                            s.input.audio_clock.end != AV_NOPTS_VALUE && s.input.audio_clock.end > s.input.video_clock.end + AV_TIME_BASE;
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
    if (s.input.audio && !s.handed_out.audio_clock_started) {
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
    // Reading stops as soon as the job is interrupted, even in the middle of
    // a slow read.
    s.input.context->interrupt_callback = AVIOInterruptCB{stop_requested, &s};
    Status status = status_of(s.input.stream_info, "reading the source's stream information");
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
    s.video_chain.release();
    s.audio_chain.release();
    s.fifo.reset();
    s.video_decoder.reset();
    s.audio_decoder.reset();
    s.input.context.reset();
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
