#pragma once

// Where a picture of one shape is drawn in a picture of another: the one
// rule by which the renditions fit the source, and by which the source
// brings a large picture down to the largest rendition's size.

extern "C" {
#include <libavutil/rational.h>
}

#include <algorithm>
#include <cmath>

namespace corvane {

// Where in a picture the source is drawn; the rest is black bars.
struct PictureArea {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// The largest area of a width x height picture that shows a source_width x
// source_height picture (pixels shaped `sample_aspect`; 0/1: square) at its
// own shape, centred. Sources of another shape (4:3, wide cinema frames) get
// black bars instead of being stretched; shapes within 2 % fill the picture
// (854x480 is not quite 16:9).
inline PictureArea fit_area(int source_width, int source_height, AVRational sample_aspect, int width,
                            int height) {
    PictureArea full{0, 0, width, height};
    if (source_width <= 0 || source_height <= 0) return full;
    const double pixel = sample_aspect.num > 0 && sample_aspect.den > 0 ? av_q2d(sample_aspect) : 1.0;
    const double shape = source_width * pixel / source_height;
    const double target = static_cast<double>(width) / height;
    if (std::fabs(shape / target - 1.0) <= 0.02) return full;
    auto even = [](double v) { return std::max(2, static_cast<int>(std::lround(v / 2)) * 2); };
    PictureArea area = full;
    if (shape > target) {
        area.height = std::min(height, even(width / shape));
        area.y = (height - area.height) / 2 & ~1;
    } else {
        area.width = std::min(width, even(height * shape));
        area.x = (width - area.width) / 2 & ~1;
    }
    return area;
}

}  // namespace corvane
