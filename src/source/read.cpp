// The source stage's run: reading the source packet by packet, the order in
// which the video path and the audio path are given their work, the drain
// and the end. The one place where the two paths meet.

#include <cstdio>
#include <exception>

#include "log/log.h"
#include "source/source.h"

namespace corvane {

namespace {

int stop_requested(void* source) {
    return static_cast<Source*>(source)->stop.load() ? 1 : 0;
}

int64_t ticks_of(int64_t samples) { return av_rescale_q(samples, kAudioTimeBase, kVideoTimeBase); }

// Gives the audio track up, with one WARN line (`why`): from here on the
// renditions get silence as long as the pictures.
void drop_audio(Source& s, const std::string& why) {
    s.input.why_no_audio = why;
    log_message(WARN, why + "; every rendition carries a silent audio track.");
    s.input.audio = nullptr;
    s.input.audio_index = -1;
    s.audio.drop();
}

// A still or a pause is shown again as long as the sound goes on.
void pace_video(Source& s) {
    s.video.follow_sound(s.input.audio ? ticks_of(s.audio.end_sample()) : AV_NOPTS_VALUE);
}

// Before the video path is given pictures: an audio track whose packets
// give no sound while the pictures go on is no audio at all.
void prepare_video(Source& s) {
    if (s.input.audio && !s.audio.started() && s.audio.packets() >= kSoundlessPackets) {
        drop_audio(s, "The source's audio cannot be decoded (its packets give no sound)");
    }
    pace_video(s);
}

// After the video path handed pictures on: a source without sound gets
// silence as long as its pictures.
Status follow_pictures(Source& s) {
    if (s.input.audio || s.video.last_pts() == AV_NOPTS_VALUE) return Status{};
    return s.audio.add_silence(s.video.first_pts(), s.video.end_pts(), s.feeds);
}

// After the audio path handed AAC packets on, when the sound goes on after
// the last picture: the last picture again at every key frame mark the
// sound has reached, so that its segments stay short too.
Status follow_sound(Source& s, int64_t sound_end) {
    if (!s.repeat_to_audio_end) return Status{};
    pace_video(s);
    return s.video.repeat_last_picture(ticks_of(sound_end), s.feeds);
}

Status decode_video(Source& s, const AVPacket* packet) {
    prepare_video(s);
    RETURN_IF_FAILED(s.video.decode(packet, s.feeds));
    return follow_pictures(s);
}

// The most of the video a chunk keeps aside while it leaves pictures
// undecoded; a source whose key frames lie further apart is decoded whole.
constexpr size_t kMostKept = 256u << 20;

int64_t tick_of(const Source& s, const AVPacket* packet) {
    const int64_t stamp = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    return stamp == AV_NOPTS_VALUE ? AV_NOPTS_VALUE
                                   : av_rescale_q(stamp, s.input.video->time_base, kVideoTimeBase);
}

// Decodes what a chunk kept aside, and from here on every picture. The
// pictures are noted from the first key frame kept on.
Status decode_kept(Source& s, Stretch& stretch) {
    stretch.decode_from = AV_NOPTS_VALUE;
    if (!s.kept_video.empty()) stretch.note_from = tick_of(s, s.kept_video.front().get());
    for (const PacketPtr& kept : s.kept_video) RETURN_IF_FAILED(decode_video(s, kept.get()));
    s.kept_video.clear();
    s.kept_bytes = 0;
    return Status{};
}

// A chunk that reads the whole source for its sound decodes, once the first
// picture is known, only the pictures from the last key frame before its
// stretch's lead-in: until a packet reaches the lead-in, the packets from
// the latest key frame on are kept aside.
Status skip_or_decode_video(Source& s, const AVPacket* packet) {
    Stretch* stretch = s.feeds.stretch();
    if (!stretch || stretch->decode_from == AV_NOPTS_VALUE || s.video.first_pts() == AV_NOPTS_VALUE) {
        return decode_video(s, packet);
    }
    const int64_t tick = tick_of(s, packet);
    if (tick != AV_NOPTS_VALUE && tick >= stretch->decode_from) {
        RETURN_IF_FAILED(decode_kept(s, *stretch));
        return decode_video(s, packet);
    }
    // Up to the first key frame, the packets go on from the pictures decoded
    // last; from a key frame on, the ones before it are not needed.
    if (packet->flags & AV_PKT_FLAG_KEY) {
        s.kept_video.clear();
        s.kept_bytes = 0;
    }
    PacketPtr kept(av_packet_clone(packet));
    if (!kept) return Status{AVERROR(ENOMEM), "allocating packets and frames"};
    s.kept_bytes += static_cast<size_t>(packet->size);
    s.kept_video.push_back(std::move(kept));
    if (s.kept_bytes > kMostKept) return decode_kept(s, *stretch);
    prepare_video(s);
    return Status{};
}

// A song's cover, the one picture of a file without video: decoded at once,
// it is shown from the start of the sound and again at every key frame mark
// as far as the sound goes.
Status show_cover(Source& s, AVPacket* packet) {
    const AVStream* cover = s.input.video;
    const AVStream* sound = s.input.audio;
    const int64_t start = sound && sound->start_time != AV_NOPTS_VALUE
                          ? av_rescale_q(sound->start_time, sound->time_base, cover->time_base)
                          : 0;
    packet->pts = start;
    packet->dts = start;
    packet->duration = 0;
    keep_clock_continuous(s.input, packet, s.input.video_clock);
    RETURN_IF_FAILED(decode_video(s, packet));
    RETURN_IF_FAILED(decode_video(s, nullptr));
    prepare_video(s);
    RETURN_IF_FAILED(s.video.finish(s.feeds));
    return follow_pictures(s);
}

Status decode_audio(Source& s, const AVPacket* packet) {
    RETURN_IF_FAILED(s.audio.decode(packet, s.input.video_clock.last_dts, s.video.first_pts(), s.feeds));
    return follow_sound(s, s.audio.handed_end());
}

// Reads the whole source, packet by packet. Packets of other streams
// (further audio tracks, bitmap subtitles, data) are dropped.
Status read_packets(Source& s) {
    AVPacket* packet = s.read_packet.get();
    const int64_t start = s.input.context->start_time != AV_NOPTS_VALUE ? s.input.context->start_time : 0;
    while (s.feeds.anyone_taking() && !s.stop && !s.feeds.past_stretch()) {
        const int ret = av_read_frame(s.input.context.get(), packet);
        if (ret < 0) {
            if (s.input.guard.refused) return failure_because(ret, refusal_text(s.input.guard));
            if (ret != AVERROR_EOF) {
                s.read_warning = "the source could not be read to its end (" + av_error_text(ret) +
                                 "); it ends where reading stopped.";
            } else {
                s.read_warning = cut_short_warning(s.input);
            }
            return Status{};
        }
        Status status;
        if (packet->stream_index == s.input.video_index && s.input.cover) {
            status = show_cover(s, packet);
        } else if (packet->stream_index == s.input.video_index) {
            keep_clock_continuous(s.input, packet, s.input.video_clock);
            status = skip_or_decode_video(s, packet);
        } else if (packet->stream_index == s.input.audio_index) {
            keep_clock_continuous(s.input, packet, s.input.audio_clock);
            status = decode_audio(s, packet);
        } else if (s.subtitles.carries(packet->stream_index)) {
            s.subtitles.take(packet, s.input.clock_shift);
        }
        av_packet_unref(packet);
        RETURN_IF_FAILED(status);
        if (s.input.read_to != AV_NOPTS_VALUE) {
            s.read_position->store(s.input.read_to - start, std::memory_order_relaxed);
        }
    }
    return Status{};
}

// Drains the video decoder and the video chain. The renditions then drain
// their H.264 encoders, unless the audio goes on for seconds after the last
// picture: that brings the last picture again at every key frame mark as
// it is encoded, and the renditions drain their encoders after it.
Status drain_video(Source& s) {
    if (s.feeds.stretch() && s.feeds.stretch()->decode_from != AV_NOPTS_VALUE) {
        RETURN_IF_FAILED(decode_kept(s, *s.feeds.stretch()));
    }
    RETURN_IF_FAILED(decode_video(s, nullptr));
    prepare_video(s);
    RETURN_IF_FAILED(s.video.finish(s.feeds));
    RETURN_IF_FAILED(follow_pictures(s));
    const StreamClock& video = s.input.video_clock;
    const StreamClock& audio = s.input.audio_clock;
    s.repeat_to_audio_end = s.input.cover || (s.input.audio && video.end != AV_NOPTS_VALUE &&
                                              audio.end != AV_NOPTS_VALUE && audio.end > video.end + AV_TIME_BASE);
    if (!s.repeat_to_audio_end) {
        s.feeds.push_mark(MediaQueue::Kind::video_end);
        return Status{};
    }
    // As far as the audio has come already.
    return follow_sound(s, s.audio.end_sample());
}

// Drains the audio decoder, the loudness chain, the sample FIFO and the AAC
// encoder.
Status drain_audio(Source& s) {
    RETURN_IF_FAILED(decode_audio(s, nullptr));
    // An audio track that gave no sound at all: silence, as long as the
    // pictures.
    if (s.input.audio && !s.audio.started()) {
        drop_audio(s, "The source's audio cannot be decoded (it gives no sound)");
        RETURN_IF_FAILED(follow_pictures(s));
    }
    RETURN_IF_FAILED(s.audio.finish(s.video.end_pts(), s.feeds));
    RETURN_IF_FAILED(follow_sound(s, s.audio.handed_end()));
    if (!s.repeat_to_audio_end) return Status{};
    Status status = follow_sound(s, s.audio.end_sample());
    s.feeds.push_mark(MediaQueue::Kind::video_end);
    return status;
}

// Reads and drains the whole source; the status it ended with.
Status read_and_drain(Source& s) {
    RETURN_IF_FAILED(read_packets(s));
    if (!s.feeds.anyone_taking() || s.stop) return Status{};
    // A chunk whose stretch ends before the source: its encoders are drained.
    if (s.feeds.past_stretch()) {
        s.feeds.push_mark(MediaQueue::Kind::video_end);
        return Status{};
    }
    SourceOutcome read_end;
    read_end.read_warning = s.read_warning;
    s.feeds.push_mark(MediaQueue::Kind::read_end, read_end);
    RETURN_IF_FAILED(drain_video(s));
    RETURN_IF_FAILED(drain_audio(s));
    // Renditions without a single picture would be empty.
    if (s.video.first_pts() == AV_NOPTS_VALUE) {
        return failure_because(AVERROR_INVALIDDATA, "the source has no decodable pictures.");
    }
    return Status{};
}

}  // namespace

Status open_reading(Source& s) {
    // Reading stops as soon as the job is interrupted, even in the middle of
    // a slow read.
    s.input.context->interrupt_callback = AVIOInterruptCB{stop_requested, &s};
    RETURN_IF_FAILED(status_of(s.input.stream_info, "reading the source's stream information"));
    s.read_packet.reset(av_packet_alloc());
    return s.read_packet ? Status{} : Status{AVERROR(ENOMEM), "allocating packets and frames"};
}

Status open_source(Source& s) {
    RETURN_IF_FAILED(open_reading(s));
    RETURN_IF_FAILED(s.video.open(s.input, s.largest_width, s.largest_height));
    RETURN_IF_FAILED(s.audio.open(s.input));
    s.subtitles.open(s.input.context.get(), s.subtitle_warnings);
    // A cover is shown as long as the sound goes on, from the start.
    s.repeat_to_audio_end = s.input.cover;
    return Status{};
}

SourceOutcome run_source(Source& s, const std::vector<MediaQueue*>& feeds, std::atomic<int64_t>& read_position,
                         Stretch* stretch) {
    s.feeds = Feeds(feeds, stretch);
    s.read_position = &read_position;
    SourceOutcome outcome;
    try {
        outcome.status = read_and_drain(s);
    } catch (const std::exception& e) {
        outcome.status = failure_because(AVERROR_EXTERNAL, e.what());
    }
    s.subtitles.finish();
    outcome.read_warning = s.read_warning;
    outcome.handed_out = HandedOut{s.video.first_pts(), s.video.end_pts(), s.audio.started(),
                                   s.audio.first_sample(), s.audio.end_sample()};
    // What the decoders, the chains and the input hold is not needed any
    // more while the renditions finish.
    s.video.close();
    s.audio.close();
    s.input.context.reset();
    s.feeds.push_mark(MediaQueue::Kind::end, outcome);
    s.feeds = Feeds();
    s.read_position = nullptr;
    return outcome;
}

}  // namespace corvane
