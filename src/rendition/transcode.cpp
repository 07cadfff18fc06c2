#include "rendition/transcode.h"

#include <cstdio>
#include <exception>

#include "log/log.h"
#include "rendition/rendition.h"

namespace corvane {

namespace {

// Hands every picture the video decoder has ready to the video path.
Status receive_pictures(Rendition& r) {
    AVFrame* picture = r.decoded.get();
    while (avcodec_receive_frame(r.video_decoder.get(), picture) >= 0) {
        Status s = take_picture(r, picture);
        av_frame_unref(picture);
        if (s.failed()) return s;
    }
    return Status{};
}

// Hands every sample frame the audio decoder has ready to the audio path.
Status receive_samples(Rendition& r) {
    AVFrame* samples = r.decoded.get();
    while (avcodec_receive_frame(r.audio_decoder.get(), samples) >= 0) {
        Status s = filter_audio_frame(r, samples);
        av_frame_unref(samples);
        if (s.failed()) return s;
    }
    return Status{};
}

// Sends one packet (null: end of stream) to a decoder and passes on every
// frame it gives. A packet the decoder rejects (damaged data) is skipped; a
// decoder that still holds frames gets them taken before the packet is sent
// again, so no packet is lost to a full output queue.
Status decode(Rendition& r, AVCodecContext* decoder, const AVPacket* packet,
              Status (*receive)(Rendition&)) {
    int ret = avcodec_send_packet(decoder, packet);
    if (ret == AVERROR(EAGAIN)) {
        Status s = receive(r);
        if (s.failed()) return s;
        avcodec_send_packet(decoder, packet);
    }
    return receive(r);
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
void keep_clock_continuous(Rendition& r, AVPacket* packet, int which) {
    const AVRational time_base = r.input->streams[packet->stream_index]->time_base;
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
        if (r.source_read_to == AV_NOPTS_VALUE || end > r.source_read_to) r.source_read_to = end;
    }
    if (packet->dts != AV_NOPTS_VALUE) {
        int64_t time = av_rescale_q(packet->dts, time_base, AV_TIME_BASE_Q) + r.clock_shift;
        if (r.clock_end != AV_NOPTS_VALUE) {
            const bool back =
                r.last_dts[which] != AV_NOPTS_VALUE && time < r.last_dts[which] - kClockBack;
            const bool leap =
                (r.input->iformat->flags & AVFMT_TS_DISCONT) && time > r.clock_end + kClockLeap;
            if (back || leap) {
                r.clock_shift += r.clock_end - time;
                time = r.clock_end;
            }
        }
        r.last_dts[which] = time;
        const int64_t end = time + av_rescale_q(packet->duration, time_base, AV_TIME_BASE_Q);
        if (r.clock_end == AV_NOPTS_VALUE || end > r.clock_end) r.clock_end = end;
    }
    if (r.clock_shift != 0) {
        const int64_t shift = av_rescale_q(r.clock_shift, AV_TIME_BASE_Q, time_base);
        if (packet->pts != AV_NOPTS_VALUE) packet->pts += shift;
        if (packet->dts != AV_NOPTS_VALUE) packet->dts += shift;
    }
}

// A file cut short (an interrupted copy or recording) often reads like a
// complete one: what was read is compared with the length the file states.
void warn_if_cut_short(const Rendition& r) {
    const AVFormatContext* input = r.input.get();
    // A length guessed from the bit rate is no promise.
    if (input->duration <= 0 || input->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE ||
        r.clock_shift != 0 || r.source_read_to == AV_NOPTS_VALUE) {
        return;
    }
    const int64_t start = input->start_time != AV_NOPTS_VALUE ? input->start_time : 0;
    const int64_t stated = start + input->duration;
    if (r.source_read_to >= stated - AV_TIME_BASE / 4) return;
    char text[160];
    std::snprintf(text, sizeof text,
                  ": the source ends at %.1f s, before its stated length of %.1f s; the rendition "
                  "goes as far as the source does.",
                  static_cast<double>(r.source_read_to - start) / AV_TIME_BASE,
                  static_cast<double>(input->duration) / AV_TIME_BASE);
    log_message(WARN, "Rendition " + r.playlist_path + text);
}

// Set-up, in pipeline order. The scaler and the audio graph are made from
// what the decoders know after opening; both are made again later if the
// decoded frames turn out to differ.
Status set_up(Rendition& r) {
    Status s = open_input(r);
    if (!s.failed()) s = open_decoders(r);
    if (!s.failed()) s = open_encoders(r);
    if (!s.failed()) s = open_output(r);
    if (s.failed()) return s;

    const AVCodecContext* vdec = r.video_decoder.get();
    if (vdec->width > 0 && vdec->height > 0 && vdec->pix_fmt != AV_PIX_FMT_NONE) {
        const AVRational aspect = av_guess_sample_aspect_ratio(r.input.get(), r.in_video, nullptr);
        s = build_scaler(r, PictureFormat{vdec->width, vdec->height, vdec->pix_fmt, vdec->color_range, aspect});
        if (s.failed()) return s;
    }
    const AVCodecContext* adec = r.audio_decoder.get();
    if (adec->sample_rate > 0 && adec->sample_fmt != AV_SAMPLE_FMT_NONE) {
        s = build_audio_graph(r, adec->sample_rate, adec->sample_fmt, adec->ch_layout);
        if (s.failed()) return s;
    }
    return allocate_buffers(r);
}

// Reads the whole source, packet by packet. Packets of other streams
// (further audio tracks, subtitles, data) are dropped.
Status run_packet_loop(Rendition& r) {
    AVPacket* packet = r.read_packet.get();
    while (true) {
        const int ret = av_read_frame(r.input.get(), packet);
        if (ret < 0) {
            if (ret != AVERROR_EOF) {
                log_message(WARN, "Rendition " + r.playlist_path +
                                      ": the source could not be read to its end (" +
                                      av_error_text(ret) + "); it ends where reading stopped.");
            } else {
                warn_if_cut_short(r);
            }
            return Status{};
        }
        Status s;
        if (packet->stream_index == r.video_index) {
            keep_clock_continuous(r, packet, 0);
            s = decode(r, r.video_decoder.get(), packet, receive_pictures);
        } else if (packet->stream_index == r.audio_index) {
            keep_clock_continuous(r, packet, 1);
            s = decode(r, r.audio_decoder.get(), packet, receive_samples);
        }
        av_packet_unref(packet);
        if (s.failed()) return s;
    }
}

// Drains every stage: the video decoder and the H.264 encoder first, then
// the audio decoder, the loudness graph, the sample FIFO and the AAC encoder,
// and writes the trailer.
Status drain_and_finish(Rendition& r) {
    Status s = decode(r, r.video_decoder.get(), nullptr, receive_pictures);
    if (!s.failed()) s = finish_video(r);
    if (!s.failed()) s = decode(r, r.audio_decoder.get(), nullptr, receive_samples);
    if (!s.failed()) s = finish_audio(r);
    if (s.failed()) return s;
    s = status_of(av_write_trailer(r.output.get()), "writing the HLS trailer");
    if (s.failed()) return s;
    return check_written_segments(r);
}

}  // namespace

bool transcode_variant(std::string input_path, std::string playlist_path, int width, int height,
                       int video_bit_rate, std::string key_info_path) {
    std::string name = playlist_path;
    Status s;
    try {
        Rendition r(std::move(input_path), std::move(playlist_path), width, height,
                    video_bit_rate, std::move(key_info_path));
        s = set_up(r);
        if (!s.failed()) s = run_packet_loop(r);
        if (!s.failed()) s = drain_and_finish(r);
        if (!s.failed()) {
            log_message(SUCCESS, "Encrypted variant created: " + r.playlist_path);
            return true;
        }
    } catch (const std::exception& e) {
        // Nothing may leave a worker thread: it would end the process.
        log_message(ERROR, "Rendition " + name + " failed: " + e.what());
        return false;
    }
    log_message(ERROR, "Rendition " + name + " failed while " + s.action + ": " +
                           av_error_text(s.code));
    return false;
}

}  // namespace corvane
