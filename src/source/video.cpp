// The video path of the source: deinterlacing and turning upright, once for
// every rendition, then stamping on the 30-per-second output clock.

#include "source/source.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <string>

#include "av/av_compat.h"
#include "log/log.h"

namespace corvane {

namespace {

// A source clock that goes back by more than this (in 1/30 s) has restarted
// (spliced recordings, a wrapped clock): the output clock carries on from
// where it was instead of dropping every picture until the source catches up.
constexpr int64_t kClockRestart = 30;

// Hands a stamped picture to every rendition. Segments are cut at key
// frames, and players need one every 2 s of output time: the H.264 encoders
// make one every 60 pictures by themselves, which is every 2 s only when a
// picture stands on every tick. A picture that comes 2 s or more after the
// last key frame, before the encoders' own count would make one, is marked
// to be one (24 and 25 fps sources, time-lapses).
Status hand_on(Source& s, AVFrame* picture) {
    if (s.last_key_stamp == AV_NOPTS_VALUE || ++s.pictures_since_key == kKeyPictures) {
        s.last_key_stamp = picture->pts;  // the encoders' own key frame
        s.pictures_since_key = 0;
    } else if (picture->pts - s.last_key_stamp >= kKeyInterval) {
        picture->pict_type = AV_PICTURE_TYPE_I;
        s.last_key_stamp = picture->pts;
        s.pictures_since_key = 0;
    }
    if (s.handed_out.first_video_pts == AV_NOPTS_VALUE) s.handed_out.first_video_pts = picture->pts;
    s.handed_out.last_video_pts = picture->pts;
    deliver_picture(s, picture);
    picture->pict_type = AV_PICTURE_TYPE_NONE;
    // A source without sound gets silence as long as its pictures.
    return s.input.audio ? Status{} : add_silence(s, s.handed_out.last_video_pts + 1);
}

// Hands the held picture to every rendition, after repeating the picture
// before it at every key frame mark it leaves out.
Status send_held_picture(Source& s) {
    AVFrame* held = s.held_picture.get();
    if (!held->buf[0]) return Status{};
    // An audio track whose packets give no sound while the pictures go on is
    // no audio at all.
    if (s.input.audio && !s.handed_out.audio_clock_started && s.audio_packets >= kSoundlessPackets) {
        drop_audio(s, "The source's audio cannot be decoded (its packets give no sound)");
    }
    Status status = repeat_last_picture(s, held->pts);
    if (status.failed()) return status;
    status = hand_on(s, held);
    // The picture stays at hand, to be repeated.
    av_frame_unref(s.last_picture.get());
    av_frame_move_ref(s.last_picture.get(), held);
    return status;
}

// Puts a finished picture (its time stamp in `time_base`) on the
// 30-per-second output clock. Each tick shows the source picture filmed
// nearest to it: a picture is held until the next one shows whether that is
// nearer to the same tick (a 60 fps source gives two pictures per tick, and
// the one filmed on the tick is kept). Slower sources keep every picture.
// Stamps handed out always increase. The picture's side data and picture
// type were the source's own (the H.264 encoders would obey a picture type),
// so they are removed.
Status send_picture(Source& s, AVFrame* picture, AVRational time_base) {
    AVFrame* held = s.held_picture.get();
    const int64_t taken = held->buf[0] ? held->pts : s.handed_out.last_video_pts;
    int64_t stamp;
    double off_tick = 0;  // how far from its tick the picture was filmed, in ticks
    if (picture->pts == AV_NOPTS_VALUE) {
        // Nothing to go by: the picture follows the one before.
        stamp = taken == AV_NOPTS_VALUE ? 0 : taken + 1;
    } else {
        const int64_t tick = av_rescale_q(picture->pts, time_base, kVideoTimeBase);
        off_tick = std::fabs(static_cast<double>(picture->pts) * time_base.num * kVideoTimeBase.den /
                                 (static_cast<double>(time_base.den) * kVideoTimeBase.num) -
                             static_cast<double>(tick));
        stamp = tick + s.video_pts_shift;
        if (taken != AV_NOPTS_VALUE && stamp <= taken) {
            if (taken - stamp < kClockRestart) {
                // The tick is taken: the nearer of the two pictures stays.
                if (stamp == taken && held->buf[0] && off_tick < s.held_off_tick) {
                    av_frame_unref(held);
                } else {
                    return Status{};
                }
            } else {
                s.video_pts_shift += taken + 1 - stamp;
                stamp = taken + 1;
            }
        }
    }
    Status status = send_held_picture(s);
    if (status.failed()) return status;
    av_frame_move_ref(held, picture);
    held->pts = stamp;
    held->pict_type = AV_PICTURE_TYPE_NONE;
    while (held->nb_side_data > 0) {
        av_frame_remove_side_data(held, held->side_data[0]->type);
    }
    s.held_off_tick = off_tick;
    return Status{};
}

// Interlaced pictures (broadcast recordings, camcorders) are made
// progressive: scaling two fields taken 1/50 s apart as one picture would
// comb or ghost every moving edge. The deinterlacer needs at least 3 columns
// and 4 lines.
bool wants_deinterlacing(const AVFrame* picture) {
    return is_interlaced(picture) && picture->width >= 3 && picture->height >= 4;
}

// The filters that turn a stored picture upright, clockwise by `turn`.
const char* turn_filters(int turn) {
    switch (turn) {
        case 90: return "transpose=dir=clock";
        case 180: return "hflip,vflip";
        case 270: return "transpose=dir=cclock";
        default: return nullptr;
    }
}

// The transfer of an HDR picture (PQ or HLG, as phones record by default),
// or AVCOL_TRC_UNSPECIFIED for SDR. A picture that does not say follows its
// stream.
int hdr_transfer(const Source& s, const AVFrame* picture) {
    const int trc = picture->color_trc != AVCOL_TRC_UNSPECIFIED ? picture->color_trc
                                                                : s.input.video->codecpar->color_trc;
    return trc == AVCOL_TRC_SMPTE2084 || trc == AVCOL_TRC_ARIB_STD_B67 ? trc : AVCOL_TRC_UNSPECIFIED;
}

// The filters that tone-map an HDR picture to BT.709 SDR: to linear light
// with reference white (203 cd/m², BT.2408) at 1.0 and BT.2020 colours
// brought into BT.709, then a curve that leaves everything up to 70 % of
// SDR white as it is and rolls highlights up to 1,000 cd/m² off smoothly
// below white, without desaturating them; then BT.709 in limited range.
std::string tone_map_filters(const AVFrame* picture, int transfer) {
    auto named = [](const char* name, const char* otherwise) { return name ? name : otherwise; };
    const char* primaries = picture->color_primaries != AVCOL_PRI_UNSPECIFIED
                                ? named(av_color_primaries_name(picture->color_primaries), "bt2020")
                                : "bt2020";
    const char* matrix = picture->colorspace != AVCOL_SPC_UNSPECIFIED
                             ? named(av_color_space_name(picture->colorspace), "bt2020nc")
                             : "bt2020nc";
    const char* range = picture->color_range == AVCOL_RANGE_JPEG ? "pc" : "tv";
    char chain[512];
    std::snprintf(chain, sizeof chain,
                  "zscale=tin=%s:pin=%s:min=%s:rin=%s:t=linear:p=bt709:npl=203,format=gbrpf32le,"
                  "tonemap=tonemap=mobius:param=0.7:desat=0:peak=4.926,"
                  "zscale=t=bt709:m=bt709:r=tv,format=yuv420p",
                  transfer == AVCOL_TRC_SMPTE2084 ? "smpte2084" : "arib-std-b67", primaries, matrix, range);
    return chain;
}

// Whether this FFmpeg build can tone-map; the first HDR picture of a build
// that cannot gets one WARN line, and the pictures go on as they are.
bool can_tone_map(Source& s, int transfer) {
    if (avfilter_get_by_name("zscale") && avfilter_get_by_name("tonemap")) return true;
    if (!s.tone_map_warned) {
        s.tone_map_warned = true;
        log_message(WARN, std::string("The source is HDR (") +
                              (transfer == AVCOL_TRC_SMPTE2084 ? "PQ" : "HLG") +
                              "), but this FFmpeg build lacks the zscale or tonemap filter: its "
                              "pictures are encoded without tone mapping and look washed out.");
    }
    return false;
}

Status build_video_graph(Source& s, const AVFrame* picture, bool deinterlace, int transfer) {
    const char* action = deinterlace ? "building the deinterlacer"
                         : transfer != AVCOL_TRC_UNSPECIFIED ? "building the tone mapping"
                                                             : "building the video graph";

    // The deinterlacer doubles the time base's denominator: a stream clock
    // finer than that can hold is given to it in 1/90000 s.
    AVRational time_base = s.input.video->time_base;
    if (time_base.den > INT_MAX / 2) time_base = AVRational{1, 90000};
    const AVRational aspect = picture->sample_aspect_ratio.num > 0 ? picture->sample_aspect_ratio
                                                                    : AVRational{1, 1};
    char args[256];
    std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d",
                  picture->width, picture->height, picture->format, time_base.num, time_base.den,
                  aspect.num, aspect.den);
    // One picture out for every picture in; pictures not marked interlaced
    // pass the deinterlacer unchanged.
    // Deinterlacing comes first, on the fields as they were filmed; turning
    // comes last, on 8-bit pictures.
    std::string chain = deinterlace ? "bwdif=mode=send_frame:parity=auto:deint=interlaced" : "";
    if (transfer != AVCOL_TRC_UNSPECIFIED) {
        chain += (chain.empty() ? "" : ",") + tone_map_filters(picture, transfer);
    }
    if (const char* turn = turn_filters(s.input.upright_turn)) chain += (chain.empty() ? "" : ",") + std::string(turn);

