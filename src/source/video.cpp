// The video path of the source: deinterlacing, bringing large pictures down
// to the largest rendition's size, tone mapping and turning upright, once
// for every rendition, then stamping on the 30-per-second output clock.

#include "source/video_path.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/cpu.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <string>

#include "av/av_compat.h"
#include "av/picture_colours.h"
#include "log/log.h"
#include "source/decoding.h"

namespace corvane {

namespace {

// A source clock that goes back by more than this (in 1/30 s) has restarted
// (spliced recordings, a wrapped clock): the output clock carries on from
// where it was instead of dropping every picture until the source catches up.
constexpr int64_t kClockRestart = 30;
// Without sound, a still or a pause is shown again for 5 minutes at most, and
// no last picture lasts longer: a leap of a damaged file's stamps is no pause
// to fill with pictures.
constexpr int64_t kLongestSilentStill = 300 * kVideoTimeBase.den;
// The video decoder's threads, one per core: each holds pictures of its own
// (about 50 MiB at 4K 10-bit), and 8 decode 4K HEVC faster than four
// encoders take it.
constexpr int kMostDecoderThreads = 8;
// At the end of the stream, how many damaged pictures the decoder may report
// while its threads hand on what they still hold.
constexpr int kMostDamagedAtEnd = 2 * kMostDecoderThreads;

}  // namespace

// Hands a stamped picture to every rendition. Segments are cut at key
// frames, and players need one every 2 s of output time: the H.264 encoders
// make one every 60 pictures by themselves, which is every 2 s only when a
// picture stands on every tick. A picture that comes 2 s or more after the
// last key frame, before the encoders' own count would make one, is marked
// to be one (24 and 25 fps sources, time-lapses).
Status VideoPath::hand_on(AVFrame* picture, Feeds& feeds) {
    if (last_key_stamp_ == AV_NOPTS_VALUE || ++pictures_since_key_ == kKeyPictures) {
        last_key_stamp_ = picture->pts;  // the encoders' own key frame
        pictures_since_key_ = 0;
    } else if (picture->pts - last_key_stamp_ >= kKeyInterval) {
        picture->pict_type = AV_PICTURE_TYPE_I;
        last_key_stamp_ = picture->pts;
        pictures_since_key_ = 0;
    }
    if (first_pts_ == AV_NOPTS_VALUE) first_pts_ = picture->pts;
    last_pts_ = picture->pts;
    end_pts_ = picture->pts + 1;
    feeds.push_picture(picture);
    picture->pict_type = AV_PICTURE_TYPE_NONE;
    return Status{};
}

// Hands the held picture to every rendition, after repeating the picture
// before it at every key frame mark it leaves out.
Status VideoPath::hand_on_held(Feeds& feeds) {
    AVFrame* held = held_.get();
    if (!held->buf[0]) return Status{};
    Status status = repeat_last_picture(held->pts, feeds);
    if (status.failed()) return status;
    status = hand_on(held, feeds);
    // The picture stays at hand, to be repeated.
    av_frame_unref(last_.get());
    av_frame_move_ref(last_.get(), held);
    return status;
}

namespace {

// Makes `into` the picture, stamped `stamp`. The picture's side data and
// picture type were the source's own (the H.264 encoders would obey a
// picture type), so they are removed.
void take_picture(AVFrame* into, AVFrame* picture, int64_t stamp) {
    av_frame_unref(into);
    av_frame_move_ref(into, picture);
    into->pts = stamp;
    into->pict_type = AV_PICTURE_TYPE_NONE;
    while (into->nb_side_data > 0) {
        av_frame_remove_side_data(into, into->side_data[0]->type);
    }
}

}  // namespace

// Puts a finished picture (its time stamp in `time_base`) on the
// 30-per-second output clock. Each tick shows the source picture filmed
// nearest to it: a picture is held until the next one shows whether that is
// nearer to the same tick (a 60 fps source gives two pictures per tick, and
// the one filmed on the tick is kept). A picture that loses its tick but was
// filmed after it is kept aside for the next tick, which it takes when no
// picture nearer to that one comes (a tick left empty by a picture the
// source lost, jitter in a phone's clock). Slower sources keep every
// picture. Stamps handed out always increase.
Status VideoPath::stamp_picture(AVFrame* picture, AVRational time_base, Feeds& feeds) {
    AVFrame* held = held_.get();
    const int64_t taken = held->buf[0] ? held->pts : last_pts_;
    int64_t stamp;
    double off_tick = 0;  // how far from its tick the picture was filmed, in ticks
    if (picture->pts == AV_NOPTS_VALUE) {
        // Nothing to go by: the picture follows the one before.
        stamp = taken == AV_NOPTS_VALUE ? 0 : taken + 1;
    } else {
        const int64_t tick = av_rescale_q(picture->pts, time_base, kVideoTimeBase);
        const double after_tick = static_cast<double>(picture->pts) * time_base.num * kVideoTimeBase.den /
                                      (static_cast<double>(time_base.den) * kVideoTimeBase.num) -
                                  static_cast<double>(tick);
        off_tick = std::fabs(after_tick);
        stamp = tick + pts_shift_;
        if (taken != AV_NOPTS_VALUE && stamp <= taken) {
            if (taken - stamp < kClockRestart) {
                // The tick is taken: the nearer of the two pictures stays.
                if (stamp == taken && held->buf[0] && off_tick < held_off_tick_) {
                    av_frame_unref(held);
                } else {
                    if (stamp == taken && after_tick > 0) keep_spare(picture, stamp + 1, 1 - after_tick);
                    return Status{};
                }
            } else {
                pts_shift_ += taken + 1 - stamp;
                stamp = taken + 1;
            }
        }
    }
    Status status = hand_on_held(feeds);
    if (status.failed()) return status;
    status = hand_on_spare(stamp, feeds);
    if (status.failed()) return status;
    if (first_pts_ == AV_NOPTS_VALUE) first_pts_ = stamp;
    take_picture(held, picture, stamp);
    held_off_tick_ = off_tick;
    return Status{};
}

// Keeps a picture that lost its tick for the next one (`stamp`, `off_tick`
// from it); of several, the latest is nearest.
void VideoPath::keep_spare(AVFrame* picture, int64_t stamp, double off_tick) {
    take_picture(spare_.get(), picture, stamp);
    spare_off_tick_ = off_tick;
}

// After the held picture went on: the spare takes its tick unless the next
// picture (stamped `next`) stands on it.
Status VideoPath::hand_on_spare(int64_t next, Feeds& feeds) {
    AVFrame* spare = spare_.get();
    if (!spare->buf[0]) return Status{};
    if (spare->pts >= next) {
        av_frame_unref(spare);
        return Status{};
    }
    take_picture(held_.get(), spare, spare->pts);
    held_off_tick_ = spare_off_tick_;
    return hand_on_held(feeds);
}

namespace {

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

}  // namespace

// The transfer of an HDR picture (PQ or HLG, as phones record by default),
// or AVCOL_TRC_UNSPECIFIED for SDR. A picture that does not say follows its
// stream.
int VideoPath::hdr_transfer(const AVFrame* picture) const {
    const int trc = picture->color_trc != AVCOL_TRC_UNSPECIFIED ? picture->color_trc
                                                                : input_->video->codecpar->color_trc;
    return trc == AVCOL_TRC_SMPTE2084 || trc == AVCOL_TRC_ARIB_STD_B67 ? trc : AVCOL_TRC_UNSPECIFIED;
}

namespace {

// The filters that tone-map an HDR picture to BT.709 SDR: to linear light
// with reference white (203 cd/m², BT.2408) at 1.0 and BT.2020 colours
// brought into BT.709, then a curve that leaves everything up to 70 % of
// SDR white as it is and rolls highlights up to 1,000 cd/m² off smoothly
// below white, without desaturating them; then BT.709 in limited range.
// A picture larger than the largest rendition is first brought down to the
// size that rendition shows it at (`size`; 0 x 0: kept), in the same step:
// the conversion is the slow part, and no rendition needs more.
std::string tone_map_filters(const AVFrame* picture, int transfer, const PictureArea& size) {
    auto named = [](const char* name, const char* otherwise) { return name ? name : otherwise; };
    const char* primaries = picture->color_primaries != AVCOL_PRI_UNSPECIFIED
                                ? named(av_color_primaries_name(picture->color_primaries), "bt2020")
                                : "bt2020";
    const char* matrix = picture->colorspace != AVCOL_SPC_UNSPECIFIED
                             ? named(av_color_space_name(picture->colorspace), "bt2020nc")
                             : "bt2020nc";
    const char* range = picture->color_range == AVCOL_RANGE_JPEG ? "pc" : "tv";
    char resize[64] = "";
    if (size.width > 0) std::snprintf(resize, sizeof resize, "w=%d:h=%d:f=bicubic:", size.width, size.height);
    char chain[512];
    std::snprintf(chain, sizeof chain,
                  "zscale=%stin=%s:pin=%s:min=%s:rin=%s:t=linear:p=bt709:npl=203,format=gbrpf32le,"
                  "tonemap=tonemap=mobius:param=0.7:desat=0:peak=4.926,"
                  "zscale=t=bt709:m=bt709:r=tv,format=yuv420p",
                  resize, transfer == AVCOL_TRC_SMPTE2084 ? "smpte2084" : "arib-std-b67", primaries, matrix,
                  range);
    return chain;
}

// The size a stored picture (before its turn) is brought down to: the area
// the largest rendition (`width` x `height`, upright) shows it in, when that
// is smaller; 0 x 0 when it is not, or when no rendition is planned. Every
// rendition then scales from that instead of the whole picture: less work
// for each, for the deinterlacer's successors, the tone mapping and the turn,
// and less memory in the feeds; the pictures differ from those scaled at
// once by less than the scaling itself changes them.
PictureArea reduced_size(const AVFrame* picture, int turn, int width, int height) {
    if (width <= 0 || height <= 0) return PictureArea{};
    const bool sideways = turn == 90 || turn == 270;
    const PictureArea area = fit_area(picture->width, picture->height, picture->sample_aspect_ratio,
                                      sideways ? height : width, sideways ? width : height);
    const bool smaller = area.width <= picture->width && area.height <= picture->height &&
                         (area.width < picture->width || area.height < picture->height);
    return smaller ? PictureArea{0, 0, area.width, area.height} : PictureArea{};
}

}  // namespace

// Whether this FFmpeg build can tone-map; the first HDR picture of a build
// that cannot gets one WARN line, and the pictures go on as they are.
bool VideoPath::can_tone_map(int transfer) {
    if (avfilter_get_by_name("zscale") && avfilter_get_by_name("tonemap")) return true;
    if (!tone_map_warned_) {
        tone_map_warned_ = true;
        log_message(WARN, std::string("The source is HDR (") +
                              (transfer == AVCOL_TRC_SMPTE2084 ? "PQ" : "HLG") +
                              "), but this FFmpeg build lacks the zscale or tonemap filter: its "
                              "pictures are encoded without tone mapping and look washed out.");
    }
    return false;
}

Status VideoPath::build_chain(const AVFrame* picture, bool deinterlace, int transfer, const PictureArea& size) {
    const char* action = deinterlace ? "building the deinterlacer"
                         : transfer != AVCOL_TRC_UNSPECIFIED ? "building the tone mapping"
                                                             : "building the video graph";

    // The deinterlacer doubles the time base's denominator: a stream clock
    // finer than that can hold is given to it in 1/90000 s.
    AVRational time_base = input_->video->time_base;
    if (time_base.den > INT_MAX / 2) time_base = AVRational{1, 90000};
    const AVRational aspect = picture->sample_aspect_ratio.num > 0 ? picture->sample_aspect_ratio
                                                                    : AVRational{1, 1};
    char args[256];
    std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d",
                  picture->width, picture->height, picture->format, time_base.num, time_base.den,
                  aspect.num, aspect.den);
    // One picture out for every picture in; pictures not marked interlaced
    // pass the deinterlacer unchanged.
    // Deinterlacing comes first, on the fields as they were filmed; then the
    // picture is brought down to the size needed (with the tone mapping, for
    // HDR); turning comes last, on 8-bit pictures.
    std::string chain = deinterlace ? "bwdif=mode=send_frame:parity=auto:deint=interlaced" : "";
    auto add = [&chain](const std::string& filters) { chain += (chain.empty() ? "" : ",") + filters; };
    if (transfer != AVCOL_TRC_UNSPECIFIED) {
        add(tone_map_filters(picture, transfer, size));
    } else if (size.width > 0) {
        // The renditions' own scaler and method, into the limited range they
        // are encoded in; the matrix stays.
        const char* range = picture->color_range == AVCOL_RANGE_JPEG ? "pc" : "tv";
        add("scale=w=" + std::to_string(size.width) + ":h=" + std::to_string(size.height) +
            ":flags=bicubic:in_range=" + range + ":out_range=tv");
    }
    if (const char* turn = turn_filters(input_->upright_turn)) add(turn);

