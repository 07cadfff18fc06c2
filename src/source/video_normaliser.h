#pragma once

// The source's video normaliser: the filter chain that deinterlaces, brings
// large pictures down to the largest rendition's size, tone-maps HDR and
// turns the pictures upright, once for every rendition. Pictures that need
// none of it pass untouched. HDR pictures as phones record them are
// converted to SDR by its own converter (source/hdr_converter.h) before
// the chain, which then only turns them, if at all.

#include <functional>

#include "av/av_handles.h"
#include "av/filter_chain.h"
#include "av/picture_area.h"
#include "source/hdr_converter.h"
#include "source/source_input.h"

namespace corvane {

// What the video chain was built for: a picture that differs needs the chain
// drained and built again.
struct VideoChainInput {
    int width = 0;
    int height = 0;
    int pix_fmt = AV_PIX_FMT_NONE;
    AVRational sample_aspect{0, 1};
    int colorspace = AVCOL_SPC_UNSPECIFIED;  // as the pictures are tagged
    int color_range = AVCOL_RANGE_UNSPECIFIED;
    int matrix = AVCOL_SPC_BT709;  // the matrix their numbers are read in
    bool deinterlaces = false;
    bool scales = false;  // brought down to the largest rendition's size
    int transfer = AVCOL_TRC_UNSPECIFIED;  // the HDR transfer it tone-maps, if any
    AVRational time_base{1, 1};
};

// Where normalised pictures go: the picture and the time base of its stamp.
using PictureSink = std::function<Status(AVFrame*, AVRational)>;

class VideoNormaliser {
public:
    // Pictures larger than the largest rendition (`largest_width` x
    // `largest_height`, upright; 0 x 0: none planned) are brought down to its
    // size, before any tone mapping.
    Status open(const SourceInput& input, int largest_width, int largest_height);
    // Normalises one decoded picture (its stamp in the stream's time base)
    // and hands every picture ready to `sink`.
    Status normalise(AVFrame* picture, const PictureSink& sink);
    // Drains the chain into `sink`.
    Status finish(const PictureSink& sink);
    void close() { chain_.release(); }
    // Leaves every HDR picture to the filter chain (zscale and tonemap), for
    // comparisons.
    void convert_hdr_with_filters() { own_hdr_conversion_ = false; }

private:
    int hdr_transfer(const AVFrame* picture) const;
    bool can_tone_map(int transfer);
    bool needs_rebuild(const AVFrame* picture, bool deinterlace, int transfer) const;
    Status build_chain(const AVFrame* picture, bool deinterlace, int transfer, const PictureArea& size);
    const char* chain_action() const;
    Status take_filtered(AVFrame* picture, const PictureSink& sink);

    const SourceInput* input_ = nullptr;
    int largest_width_ = 0;
    int largest_height_ = 0;
    FilterChain<VideoChainInput> chain_;  // made for the first picture that needs it
    FramePtr filtered_;                   // one pull from the chain
    HdrConverter hdr_;                    // HDR pictures it converts itself
    FramePtr converted_;                  // the last picture it converted
    bool own_hdr_conversion_ = true;
    bool tone_map_warned_ = false;
};

}  // namespace corvane
