#pragma once

// What the conversion's row kernels share (source/tone_map.cpp holds the
// plain one, source/tone_map_x86.cpp the vector ones): the constants of the
// arithmetic and the shape of one row's work.

#include <algorithm>
#include <cstdint>

#include "source/tone_map.h"

namespace corvane::tone_map_detail {

// Reference white: 203 cd/m² (BT.2408) is SDR white, 1.0 in linear light.
constexpr double kReferenceWhite = 203.0;
// The tone curve: left alone up to 70 % of white; the brightest a source is
// taken to hold, 1,000 cd/m² (as phones master), lands on white.
constexpr double kCurveKnee = 0.7;
constexpr double kCurvePeak = 1000.0 / kReferenceWhite;

// BT.2020's matrix: R'G'B' from Y'CbCr.
constexpr float kRedFromCr = 1.4746f;
constexpr float kGreenFromCb = 0.164553f;
constexpr float kGreenFromCr = 0.571353f;
constexpr float kBlueFromCb = 1.8814f;
// BT.2020's primaries to BT.709's, in linear light (BT.2087).
constexpr float kGamut[3][3] = {{1.660491f, -0.587641f, -0.072850f},
                                {-0.124550f, 1.132900f, -0.008349f},
                                {-0.018151f, -0.100579f, 1.118730f}};
// BT.709's matrix and limited range, out.
constexpr float kLuma709[3] = {0.2126f, 0.7152f, 0.0722f};
constexpr float kBlueDiffToCb = 224.0f / 1.8556f;
constexpr float kRedDiffToCr = 224.0f / 1.5748f;

// BT.709's display gamma, x^(1/2.4) = 2^(5e/12) * m^(5/12) for x = 2^e * m:
// m^(5/12) on [1, 2) and 2^f on [0, 1) by polynomials (least squares, both
// within 3e-5).
constexpr float kRootMantissa[5] = {1.00002403f, 0.415895725f, -0.115536092f, 0.0449988825f, -0.0105607106f};
constexpr float kExp2[5] = {1.00000729f, 0.692931258f, 0.241710332f, 0.0516668395f, 0.0136765236f};

// The Möbius curve's constants: for the brightest component b above the
// knee, every component is multiplied by scale * (b + a) / ((b + b_) * b).
struct Curve {
    float a, b, scale;
};
constexpr Curve make_curve() {
    const double j = kCurveKnee, peak = kCurvePeak;
    const double a = -j * j * (peak - 1.0) / (j * j - 2.0 * j + peak);
    const double b = (j * j - 2.0 * j * peak + peak) / std::max(peak - 1.0, 1e-6);
    return Curve{static_cast<float>(a), static_cast<float>(b),
                 static_cast<float>((b * b + 2.0 * b * j + j * j) / (b - a))};
}
constexpr Curve kCurve = make_curve();

// One row's work. In: its luma, and the chroma between the rows of its pair
// (one sample per two columns, sited on the even column, plus a copy of the
// last one), read as numbers in [-0.5, 0.5]. Out: 8-bit luma, and B' - Y',
// R' - Y' of every pixel, written, or added to what the pair's first row
// wrote.
struct RowIn {
    const uint16_t* luma;
    const float* cb;
    const float* cr;
};
struct RowOut {
    uint8_t* luma;
    float* blue_diff;
    float* red_diff;
    bool add;
};

// Each converts the row's first pixels in whole steps of its width and
// returns how many; the plain loop does the rest.
int convert_row_avx2(const ToneMapTables& t, const RowIn& in, int width, const RowOut& out);
int convert_row_avx512(const ToneMapTables& t, const RowIn& in, int width, const RowOut& out);
// The summed chroma of a pair down to one sample per two columns (see
// chroma_out in source/tone_map.cpp): samples [1, n) for the n returned.
int chroma_out_avx512(const float* sum, int width, float scale, uint8_t* chroma);
// The chroma between two rows (see chroma_for_row): samples [0, n) for
// the n returned.
int chroma_column_avx512(const uint16_t* own, const uint16_t* near, int n, float scale, float offset, float* column);
// The coefficients of the polynomial through the points (x[i], y[i]),
// i < n <= 8: coefficient[k] of x^k.
void polynomial_through(const double* x, const double* y, int n, double* coefficient);
// The k-th of n Chebyshev points of [low, high] (where a polynomial through
// n points of a smooth function strays least from it).
double chebyshev_point(double low, double high, int k, int n);
bool runs_avx2();
bool runs_avx512();

}  // namespace corvane::tone_map_detail