    VideoChainInput input{picture->width, picture->height, picture->format, picture->sample_aspect_ratio};
    input.colorspace = picture->colorspace;
    input.color_range = picture->color_range;
    input.matrix = assumed_matrix(picture->colorspace, picture->width, picture->height);
    input.deinterlaces = deinterlace;
    input.scales = size.width > 0;
    input.transfer = transfer;
    input.time_base = time_base;
    return status_of(chain_.build("buffer", args, chain.c_str(), "buffersink", input), action);
}

// What the video chain does, for a message about its failure.
const char* VideoPath::chain_action() const {
    const VideoChainInput& input = chain_.built_for();
    if (input.deinterlaces) return "deinterlacing video";
    if (input.transfer != AVCOL_TRC_UNSPECIFIED) return "tone-mapping video";
    return input_->upright_turn != 0 ? "turning video" : "scaling video";
}

// Puts a picture out of the video graph on the output clock.
Status VideoPath::take_filtered(AVFrame* picture, Feeds& feeds) {
    const VideoChainInput& built = chain_.built_for();
    if (built.transfer == AVCOL_TRC_UNSPECIFIED) {
        // Deinterlacing, scaling down and turning leave the matrix as it
        // was: the pictures say which, so that the renditions do not
        // guess it from the smaller size (or from a tag a filter left
        // out), and scaled ones that they are in the limited range.
        picture->colorspace = static_cast<AVColorSpace>(built.matrix);
        if (built.scales) picture->color_range = AVCOL_RANGE_MPEG;
    }
    return stamp_picture(picture, chain_.output_time_base(), feeds);
}

