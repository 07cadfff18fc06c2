#include "source/source_input.h"

#include <cerrno>
#include <cstdio>

#include "av/av_compat.h"

namespace corvane {

namespace {

// A stream's decoding clock that goes back by more than kClockBack, or (in
// formats that allow discontinuities, like MPEG-TS) leaps ahead by more than
// kClockLeap, has been restarted rather than paused. Decoding time stamps
// never go back in one stream, so a small step back is a joint too: left
// alone, the pictures of the overlap would be dropped while its audio is
// kept, and the audio would lag by the overlap from there on.
constexpr int64_t kClockBack = AV_TIME_BASE / 10;
constexpr int64_t kClockLeap = 10 * int64_t{AV_TIME_BASE};

// The ERROR line that ends the job, or "" when the source can be planned from.
std::string refusal_of(SourceInput& in, const std::string& locator) {
    std::string oversize;
    const int ret = open_guarded_input(locator, in.guard, in.context, oversize);
    if (ret < 0) {
        if (in.guard.refused || !oversize.empty()) return in.guard.refused ? refusal_text(in.guard) : oversize;
        // A file that exists but cannot be read gets its cause on the line.
        const std::string cause = ret == AVERROR(ENOENT) ? "" : " (" + av_error_text(ret) + ")";
        return "Could not open " + locator + ". Make sure the file exists." + cause;
    }
    AVFormatContext* context = in.context.get();
    // A source whose stream information cannot be read completely may still
    // have a usable video stream, so the result is not a reason to stop
    // planning; the stage fails with it.
    in.stream_info = find_stream_info_guarded(context);
    if (in.guard.refused) return refusal_text(in.guard);
    in.video_index = find_video_stream(context, &in.video_codec);
    in.audio_index = av_find_best_stream(context, AVMEDIA_TYPE_AUDIO, -1, -1, &in.audio_codec, 0);
    if (in.video_index < 0 && in.audio_index >= 0) {
        in.video_index = find_cover(context, &in.video_codec);
        in.cover = in.video_index >= 0;
    }
    if (in.video_index < 0) return "No video stream found in the file.";
    in.video = context->streams[in.video_index];
    in.upright_turn = upright_turn_of(in.video);
    if (in.audio_index >= 0) {
        in.audio = context->streams[in.audio_index];
    } else {
        in.why_no_audio = in.audio_index == AVERROR_STREAM_NOT_FOUND
                          ? "The source has no audio track"
                          : "The source's audio cannot be decoded (" + av_error_text(in.audio_index) + ")";
    }
    // Only the two streams chosen are read: the others (further audio and
    // video tracks, subtitles, a camera's data tracks) would cost reading for
    // nothing, and where their samples lie past the end of a file cut short,
    // reading them would end the job there.
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        if (static_cast<int>(i) != in.video_index && static_cast<int>(i) != in.audio_index) {
            context->streams[i]->discard = AVDISCARD_ALL;
        }
    }
    // Sizes that only the stream information tells.
    oversize = stream_oversize(in.video->codecpar);
    if (oversize.empty() && in.audio) oversize = stream_oversize(in.audio->codecpar);
    return oversize;
}

}  // namespace


Status open_source_input(SourceInput& in, const std::string& locator) {
    const std::string refused = refusal_of(in, locator);
    return refused.empty() ? Status{} : failure_because(AVERROR_INVALIDDATA, refused);
}

void shown_size(const SourceInput& in, int& width, int& height) {
    const AVCodecParameters* par = in.video->codecpar;
    // Phone videos shot upright are stored sideways with a display matrix:
    // the ladder follows the picture as it is shown.
    const bool sideways = in.upright_turn % 180 != 0;
    width = sideways ? par->height : par->width;
    height = sideways ? par->width : par->height;
}

// Keeps the source clock continuous: when a stream's decoding time stamps
// jump, every later packet of both streams is shifted so that it carries on
// where the source was. Video and audio thus stay in step across the joint.
void keep_clock_continuous(SourceInput& in, AVPacket* packet, StreamClock& clock) {
    const AVRational time_base = in.context->streams[packet->stream_index]->time_base;
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
        if (in.read_to == AV_NOPTS_VALUE || end > in.read_to) in.read_to = end;
    }
    if (packet->dts != AV_NOPTS_VALUE) {
        int64_t time = av_rescale_q(packet->dts, time_base, AV_TIME_BASE_Q) + in.clock_shift;
        if (in.clock_end != AV_NOPTS_VALUE) {
            const bool back =
                clock.last_dts != AV_NOPTS_VALUE && time < clock.last_dts - kClockBack;
            const bool leap =
                (in.context->iformat->flags & AVFMT_TS_DISCONT) && time > in.clock_end + kClockLeap;
            if (back || leap) {
                in.clock_shift += in.clock_end - time;
                time = in.clock_end;
            }
        }
        clock.last_dts = time;
        const int64_t end = time + av_rescale_q(packet->duration, time_base, AV_TIME_BASE_Q);
        if (in.clock_end == AV_NOPTS_VALUE || end > in.clock_end) in.clock_end = end;
    }
    if (in.clock_shift != 0) {
        const int64_t shift = av_rescale_q(in.clock_shift, AV_TIME_BASE_Q, time_base);
        if (packet->pts != AV_NOPTS_VALUE) packet->pts += shift;
        if (packet->dts != AV_NOPTS_VALUE) packet->dts += shift;
    }
    const int64_t stamp = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
    if (stamp != AV_NOPTS_VALUE) {
        const int64_t end = av_rescale_q(stamp + packet->duration, time_base, AV_TIME_BASE_Q);
        if (clock.end == AV_NOPTS_VALUE || end > clock.end) clock.end = end;
    }
}

// A file cut short (an interrupted copy or recording) often reads like a
// complete one: what was read is compared with the length the file states.
std::string cut_short_warning(const SourceInput& in) {
    const AVFormatContext* input = in.context.get();
    // A length guessed from the bit rate is no promise.
    if (input->duration <= 0 || input->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE ||
        in.clock_shift != 0 || in.read_to == AV_NOPTS_VALUE) {
        return "";
    }
    const int64_t start = input->start_time != AV_NOPTS_VALUE ? input->start_time : 0;
    const int64_t stated = start + input->duration;
    if (in.read_to >= stated - AV_TIME_BASE / 4) return "";
    char text[160];
    std::snprintf(text, sizeof text,
                  "the source ends at %.1f s, before its stated length of %.1f s; the rendition "
                  "goes as far as the source does.",
                  static_cast<double>(in.read_to - start) / AV_TIME_BASE,
                  static_cast<double>(input->duration) / AV_TIME_BASE);
    return text;
}

}  // namespace corvane
