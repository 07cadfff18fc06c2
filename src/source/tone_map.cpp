#include "source/tone_map.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define CORVANE_AVX2 1
#endif

namespace corvane {

namespace {

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
// within 3e-5), so that no table is read for it.
constexpr float kRootMantissa[5] = {1.00002403f, 0.415895725f, -0.115536092f, 0.0449988825f, -0.0105607106f};
constexpr float kExp2[5] = {1.00000729f, 0.692931258f, 0.241710332f, 0.0516668395f, 0.0136765236f};

// The Möbius curve's constants, and its factor for the brightest component
// (1 up to the knee: 70 % of white and below are left as they are).
struct Curve {
    float a, b, scale;
};
Curve curve() {
    const double j = kCurveKnee, peak = kCurvePeak;
    const double a = -j * j * (peak - 1.0) / (j * j - 2.0 * j + peak);
    const double b = (j * j - 2.0 * j * peak + peak) / std::max(peak - 1.0, 1e-6);
    return Curve{static_cast<float>(a), static_cast<float>(b),
                 static_cast<float>((b * b + 2.0 * b * j + j * j) / (b - a))};
}
const Curve kCurve = curve();

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

// One row: 8-bit luma out, and B' - Y', R' - Y' of every pixel for the
// chroma. `cb` and `cr` are the row's chroma, already brought up to one
// sample a pixel and read as numbers in [-0.5, 0.5].
void convert_row_plain(const ToneMapTables& t, const uint16_t* luma, const float* cb, const float* cr, int width,
                       uint8_t* out, float* blue_diff, float* red_diff) {
    const float* to_linear = t.to_linear.data();
    const float top = ToneMapTables::kCodes - 1;
    for (int x = 0; x < width; ++x) {
        const float y = luma[x] * t.luma_scale + t.luma_offset;
        const float signal[3] = {y + kRedFromCr * cr[x], y - kGreenFromCb * cb[x] - kGreenFromCr * cr[x],
                                 y + kBlueFromCb * cb[x]};
        float light[3];
        for (int c = 0; c < 3; ++c) light[c] = to_linear[static_cast<int>(clamped(signal[c], 0.0f, 1.0f) * top + 0.5f)];
        float rgb[3];
        for (int c = 0; c < 3; ++c) {
            rgb[c] = kGamut[c][0] * light[0] + kGamut[c][1] * light[1] + kGamut[c][2] * light[2];
        }
        const float factor = tone_factor(std::max(std::max(rgb[0], rgb[1]), rgb[2]));
        for (int c = 0; c < 3; ++c) rgb[c] = gamma_709(rgb[c] * factor);
        const float y_out = kLuma709[0] * rgb[0] + kLuma709[1] * rgb[1] + kLuma709[2] * rgb[2];
        out[x] = to_byte(16.0f + 219.0f * y_out);
        blue_diff[x] = rgb[2] - y_out;
        red_diff[x] = rgb[0] - y_out;
    }
}

#ifdef CORVANE_AVX2
// The same, eight pixels at a time with AVX2 and FMA; only the transfer
// function is read from its table (a gather).
#define CORVANE_WIDE __attribute__((target("avx2,fma")))

CORVANE_WIDE inline __m256 polynomial8(const float (&c)[5], __m256 x) {
    __m256 sum = _mm256_set1_ps(c[4]);
    for (int i = 3; i >= 0; --i) sum = _mm256_fmadd_ps(sum, x, _mm256_set1_ps(c[i]));
    return sum;
}

CORVANE_WIDE inline __m256 gamma_709_8(__m256 x) {
    const __m256 sign_bit = _mm256_set1_ps(-0.0f);
    const __m256i bits = _mm256_castps_si256(_mm256_andnot_ps(sign_bit, x));
    const __m256 exponent =
        _mm256_cvtepi32_ps(_mm256_sub_epi32(_mm256_srli_epi32(bits, 23), _mm256_set1_epi32(127)));
    const __m256 m = _mm256_sub_ps(
        _mm256_castsi256_ps(_mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi32(0x007fffff)),
                                            _mm256_set1_epi32(0x3f800000))),
        _mm256_set1_ps(1.0f));
    const __m256 t = _mm256_mul_ps(exponent, _mm256_set1_ps(5.0f / 12.0f));
    const __m256 whole = _mm256_floor_ps(t);
    const __m256 power = polynomial8(kExp2, _mm256_sub_ps(t, whole));
    const __m256 mantissa_part = _mm256_mul_ps(polynomial8(kRootMantissa, m), power);
    // Times 2^whole, by adding to the exponent field.
    const __m256i scaled = _mm256_add_epi32(_mm256_castps_si256(mantissa_part),
                                            _mm256_slli_epi32(_mm256_cvtps_epi32(whole), 23));
    return _mm256_or_ps(_mm256_castsi256_ps(scaled), _mm256_and_ps(x, sign_bit));
}