// Ends the video graph's stream, hands on the pictures it still holds and
// releases it.
Status VideoPath::drain_chain(Feeds& feeds) {
    return chain_.drain(filtered_.get(), chain_action(),
                        [&](AVFrame* picture) { return take_filtered(picture, feeds); });
}

Status VideoPath::filter_picture(AVFrame* picture, Feeds& feeds) {
    // A picture is timed by the decoder's best guess: containers that store
    // decoding times only (old FLV, Smooth Streaming, some MPEG-PS) give
    // reordered pictures the stamps of other pictures, which jump back and
    // forth; the guess puts them back in order.
    if (picture->best_effort_timestamp != AV_NOPTS_VALUE) picture->pts = picture->best_effort_timestamp;
    const int64_t duration = picture_duration(picture);
    shown_until_ = picture->pts != AV_NOPTS_VALUE && duration > 0
                   ? av_rescale_q(picture->pts + duration, input_->video->time_base, kVideoTimeBase)
                   : AV_NOPTS_VALUE;
    // The renditions scale every picture at its own shape: the shape of a
    // pixel is settled here, from the stream or the picture.
    picture->sample_aspect_ratio = av_guess_sample_aspect_ratio(input_->context.get(), input_->video, picture);
    const bool deinterlace = wants_deinterlacing(picture);
    int transfer = hdr_transfer(picture);
    if (transfer != AVCOL_TRC_UNSPECIFIED && !can_tone_map(transfer)) transfer = AVCOL_TRC_UNSPECIFIED;
    // Once an interlaced picture has been seen, all pictures of that size and
    // pixel format go through the deinterlacer, to keep their order; another
    // size, pixel format, pixel shape, colour tags or HDR transfer needs a
    // new graph.
    const VideoChainInput& built = chain_.built_for();
    if (chain_.built() && (picture->width != built.width || picture->height != built.height ||
                                  picture->format != built.pix_fmt ||
                                  av_cmp_q(picture->sample_aspect_ratio, built.sample_aspect) != 0 ||
                                  picture->colorspace != built.colorspace ||
                                  picture->color_range != built.color_range ||
                                  transfer != built.transfer || (deinterlace && !built.deinterlaces))) {
        Status status = drain_chain(feeds);
        if (status.failed()) return status;
    }
    if (!chain_.built()) {
        // JPEG-range pictures (camera MJPEG) are left to the renditions'
        // scalers, which read them without the scale filter's warning.
        const PictureArea size = transfer == AVCOL_TRC_UNSPECIFIED && jpeg_range_format(picture->format)
                                 ? PictureArea{}
                                 : reduced_size(picture, input_->upright_turn, largest_width_, largest_height_);
        if (!deinterlace && input_->upright_turn == 0 && transfer == AVCOL_TRC_UNSPECIFIED && size.width == 0) {
            return stamp_picture(picture, input_->video->time_base, feeds);
        }
        Status status = build_chain(picture, deinterlace, transfer, size);
        if (status.failed()) return status;
    }
    if (picture->pts != AV_NOPTS_VALUE) {
        picture->pts = av_rescale_q(picture->pts, input_->video->time_base, chain_.built_for().time_base);
    }
    return chain_.filter(picture, AV_BUFFERSRC_FLAG_KEEP_REF, filtered_.get(), chain_action(),
                         [&](AVFrame* filtered) { return take_filtered(filtered, feeds); });
}

