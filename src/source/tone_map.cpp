#include "source/tone_map.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "source/tone_map_kernels.h"

namespace corvane {

using namespace tone_map_detail;

namespace {

inline float clamped(float x, float low, float high) { return x < low ? low : (x > high ? high : x); }

inline float gamma_709(float x) {
    const float size = std::fabs(x);
    int32_t bits;
    std::memcpy(&bits, &size, sizeof bits);
    const int exponent = (bits >> 23) - 127;
    const int32_t mantissa_bits = (bits & 0x007fffff) | 0x3f800000;
    float m;
    std::memcpy(&m, &mantissa_bits, sizeof m);
    m -= 1.0f;
    const float root = kRootMantissa[0] + m * (kRootMantissa[1] + m * (kRootMantissa[2] +
                                               m * (kRootMantissa[3] + m * kRootMantissa[4])));
    const float t = exponent * (5.0f / 12.0f);
    const float whole = std::floor(t);
    const float f = t - whole;
    const float power = kExp2[0] + f * (kExp2[1] + f * (kExp2[2] + f * (kExp2[3] + f * kExp2[4])));
    const float result = std::ldexp(root * power, static_cast<int>(whole));
    return x < 0.0f ? -result : result;
}

inline float tone_factor(float brightest) {
    if (!(brightest > static_cast<float>(kCurveKnee))) return 1.0f;
    return kCurve.scale * (brightest + kCurve.a) / ((brightest + kCurve.b) * brightest);
}

inline uint8_t to_byte(float x) { return static_cast<uint8_t>(clamped(x + 0.5f, 0.0f, 255.0f)); }

// Pixels [first, width) of one row (see RowIn and RowOut). An even column
// takes its chroma sample, an odd one the mean of the two around it.
void convert_row_plain(const ToneMapTables& t, const RowIn& in, int first, int width, const RowOut& out) {
    const float* to_linear = t.to_linear.data();
    const float top = ToneMapTables::kCodes - 1;
    for (int x = first; x < width; ++x) {
        const int i = x / 2;
        const float cb = x % 2 ? 0.5f * (in.cb[i] + in.cb[i + 1]) : in.cb[i];
        const float cr = x % 2 ? 0.5f * (in.cr[i] + in.cr[i + 1]) : in.cr[i];
        const float y = in.luma[x] * t.luma_scale + t.luma_offset;
        const float signal[3] = {y + kRedFromCr * cr, y - kGreenFromCb * cb - kGreenFromCr * cr, y + kBlueFromCb * cb};
        float light[3];
        for (int c = 0; c < 3; ++c) light[c] = to_linear[static_cast<int>(clamped(signal[c], 0.0f, 1.0f) * top + 0.5f)];
        float rgb[3];
        for (int c = 0; c < 3; ++c) {
            rgb[c] = kGamut[c][0] * light[0] + kGamut[c][1] * light[1] + kGamut[c][2] * light[2];
        }
        const float factor = tone_factor(std::max(std::max(rgb[0], rgb[1]), rgb[2]));
        for (int c = 0; c < 3; ++c) rgb[c] = gamma_709(rgb[c] * factor);
        const float y_out = kLuma709[0] * rgb[0] + kLuma709[1] * rgb[1] + kLuma709[2] * rgb[2];
        out.luma[x] = to_byte(16.0f + 219.0f * y_out);
        out.blue_diff[x] = (out.add ? out.blue_diff[x] : 0.0f) + (rgb[2] - y_out);
        out.red_diff[x] = (out.add ? out.red_diff[x] : 0.0f) + (rgb[0] - y_out);
    }
}

// One row, on the instructions the tables ask for.
void convert_row(const ToneMapTables& t, const RowIn& in, int width, const RowOut& out) {
    int done = 0;
    if (t.kernel == ToneMapKernel::kAvx512) done = convert_row_avx512(t, in, width, out);
    if (t.kernel == ToneMapKernel::kAvx2) done = convert_row_avx2(t, in, width, out);
    convert_row_plain(t, in, done, width, out);
}

// The chroma between a pair of rows, for luma row `row` of it: chroma sits
// between rows 2j and 2j + 1, so a row takes 3/4 of its own chroma row and
// 1/4 of the nearer neighbour. One more sample, a copy of the last, closes
// the row.
void chroma_for_row(const ToneMapTables& t, const uint16_t* plane, ptrdiff_t stride, int width, int height, int row,
                    float* column) {
    const int chroma_width = (width + 1) / 2;
    const int chroma_height = (height + 1) / 2;
    const int own = row / 2;
    const int near = std::clamp(row % 2 == 0 ? own - 1 : own + 1, 0, chroma_height - 1);
    const uint16_t* a = plane + own * stride;
    const uint16_t* b = plane + near * stride;
    const float scale = t.chroma_scale;
    const float offset = t.chroma_offset;
    int i = t.kernel == ToneMapKernel::kAvx512 ? chroma_column_avx512(a, b, chroma_width, scale, offset, column) : 0;
    for (; i < chroma_width; ++i) column[i] = (0.75f * a[i] + 0.25f * b[i]) * scale + offset;
    column[chroma_width] = column[chroma_width - 1];
}

// The chroma of a pair of rows (their differences summed) taken down to one
// sample per two columns, sited on the even column: 1/4, 1/2, 1/4 of the
// three columns around it, the mean of the two rows.
void chroma_out(const ToneMapTables& t, const float* sum, int width, int pair_rows, float scale, uint8_t* chroma) {
    if (pair_rows == 1) scale *= 2.0f;  // a row of its own is the pair's mean
    const int chroma_width = (width + 1) / 2;
    auto sample = [&](int i) {
        const int left = std::max(2 * i - 1, 0);
        const int right = std::min(2 * i + 1, width - 1);
        chroma[i] = to_byte(128.0f + scale * (0.125f * (sum[left] + sum[right]) + 0.25f * sum[2 * i]));
    };
    sample(0);
    int i = t.kernel == ToneMapKernel::kAvx512 ? chroma_out_avx512(sum, width, scale, chroma) : 1;
    // Inside the row, no edge to mind: a loop the compiler vectorises.
    for (; i < width / 2; ++i) {
        chroma[i] = to_byte(128.0f + scale * (0.125f * (sum[2 * i - 1] + sum[2 * i + 1]) + 0.25f * sum[2 * i]));
    }
    for (; i < chroma_width; ++i) sample(i);
}

// The ends, in s, of segment i of the transfer function's cubics: the s
// whose s + offset has an exponent field and first kSegmentBits mantissa
// bits that, read as one number, are i more than the offset's own.
std::pair<double, double> segment_ends(int i) {
    const double offset = ToneMapTables::kSegmentOffset;
    const int steps = 1 << ToneMapTables::kSegmentBits;
    int exponent;
    const double mantissa = std::frexp(offset, &exponent) * 2.0 - 1.0;  // offset = 2^(exponent - 1) * (1 + mantissa)
    const int step = static_cast<int>(mantissa * steps) + i;
    const double octave = std::ldexp(1.0, exponent - 1 + step / steps);
    const double low = octave * (1.0 + static_cast<double>(step % steps) / steps) - offset;
    return {std::max(low, 0.0), std::min(low + octave / steps, 1.0)};
}

}  // namespace

double pq_to_linear(double signal) {
    const double m1 = 2610.0 / 16384, m2 = 2523.0 / 4096 * 128;
    const double c1 = 3424.0 / 4096, c2 = 2413.0 / 4096 * 32, c3 = 2392.0 / 4096 * 32;
    const double p = std::pow(std::max(signal, 0.0), 1.0 / m2);
    return std::pow(std::max(p - c1, 0.0) / (c2 - c3 * p), 1.0 / m1) * 10000.0 / kReferenceWhite;
}

double hlg_to_scene(double signal) {
    const double a = 0.17883277, b = 1.0 - 4.0 * a, c = 0.5 - a * std::log(4.0 * a);
    signal = std::max(signal, 0.0);
    return signal <= 0.5 ? signal * signal / 3.0 : (std::exp((signal - c) / a) + b) / 12.0;
}

double hlg_to_display(double signal) { return std::pow(hlg_to_scene(signal), 1.2) * 1000.0 / kReferenceWhite; }

double tone_curve(double brightest) {
    if (brightest <= kCurveKnee) return brightest;
    return kCurve.scale * (brightest + kCurve.a) / (brightest + kCurve.b);
}

float display_gamma(float light) { return gamma_709(light); }

// Newton's divided differences, expanded into powers of x.
void tone_map_detail::polynomial_through(const double* x, const double* y, int n, double* coefficient) {
    double difference[8], basis[9] = {1.0};
    std::copy(y, y + n, difference);
    for (int level = 1; level < n; ++level) {
        for (int i = n - 1; i >= level; --i) difference[i] = (difference[i] - difference[i - 1]) / (x[i] - x[i - level]);
    }
    std::fill(coefficient, coefficient + n, 0.0);
    for (int i = 0; i < n; ++i) {
        for (int k = 0; k <= i; ++k) coefficient[k] += difference[i] * basis[k];
        // basis *= (x - x[i]); basis[i + 1] is still 0.
        for (int k = i + 1; k > 0; --k) basis[k] = basis[k - 1] - x[i] * basis[k];
        basis[0] *= -x[i];
    }
}

double tone_map_detail::chebyshev_point(double low, double high, int k, int n) {
    constexpr double kPi = 3.14159265358979323846;
    return 0.5 * (low + high) + 0.5 * (high - low) * std::cos((2 * k + 1) * kPi / (2 * n));
}

bool tone_map_kernel_runs(ToneMapKernel kernel) {
    switch (kernel) {
        case ToneMapKernel::kAvx512: return runs_avx512();
        case ToneMapKernel::kAvx2: return runs_avx2();
        case ToneMapKernel::kPlain: return true;
    }
    return false;
}

ToneMapKernel widest_tone_map_kernel() {
    static const ToneMapKernel widest = runs_avx512() ? ToneMapKernel::kAvx512
                                        : runs_avx2()  ? ToneMapKernel::kAvx2
                                                       : ToneMapKernel::kPlain;
    return widest;
}

ToneMapTables::ToneMapTables(HdrTransfer transfer_, bool full_range_, ToneMapKernel kernel_)
    : transfer(transfer_), full_range(full_range_), to_linear(kCodes),
      kernel(tone_map_kernel_runs(kernel_) ? kernel_ : ToneMapKernel::kPlain) {
    luma_scale = full_range ? 1.0f / 1023 : 1.0f / 876;
    luma_offset = full_range ? 0.0f : -64.0f / 876;
    chroma_scale = full_range ? 1.0f / 1023 : 1.0f / 896;
    chroma_offset = -512.0f * chroma_scale;
    auto light = [&](double signal) { return transfer == HdrTransfer::kPq ? pq_to_linear(signal) : hlg_to_display(signal); };
    for (int i = 0; i < kCodes; ++i) to_linear[i] = static_cast<float>(light(static_cast<double>(i) / (kCodes - 1)));
    for (int i = 0; i < 32; ++i) {
        // The cubic through four Chebyshev points of the segment.
        const auto [low, high] = segment_ends(i);
        double x[4], y[4], c[4];
        for (int k = 0; k < 4; ++k) {
            x[k] = chebyshev_point(low, high, k, 4);
            y[k] = light(x[k]);
        }
        polynomial_through(x, y, 4, c);
        for (int k = 0; k < 4; ++k) cubic[k][i] = static_cast<float>(c[k]);
    }
}

void ToneMapRows::resize(int width) {
    cb.resize(width / 2 + 2);
    cr.resize(width / 2 + 2);
    blue_diff.resize(width);
    red_diff.resize(width);
}

void tone_map_rows(const ToneMapTables& tables, const HdrPlanes& in, const SdrPlanes& out, int width, int height,
                   int first_pair, int end_pair, ToneMapRows& rows) {
    if (static_cast<int>(rows.blue_diff.size()) < width) rows.resize(width);
    for (int pair = first_pair; pair < end_pair; ++pair) {
        const int pair_rows = std::min(2, height - 2 * pair);
        for (int k = 0; k < pair_rows; ++k) {
            const int row = 2 * pair + k;
            chroma_for_row(tables, in.plane[1], in.stride[1], width, height, row, rows.cb.data());
            chroma_for_row(tables, in.plane[2], in.stride[2], width, height, row, rows.cr.data());
            convert_row(tables, RowIn{in.plane[0] + row * in.stride[0], rows.cb.data(), rows.cr.data()}, width,
                        RowOut{out.plane[0] + row * out.stride[0], rows.blue_diff.data(), rows.red_diff.data(), k == 1});
        }
        chroma_out(tables, rows.blue_diff.data(), width, pair_rows, kBlueDiffToCb, out.plane[1] + pair * out.stride[1]);
        chroma_out(tables, rows.red_diff.data(), width, pair_rows, kRedDiffToCr, out.plane[2] + pair * out.stride[2]);
    }
}

}  // namespace corvane