CORVANE_WIDE inline __m256 tone_factor8(__m256 brightest) {
    const __m256 curved = _mm256_div_ps(
        _mm256_mul_ps(_mm256_set1_ps(kCurve.scale), _mm256_add_ps(brightest, _mm256_set1_ps(kCurve.a))),
        _mm256_mul_ps(_mm256_add_ps(brightest, _mm256_set1_ps(kCurve.b)), brightest));
    const __m256 above = _mm256_cmp_ps(brightest, _mm256_set1_ps(static_cast<float>(kCurveKnee)), _CMP_GT_OQ);
    return _mm256_blendv_ps(_mm256_set1_ps(1.0f), curved, above);
}

CORVANE_WIDE inline __m256 to_linear8(const float* to_linear, __m256 signal) {
    const __m256 inside = _mm256_min_ps(_mm256_max_ps(signal, _mm256_setzero_ps()), _mm256_set1_ps(1.0f));
    const __m256i index = _mm256_cvttps_epi32(
        _mm256_fmadd_ps(inside, _mm256_set1_ps(ToneMapTables::kCodes - 1), _mm256_set1_ps(0.5f)));
    return _mm256_i32gather_ps(to_linear, index, 4);
}

CORVANE_WIDE inline __m256 mix3(const float (&row)[3], __m256 r, __m256 g, __m256 b) {
    return _mm256_fmadd_ps(_mm256_set1_ps(row[0]), r,
                           _mm256_fmadd_ps(_mm256_set1_ps(row[1]), g, _mm256_mul_ps(_mm256_set1_ps(row[2]), b)));
}

// Converts the row's first pixels in eights; returns how many.
CORVANE_WIDE int convert_row_avx2(const ToneMapTables& t, const uint16_t* luma, const float* cb, const float* cr,
                                  int width, uint8_t* out, float* blue_diff, float* red_diff) {
    const float* to_linear = t.to_linear.data();
    int x = 0;
    for (; x + 8 <= width; x += 8) {
        const __m128i words = _mm_loadu_si128(reinterpret_cast<const __m128i*>(luma + x));
        const __m256 y = _mm256_fmadd_ps(_mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(words)),
                                         _mm256_set1_ps(t.luma_scale), _mm256_set1_ps(t.luma_offset));
        const __m256 u = _mm256_loadu_ps(cb + x);
        const __m256 v = _mm256_loadu_ps(cr + x);
        const __m256 r = to_linear8(to_linear, _mm256_fmadd_ps(_mm256_set1_ps(kRedFromCr), v, y));
        const __m256 g = to_linear8(to_linear, _mm256_fnmadd_ps(_mm256_set1_ps(kGreenFromCr), v,
                                                                 _mm256_fnmadd_ps(_mm256_set1_ps(kGreenFromCb), u, y)));
        const __m256 b = to_linear8(to_linear, _mm256_fmadd_ps(_mm256_set1_ps(kBlueFromCb), u, y));
        const __m256 r709 = mix3(kGamut[0], r, g, b);
        const __m256 g709 = mix3(kGamut[1], r, g, b);
        const __m256 b709 = mix3(kGamut[2], r, g, b);
        const __m256 factor = tone_factor8(_mm256_max_ps(_mm256_max_ps(r709, g709), b709));
        const __m256 r_out = gamma_709_8(_mm256_mul_ps(r709, factor));
        const __m256 g_out = gamma_709_8(_mm256_mul_ps(g709, factor));
        const __m256 b_out = gamma_709_8(_mm256_mul_ps(b709, factor));
        const __m256 y_out = mix3(kLuma709, r_out, g_out, b_out);
        const __m256 code = _mm256_min_ps(
            _mm256_max_ps(_mm256_fmadd_ps(y_out, _mm256_set1_ps(219.0f), _mm256_set1_ps(16.5f)),
                          _mm256_setzero_ps()),
            _mm256_set1_ps(255.0f));
        const __m256i whole = _mm256_cvttps_epi32(code);
        const __m128i packed = _mm_packus_epi32(_mm256_castsi256_si128(whole), _mm256_extracti128_si256(whole, 1));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + x), _mm_packus_epi16(packed, packed));
        _mm256_storeu_ps(blue_diff + x, _mm256_sub_ps(b_out, y_out));
        _mm256_storeu_ps(red_diff + x, _mm256_sub_ps(r_out, y_out));
    }
    return x;
}

bool has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}
#endif

// One row, on the widest instructions this processor has.
void convert_row(const ToneMapTables& t, const uint16_t* luma, const float* cb, const float* cr, int width,
                 uint8_t* out, float* blue_diff, float* red_diff) {
    int done = 0;
#ifdef CORVANE_AVX2
    static const bool avx2 = has_avx2();
    if (avx2) done = convert_row_avx2(t, luma, cb, cr, width, out, blue_diff, red_diff);
#endif
    convert_row_plain(t, luma + done, cb + done, cr + done, width - done, out + done, blue_diff + done,
                      red_diff + done);
}