Status VideoPath::repeat_last_picture(int64_t until, Feeds& feeds) {
    // A still or a pause lasts as long as the sound goes on (or, without
    // sound, 5 minutes at most).
    constexpr int64_t kSoundAhead = 5 * kVideoTimeBase.den;
    const int64_t sound_end = sound_end_ != AV_NOPTS_VALUE ? sound_end_ + kSoundAhead
                                                           : last_pts_ + kLongestSilentStill;
    until = std::min(until, sound_end);
    AVFrame* last = last_.get();
    // A still, a pause or a slideshow shows no new picture for 2 s: the last
    // one is shown again at the mark, as a key frame.
    while (last->buf[0] && last_key_stamp_ != AV_NOPTS_VALUE && last_key_stamp_ + kKeyInterval < until) {
        last->pts = last_key_stamp_ + kKeyInterval;
        Status status = hand_on(last, feeds);
        if (status.failed()) return status;
    }
    return Status{};
}

Status VideoPath::finish(Feeds& feeds) {
    Status status = chain_.built() ? drain_chain(feeds) : Status{};
    if (!status.failed()) status = hand_on_held(feeds);
    if (!status.failed()) status = hand_on_spare(INT64_MAX, feeds);
    if (status.failed() || last_pts_ == AV_NOPTS_VALUE || shown_until_ == AV_NOPTS_VALUE) return status;
    // The last picture lasts as long as the source shows it (a time-lapse's
    // last second, a slideshow's last slide), shown again at the key frame
    // marks within; never beyond the length the file states.
    int64_t end = std::min(shown_until_ + pts_shift_, last_pts_ + kLongestSilentStill);
    const AVFormatContext* context = input_->context.get();
    if (context->duration > 0 && context->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE &&
        input_->clock_shift == 0) {
        const int64_t start = context->start_time != AV_NOPTS_VALUE ? context->start_time : 0;
        end = std::min(end, av_rescale_q(start + context->duration, AV_TIME_BASE_Q, kVideoTimeBase) + pts_shift_);
    }
    if (end <= end_pts_) return status;
    status = repeat_last_picture(end, feeds);
    end_pts_ = std::max(end_pts_, end);
    return status;
}