    const VideoChainInput input{picture->width, picture->height, picture->format, deinterlace, transfer,
                                time_base};
    return status_of(s.video_chain.build("buffer", args, chain.c_str(), "buffersink", input), action);
}

// What the video graph does, for a message about its failure.
const char* graph_action(const Source& s) {
    const VideoChainInput& input = s.video_chain.built_for();
    if (input.deinterlaces) return "deinterlacing video";
    return input.transfer != AVCOL_TRC_UNSPECIFIED ? "tone-mapping video" : "turning video";
}

// Hands on every picture the video graph has ready.
Status pull_pictures(Source& s) {
    AVFrame* picture = s.filtered_picture.get();
    const AVRational time_base = s.video_chain.output_time_base();
    while (true) {
        const int ret = s.video_chain.pull(picture);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return Status{};
        if (ret < 0) return Status{ret, graph_action(s)};
        Status status = send_picture(s, picture, time_base);
        av_frame_unref(picture);
        if (status.failed()) return status;
    }
}

// Ends the video graph's stream, hands on the pictures it still holds and
// releases it.
Status drain_video_graph(Source& s) {
    const int ret = s.video_chain.push(nullptr);
    if (ret < 0) return Status{ret, graph_action(s)};
    Status status = pull_pictures(s);
    s.video_chain.release();
    return status;
}

}  // namespace