// One chroma row of the source brought up to one sample a pixel for luma
// row `row`: chroma sits between rows 2j and 2j + 1 (so a row takes 3/4 of
// its own chroma row and 1/4 of the nearer neighbour) and on the even
// columns (an odd column takes the mean of its two neighbours).
void chroma_for_row(const ToneMapTables& t, const uint16_t* plane, ptrdiff_t stride, int width, int height, int row,
                    float* column, float* up) {
    const int chroma_width = (width + 1) / 2;
    const int chroma_height = (height + 1) / 2;
    const int own = row / 2;
    const int near = std::clamp(row % 2 == 0 ? own - 1 : own + 1, 0, chroma_height - 1);
    const uint16_t* a = plane + own * stride;
    const uint16_t* b = plane + near * stride;
    const float scale = t.chroma_scale;
    const float offset = t.chroma_offset;
    for (int i = 0; i < chroma_width; ++i) column[i] = (0.75f * a[i] + 0.25f * b[i]) * scale + offset;
    column[chroma_width] = column[chroma_width - 1];
    for (int i = 0; i < width / 2; ++i) {
        up[2 * i] = column[i];
        up[2 * i + 1] = 0.5f * (column[i] + column[i + 1]);
    }
    if (width % 2) up[width - 1] = column[chroma_width - 1];
}

// The chroma of a pair of rows taken down to one sample per two columns,
// sited on the even column: 1/4, 1/2, 1/4 of the three columns around it,
// the mean of the two rows.
void chroma_out(const std::vector<float> (&diff)[2], int width, int pair_rows, float scale, uint8_t* chroma) {
    const float* first = diff[0].data();
    const float* second = diff[pair_rows - 1].data();
    const int chroma_width = (width + 1) / 2;
    auto sample = [&](int i, int left, int right) {
        const float mean = 0.125f * (first[left] + second[left] + first[right] + second[right]) +
                           0.25f * (first[2 * i] + second[2 * i]);
        chroma[i] = to_byte(128.0f + scale * mean);
    };
    sample(0, 0, std::min(1, width - 1));
    // Inside the row, no edge to mind: a loop the compiler vectorises.
    int i = 1;
    for (; i < width / 2; ++i) {
        const float mean = 0.125f * (first[2 * i - 1] + second[2 * i - 1] + first[2 * i + 1] + second[2 * i + 1]) +
                           0.25f * (first[2 * i] + second[2 * i]);
        chroma[i] = to_byte(128.0f + scale * mean);
    }
    for (; i < chroma_width; ++i) sample(i, 2 * i - 1, std::min(2 * i + 1, width - 1));
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

ToneMapTables::ToneMapTables(HdrTransfer transfer_, bool full_range_)
    : transfer(transfer_), full_range(full_range_), to_linear(kCodes) {
    luma_scale = full_range ? 1.0f / 1023 : 1.0f / 876;
    luma_offset = full_range ? 0.0f : -64.0f / 876;
    chroma_scale = full_range ? 1.0f / 1023 : 1.0f / 896;
    chroma_offset = -512.0f * chroma_scale;
    for (int i = 0; i < kCodes; ++i) {
        const double signal = static_cast<double>(i) / (kCodes - 1);
        to_linear[i] = static_cast<float>(transfer == HdrTransfer::kPq ? pq_to_linear(signal) : hlg_to_display(signal));
    }
}

void ToneMapRows::resize(int width) {
    cb.resize(width);
    cr.resize(width);
    column.resize(width / 2 + 2);
    for (int i = 0; i < 2; ++i) {
        blue_diff[i].resize(width);
        red_diff[i].resize(width);
    }
}

void tone_map_rows(const ToneMapTables& tables, const HdrPlanes& in, const SdrPlanes& out, int width, int height,
                   int first_pair, int end_pair, ToneMapRows& rows) {
    if (static_cast<int>(rows.cb.size()) < width) rows.resize(width);
    for (int pair = first_pair; pair < end_pair; ++pair) {
        const int pair_rows = std::min(2, height - 2 * pair);
        for (int k = 0; k < pair_rows; ++k) {
            const int row = 2 * pair + k;
            chroma_for_row(tables, in.plane[1], in.stride[1], width, height, row, rows.column.data(), rows.cb.data());
            chroma_for_row(tables, in.plane[2], in.stride[2], width, height, row, rows.column.data(), rows.cr.data());
            convert_row(tables, in.plane[0] + row * in.stride[0], rows.cb.data(), rows.cr.data(), width,
                        out.plane[0] + row * out.stride[0], rows.blue_diff[k].data(), rows.red_diff[k].data());
        }
        chroma_out(rows.blue_diff, width, pair_rows, kBlueDiffToCb, out.plane[1] + pair * out.stride[1]);
        chroma_out(rows.red_diff, width, pair_rows, kRedDiffToCr, out.plane[2] + pair * out.stride[2]);
    }
}

}  // namespace corvane
