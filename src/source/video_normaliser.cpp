// The video normaliser: deinterlacing, bringing large pictures down to the
// largest rendition's size, tone mapping and turning upright, once for every
// rendition.

#include "source/video_normaliser.h"

extern "C" {
#include <libavfilter/buffersrc.h>
#include <libavutil/pixdesc.h>
}

#include <climits>
#include <cstdio>
#include <string>

#include "av/av_compat.h"
#include "av/picture_colours.h"
#include "log/log.h"

namespace corvane {

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
int VideoNormaliser::hdr_transfer(const AVFrame* picture) const {
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
bool VideoNormaliser::can_tone_map(int transfer) {
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

Status VideoNormaliser::build_chain(const AVFrame* picture, bool deinterlace, int transfer, const PictureArea& size) {
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
const char* VideoNormaliser::chain_action() const {
    const VideoChainInput& input = chain_.built_for();
    if (input.deinterlaces) return "deinterlacing video";
    if (input.transfer != AVCOL_TRC_UNSPECIFIED) return "tone-mapping video";
    return input_->upright_turn != 0 ? "turning video" : "scaling video";
}

// Puts the right colour tags on a picture out of the chain and hands it on.
Status VideoNormaliser::take_filtered(AVFrame* picture, const PictureSink& sink) {
    const VideoChainInput& built = chain_.built_for();
    if (built.transfer == AVCOL_TRC_UNSPECIFIED) {
        // Deinterlacing, scaling down and turning leave the matrix as it
        // was: the pictures say which, so that the renditions do not
        // guess it from the smaller size (or from a tag a filter left
        // out), and scaled ones that they are in the limited range.
        picture->colorspace = static_cast<AVColorSpace>(built.matrix);
        if (built.scales) picture->color_range = AVCOL_RANGE_MPEG;
    }
    return sink(picture, chain_.output_time_base());
}

// Once an interlaced picture has been seen, all pictures of that size and
// pixel format go through the deinterlacer, to keep their order; another
// size, pixel format, pixel shape, colour tags or HDR transfer needs a new
// chain.
bool VideoNormaliser::needs_rebuild(const AVFrame* picture, bool deinterlace, int transfer) const {
    const VideoChainInput& built = chain_.built_for();
    return chain_.built() &&
           (picture->width != built.width || picture->height != built.height || picture->format != built.pix_fmt ||
            av_cmp_q(picture->sample_aspect_ratio, built.sample_aspect) != 0 ||
            picture->colorspace != built.colorspace || picture->color_range != built.color_range ||
            transfer != built.transfer || (deinterlace && !built.deinterlaces));
}

Status VideoNormaliser::normalise(AVFrame* picture, const PictureSink& sink) {
    // The renditions scale every picture at its own shape: the shape of a
    // pixel is settled here, from the stream or the picture.
    picture->sample_aspect_ratio = av_guess_sample_aspect_ratio(input_->context.get(), input_->video, picture);
    const bool deinterlace = wants_deinterlacing(picture);
    int transfer = hdr_transfer(picture);
    if (transfer != AVCOL_TRC_UNSPECIFIED && !deinterlace && own_hdr_conversion_ && HdrConverter::handles(picture)) {
        // Now an SDR picture like any other, already brought down in size.
        const PictureArea size = reduced_size(picture, input_->upright_turn, largest_width_, largest_height_);
        RETURN_IF_FAILED(hdr_.convert(picture, transfer, size, converted_.get()));
        picture = converted_.get();
        transfer = AVCOL_TRC_UNSPECIFIED;
    }
    if (transfer != AVCOL_TRC_UNSPECIFIED && !can_tone_map(transfer)) transfer = AVCOL_TRC_UNSPECIFIED;
    if (needs_rebuild(picture, deinterlace, transfer)) RETURN_IF_FAILED(finish(sink));
    if (!chain_.built()) {
        // JPEG-range pictures (camera MJPEG) are left to the renditions'
        // scalers, which read them without the scale filter's warning.
        const PictureArea size = transfer == AVCOL_TRC_UNSPECIFIED && jpeg_range_format(picture->format)
                                 ? PictureArea{}
                                 : reduced_size(picture, input_->upright_turn, largest_width_, largest_height_);
        if (!deinterlace && input_->upright_turn == 0 && transfer == AVCOL_TRC_UNSPECIFIED && size.width == 0) {
            return sink(picture, input_->video->time_base);
        }
        RETURN_IF_FAILED(build_chain(picture, deinterlace, transfer, size));
    }
    if (picture->pts != AV_NOPTS_VALUE) {
        picture->pts = av_rescale_q(picture->pts, input_->video->time_base, chain_.built_for().time_base);
    }
    return chain_.filter(picture, AV_BUFFERSRC_FLAG_KEEP_REF, filtered_.get(), chain_action(),
                         [&](AVFrame* filtered) { return take_filtered(filtered, sink); });
}

Status VideoNormaliser::finish(const PictureSink& sink) {
    if (!chain_.built()) return Status{};
    return chain_.drain(filtered_.get(), chain_action(),
                        [&](AVFrame* filtered) { return take_filtered(filtered, sink); });
}

Status VideoNormaliser::open(const SourceInput& input, int largest_width, int largest_height) {
    input_ = &input;
    largest_width_ = largest_width;
    largest_height_ = largest_height;
    filtered_.reset(av_frame_alloc());
    converted_.reset(av_frame_alloc());
    return filtered_ && converted_ ? Status{} : Status{AVERROR(ENOMEM), "allocating packets and frames"};
}

}  // namespace corvane