Status take_picture(Source& s, AVFrame* picture) {
    // A picture is timed by the decoder's best guess: containers that store
    // decoding times only (old FLV, Smooth Streaming, some MPEG-PS) give
    // reordered pictures the stamps of other pictures, which jump back and
    // forth; the guess puts them back in order.
    if (picture->best_effort_timestamp != AV_NOPTS_VALUE) picture->pts = picture->best_effort_timestamp;
    // The renditions scale every picture at its own shape: the shape of a
    // pixel is settled here, from the stream or the picture.
    picture->sample_aspect_ratio = av_guess_sample_aspect_ratio(s.input.context.get(), s.input.video, picture);
    const bool deinterlace = wants_deinterlacing(picture);
    int transfer = hdr_transfer(s, picture);
    if (transfer != AVCOL_TRC_UNSPECIFIED && !can_tone_map(s, transfer)) transfer = AVCOL_TRC_UNSPECIFIED;
    // Once an interlaced picture has been seen, all pictures of that size and
    // pixel format go through the deinterlacer, to keep their order; another
    // size, pixel format or HDR transfer needs a new graph.
    const VideoChainInput& built = s.video_chain.built_for();
    if (s.video_chain.built() && (picture->width != built.width || picture->height != built.height ||
                                  picture->format != built.pix_fmt || transfer != built.transfer ||
                                  (deinterlace && !built.deinterlaces))) {
        Status status = drain_video_graph(s);
        if (status.failed()) return status;
    }
    if (!s.video_chain.built()) {
        if (!deinterlace && s.input.upright_turn == 0 && transfer == AVCOL_TRC_UNSPECIFIED) {
            return send_picture(s, picture, s.input.video->time_base);
        }
        Status status = build_video_graph(s, picture, deinterlace, transfer);
        if (status.failed()) return status;
    }
    if (picture->pts != AV_NOPTS_VALUE) {
        picture->pts = av_rescale_q(picture->pts, s.input.video->time_base, s.video_chain.built_for().time_base);
    }
    const int ret = s.video_chain.push(picture, AV_BUFFERSRC_FLAG_KEEP_REF);
    if (ret < 0) return Status{ret, graph_action(s)};
    return pull_pictures(s);
}

Status repeat_last_picture(Source& s, int64_t until) {
    // A still or a pause lasts as long as the sound goes on (or, without
    // sound, 5 minutes at most): a leap of a damaged file's stamps is no pause
    // to fill with pictures.
    constexpr int64_t kSoundAhead = 5 * kVideoTimeBase.den;
    constexpr int64_t kLongestSilentStill = 300 * kVideoTimeBase.den;
    const int64_t sound_end =
        s.input.audio ? av_rescale_q(s.handed_out.audio_samples, kAudioTimeBase, kVideoTimeBase) + kSoundAhead
                   : s.handed_out.last_video_pts + kLongestSilentStill;
    until = std::min(until, sound_end);
    AVFrame* last = s.last_picture.get();
    // A still, a pause or a slideshow shows no new picture for 2 s: the last
    // one is shown again at the mark, as a key frame.
    while (last->buf[0] && s.last_key_stamp != AV_NOPTS_VALUE && s.last_key_stamp + kKeyInterval < until) {
        last->pts = s.last_key_stamp + kKeyInterval;
        Status status = hand_on(s, last);
        if (status.failed()) return status;
    }
    return Status{};
}

Status finish_pictures(Source& s) {
    Status status = s.video_chain.built() ? drain_video_graph(s) : Status{};
    return status.failed() ? status : send_held_picture(s);
}

}  // namespace corvane