// The decoder allocates no picture beyond the sizes accepted: a stream that
// changes to such a size mid-file is stopped here. Called on the decoder's
// own threads.
int VideoPath::guarded_get_buffer(AVCodecContext* decoder, AVFrame* picture, int flags) {
    if (!picture_fits(picture->width, picture->height)) {
        // The message names the stream's size, not the padded one allocated.
        VideoPath& path = *static_cast<VideoPath*>(decoder->opaque);
        path.oversized_width_ = decoder->width > 0 ? decoder->width : picture->width;
        path.oversized_height_ = decoder->height > 0 ? decoder->height : picture->height;
        path.oversized_ = true;
        return AVERROR(ERANGE);
    }
    return avcodec_default_get_buffer2(decoder, picture, flags);
}

Status VideoPath::open(const SourceInput& input, int largest_width, int largest_height) {
    input_ = &input;
    largest_width_ = largest_width;
    largest_height_ = largest_height;
    const char* action = "opening the video decoder";
    // The decoder works on several pictures at once, one per core (at most
    // 8), on threads of its own, so that it keeps ahead of the encoders on
    // many cores; it still hands the pictures out one at a time, in order.
    // (Each thread holds pictures of its own: the encoders keep the cores
    // busy too, so one more thread than cores would only hold more.)
    const int threads = std::clamp(av_cpu_count(), 1, kMostDecoderThreads);
    Status status = open_decoder(input.video, input.video_codec, decoder_, action, guarded_get_buffer, this,
                                 threads);
    if (status.failed()) return status;
    decoded_.reset(av_frame_alloc());
    filtered_.reset(av_frame_alloc());
    held_.reset(av_frame_alloc());
    spare_.reset(av_frame_alloc());
    last_.reset(av_frame_alloc());
    if (!decoded_ || !filtered_ || !held_ || !spare_ || !last_) {
        return Status{AVERROR(ENOMEM), "allocating packets and frames"};
    }
    return Status{};
}

// Hands on every picture the decoder has ready.
Status VideoPath::receive_pictures(Feeds& feeds, bool draining) {
    AVFrame* picture = decoded_.get();
    int damaged = 0;
    while (true) {
        const int ret = avcodec_receive_frame(decoder_.get(), picture);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return Status{};
        if (ret < 0) {
            // A damaged picture. While the decoder drains, the pictures its
            // other threads still work on come after it: they are taken too.
            if (draining && ++damaged <= kMostDamagedAtEnd) continue;
            return Status{};
        }
        Status status = filter_picture(picture, feeds);
        av_frame_unref(picture);
        if (status.failed()) return status;
    }
}

Status VideoPath::decode(const AVPacket* packet, Feeds& feeds) {
    Status status = decode_packet(decoder_.get(), packet, [&] { return receive_pictures(feeds, !packet); });
    if (oversized_) {
        failure_ = picture_oversize(oversized_width_, oversized_height_);
        return Status{AVERROR(ERANGE), "decoding video"};
    }
    return status;
}

void VideoPath::close() {
    chain_.release();
    decoder_.reset();
}

}  // namespace corvane
