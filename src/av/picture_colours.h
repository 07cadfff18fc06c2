#pragma once

// How a picture's colours are read when it does not say.

extern "C" {
#include <libavutil/pixfmt.h>
}

#include <algorithm>

namespace corvane {

// The colour matrix a picture's numbers are in. An untagged picture of an
// SD size (webcams, DVDs, older camcorders) is read as BT.601, as players
// read it; any other untagged picture as BT.709. `width` x `height` is the
// size the source was made at, before any scaling.
inline int assumed_matrix(int colorspace, int width, int height) {
    switch (colorspace) {
        case AVCOL_SPC_BT709:
        case AVCOL_SPC_FCC:
        case AVCOL_SPC_BT470BG:
        case AVCOL_SPC_SMPTE170M:
        case AVCOL_SPC_SMPTE240M:
        case AVCOL_SPC_BT2020_NCL:
        case AVCOL_SPC_BT2020_CL:
            return colorspace;
        default:
            break;
    }
    const int long_side = std::max(width, height);
    const int short_side = std::min(width, height);
    return long_side <= 1024 && short_side <= 576 ? AVCOL_SPC_SMPTE170M : AVCOL_SPC_BT709;
}

// Whether a pixel format is one of the JPEG-range formats (camera MJPEG,
// cover art), full range by their name.
inline bool jpeg_range_format(int pix_fmt) {
    return pix_fmt == AV_PIX_FMT_YUVJ420P || pix_fmt == AV_PIX_FMT_YUVJ422P || pix_fmt == AV_PIX_FMT_YUVJ444P ||
           pix_fmt == AV_PIX_FMT_YUVJ440P;
}

}  // namespace corvane
