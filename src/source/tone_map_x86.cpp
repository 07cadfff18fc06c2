// The conversion's rows on x86's vector instructions: AVX2 with FMA eight
// pixels at a time, AVX-512 sixteen. Each is compiled for its instructions
// alone and chosen at run time, when the processor has them. Elsewhere the
// plain loop (source/tone_map.cpp) does all the work.

#include <cmath>
#include <cstring>

#include "source/tone_map_kernels.h"

#if defined(__x86_64__) && defined(__GNUC__)
// GCC 12 warns inside its own AVX-512 header (its bug 105593).
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace corvane::tone_map_detail {

namespace {

#define CORVANE_AVX2 __attribute__((target("avx2,fma")))
#define CORVANE_AVX512 __attribute__((target("avx512f,avx512dq,avx2,fma")))

// --- AVX2: the transfer function from its table (a gather), the gamma by
// polynomials.

CORVANE_AVX2 inline __m256 polynomial8(const float (&c)[5], __m256 x) {
    __m256 sum = _mm256_set1_ps(c[4]);
    for (int i = 3; i >= 0; --i) sum = _mm256_fmadd_ps(sum, x, _mm256_set1_ps(c[i]));
    return sum;
}

CORVANE_AVX2 inline __m256 gamma_709_8(__m256 x) {
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

CORVANE_AVX2 inline __m256 tone_factor8(__m256 brightest) {
    const __m256 curved = _mm256_div_ps(
        _mm256_mul_ps(_mm256_set1_ps(kCurve.scale), _mm256_add_ps(brightest, _mm256_set1_ps(kCurve.a))),
        _mm256_mul_ps(_mm256_add_ps(brightest, _mm256_set1_ps(kCurve.b)), brightest));
    const __m256 above = _mm256_cmp_ps(brightest, _mm256_set1_ps(static_cast<float>(kCurveKnee)), _CMP_GT_OQ);
    return _mm256_blendv_ps(_mm256_set1_ps(1.0f), curved, above);
}

CORVANE_AVX2 inline __m256 to_linear8(const float* to_linear, __m256 signal) {
    const __m256 inside = _mm256_min_ps(_mm256_max_ps(signal, _mm256_setzero_ps()), _mm256_set1_ps(1.0f));
    const __m256i index = _mm256_cvttps_epi32(
        _mm256_fmadd_ps(inside, _mm256_set1_ps(ToneMapTables::kCodes - 1), _mm256_set1_ps(0.5f)));
    return _mm256_i32gather_ps(to_linear, index, 4);
}

CORVANE_AVX2 inline __m256 mix3(const float (&row)[3], __m256 r, __m256 g, __m256 b) {
    return _mm256_fmadd_ps(_mm256_set1_ps(row[0]), r,
                           _mm256_fmadd_ps(_mm256_set1_ps(row[1]), g, _mm256_mul_ps(_mm256_set1_ps(row[2]), b)));
}

// Chroma for eight pixels from four samples and the next: a sample on the
// even columns, the mean of two on the odd ones.
CORVANE_AVX2 inline __m256 chroma_up8(const float* column) {
    const __m128 here = _mm_loadu_ps(column);
    const __m128 mean = _mm_mul_ps(_mm_add_ps(here, _mm_loadu_ps(column + 1)), _mm_set1_ps(0.5f));
    return _mm256_set_m128(_mm_unpackhi_ps(here, mean), _mm_unpacklo_ps(here, mean));
}

CORVANE_AVX2 inline void put_diff8(float* to, __m256 diff, bool add) {
    _mm256_storeu_ps(to, add ? _mm256_add_ps(_mm256_loadu_ps(to), diff) : diff);
}

// --- AVX-512: the gamma as x^(5/12) = 2^(5e/12) * m^(5/12) for x = 2^e * m:
// the first from a table of its 32 values (e in [-24, 7]; light below 2^-24
// counts as 2^-24, and tone-mapped light never nears 2^8) held in two
// registers, read by e's exponent field modulo 32; the second by a quartic
// on [1, 2).
struct GammaTables {
    float power[32];  // at (e + 127) % 32
    float root[5];    // coefficients of m^k
};

GammaTables gamma_tables() {
    GammaTables g{};
    for (int e = -24; e < 8; ++e) g.power[(e + 127) % 32] = static_cast<float>(std::exp2(e * (5.0 / 12.0)));
    double x[5], y[5], c[5];
    for (int k = 0; k < 5; ++k) {
        x[k] = chebyshev_point(1.0, 2.0, k, 5);
        y[k] = std::pow(x[k], 5.0 / 12.0);
    }
    polynomial_through(x, y, 5, c);
    for (int k = 0; k < 5; ++k) g.root[k] = static_cast<float>(c[k]);
    return g;
}
const GammaTables kGammaTables = gamma_tables();

CORVANE_AVX512 inline __m512 gamma_709_16(__m512 x, const __m512 (&power)[2]) {
    const __m512 size = _mm512_max_ps(_mm512_abs_ps(x), _mm512_set1_ps(0x1p-24f));
    const __m512 m = _mm512_getmant_ps(size, _MM_MANT_NORM_1_2, _MM_MANT_SIGN_zero);
    __m512 root = _mm512_set1_ps(kGammaTables.root[4]);
    for (int k = 3; k >= 0; --k) root = _mm512_fmadd_ps(root, m, _mm512_set1_ps(kGammaTables.root[k]));
    const __m512i exponent = _mm512_srli_epi32(_mm512_castps_si512(size), 23);
    const __m512 scaled = _mm512_mul_ps(root, _mm512_permutex2var_ps(power[0], exponent, power[1]));
    return _mm512_or_ps(scaled, _mm512_and_ps(x, _mm512_set1_ps(-0.0f)));
}

CORVANE_AVX512 inline __m512 tone_factor16(__m512 brightest) {
    const __mmask16 above = _mm512_cmp_ps_mask(brightest, _mm512_set1_ps(static_cast<float>(kCurveKnee)), _CMP_GT_OQ);
    // (A reciprocal good to 2^-14 is plenty for an 8-bit picture.)
    const __m512 curved = _mm512_mul_ps(
        _mm512_mul_ps(_mm512_set1_ps(kCurve.scale), _mm512_add_ps(brightest, _mm512_set1_ps(kCurve.a))),
        _mm512_rcp14_ps(_mm512_mul_ps(_mm512_add_ps(brightest, _mm512_set1_ps(kCurve.b)), brightest)));
    return _mm512_mask_blend_ps(above, _mm512_set1_ps(1.0f), curved);
}

inline int32_t float_bits(float x) {
    int32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return bits;
}

// The transfer function's cubics (ToneMapTables::cubic) in registers.
struct Cubics {
    __m512 low[4], high[4];  // segments 0-15 and 16-31
};

CORVANE_AVX512 inline Cubics cubics(const ToneMapTables& t) {
    Cubics c;
    for (int k = 0; k < 4; ++k) {
        c.low[k] = _mm512_loadu_ps(t.cubic[k]);
        c.high[k] = _mm512_loadu_ps(t.cubic[k] + 16);
    }
    return c;
}

CORVANE_AVX512 inline __m512 to_linear16(const Cubics& c, __m512 signal) {
    const __m512 s = _mm512_min_ps(_mm512_max_ps(signal, _mm512_setzero_ps()), _mm512_set1_ps(1.0f));
    // The segment: the exponent field and the first mantissa bits of
    // s + 0.35, from those of 0.35.
    constexpr int kShift = 23 - ToneMapTables::kSegmentBits;
    const __m512i bits = _mm512_castps_si512(_mm512_add_ps(s, _mm512_set1_ps(ToneMapTables::kSegmentOffset)));
    const __m512i segment = _mm512_sub_epi32(
        _mm512_srli_epi32(bits, kShift), _mm512_set1_epi32(float_bits(ToneMapTables::kSegmentOffset) >> kShift));
    __m512 light = _mm512_permutex2var_ps(c.low[3], segment, c.high[3]);
    for (int k = 2; k >= 0; --k) light = _mm512_fmadd_ps(light, s, _mm512_permutex2var_ps(c.low[k], segment, c.high[k]));
    return _mm512_max_ps(light, _mm512_setzero_ps());
}

CORVANE_AVX512 inline __m512 mix3_16(const float (&row)[3], __m512 r, __m512 g, __m512 b) {
    return _mm512_fmadd_ps(_mm512_set1_ps(row[0]), r,
                           _mm512_fmadd_ps(_mm512_set1_ps(row[1]), g, _mm512_mul_ps(_mm512_set1_ps(row[2]), b)));
}

CORVANE_AVX512 inline __m512 chroma_up16(const float* column) {
    const __m256 here = _mm256_loadu_ps(column);
    const __m256 mean = _mm256_mul_ps(_mm256_add_ps(here, _mm256_loadu_ps(column + 1)), _mm256_set1_ps(0.5f));
    const __m512i interleave = _mm512_setr_epi32(0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
    return _mm512_permutex2var_ps(_mm512_castps256_ps512(here), interleave, _mm512_castps256_ps512(mean));
}

CORVANE_AVX512 inline void put_diff16(float* to, __m512 diff, bool add) {
    _mm512_storeu_ps(to, add ? _mm512_add_ps(_mm512_loadu_ps(to), diff) : diff);
}

}  // namespace

CORVANE_AVX2 int convert_row_avx2(const ToneMapTables& t, const RowIn& in, int width, const RowOut& out) {
    const float* to_linear = t.to_linear.data();
    int x = 0;
    for (; x + 8 <= width; x += 8) {
        const __m128i words = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in.luma + x));
        const __m256 y = _mm256_fmadd_ps(_mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(words)),
                                         _mm256_set1_ps(t.luma_scale), _mm256_set1_ps(t.luma_offset));
        const __m256 u = chroma_up8(in.cb + x / 2);
        const __m256 v = chroma_up8(in.cr + x / 2);
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
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out.luma + x), _mm_packus_epi16(packed, packed));
        put_diff8(out.blue_diff + x, _mm256_sub_ps(b_out, y_out), out.add);
        put_diff8(out.red_diff + x, _mm256_sub_ps(r_out, y_out), out.add);
    }
    return x;
}

CORVANE_AVX512 int convert_row_avx512(const ToneMapTables& t, const RowIn& in, int width, const RowOut& out) {
    const Cubics to_linear = cubics(t);
    const __m512 power[2] = {_mm512_loadu_ps(kGammaTables.power), _mm512_loadu_ps(kGammaTables.power + 16)};
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        const __m256i words = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in.luma + x));
        const __m512 y = _mm512_fmadd_ps(_mm512_cvtepi32_ps(_mm512_cvtepu16_epi32(words)),
                                         _mm512_set1_ps(t.luma_scale), _mm512_set1_ps(t.luma_offset));
        const __m512 u = chroma_up16(in.cb + x / 2);
        const __m512 v = chroma_up16(in.cr + x / 2);
        const __m512 r = to_linear16(to_linear, _mm512_fmadd_ps(_mm512_set1_ps(kRedFromCr), v, y));
        const __m512 g = to_linear16(to_linear, _mm512_fnmadd_ps(_mm512_set1_ps(kGreenFromCr), v,
                                                                  _mm512_fnmadd_ps(_mm512_set1_ps(kGreenFromCb), u, y)));
        const __m512 b = to_linear16(to_linear, _mm512_fmadd_ps(_mm512_set1_ps(kBlueFromCb), u, y));
        const __m512 r709 = mix3_16(kGamut[0], r, g, b);
        const __m512 g709 = mix3_16(kGamut[1], r, g, b);
        const __m512 b709 = mix3_16(kGamut[2], r, g, b);
        const __m512 factor = tone_factor16(_mm512_max_ps(_mm512_max_ps(r709, g709), b709));
        const __m512 r_out = gamma_709_16(_mm512_mul_ps(r709, factor), power);
        const __m512 g_out = gamma_709_16(_mm512_mul_ps(g709, factor), power);
        const __m512 b_out = gamma_709_16(_mm512_mul_ps(b709, factor), power);
        const __m512 y_out = mix3_16(kLuma709, r_out, g_out, b_out);
        const __m512 code = _mm512_max_ps(_mm512_fmadd_ps(y_out, _mm512_set1_ps(219.0f), _mm512_set1_ps(16.5f)),
                                          _mm512_setzero_ps());
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out.luma + x), _mm512_cvtusepi32_epi8(_mm512_cvttps_epu32(code)));
        put_diff16(out.blue_diff + x, _mm512_sub_ps(b_out, y_out), out.add);
        put_diff16(out.red_diff + x, _mm512_sub_ps(r_out, y_out), out.add);
    }
    return x;
}

// Sixteen samples from the 33 sums around them: the even columns, the odd
// ones after them, and the odd ones before.
CORVANE_AVX512 int chroma_out_avx512(const float* sum, int width, float scale, uint8_t* chroma) {
    const __m512i evens = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
    const __m512i odds = _mm512_add_epi32(evens, _mm512_set1_epi32(1));
    int i = 1;
    for (; 2 * i + 32 <= width; i += 16) {
        const float* at = sum + 2 * i;
        const __m512 low = _mm512_loadu_ps(at), high = _mm512_loadu_ps(at + 16);
        const __m512 centre = _mm512_permutex2var_ps(low, evens, high);
        const __m512 after = _mm512_permutex2var_ps(low, odds, high);
        const __m512 before = _mm512_permutex2var_ps(_mm512_loadu_ps(at - 1), evens, _mm512_loadu_ps(at + 15));
        const __m512 mean = _mm512_fmadd_ps(_mm512_add_ps(before, after), _mm512_set1_ps(0.125f),
                                            _mm512_mul_ps(centre, _mm512_set1_ps(0.25f)));
        const __m512 code = _mm512_max_ps(_mm512_fmadd_ps(mean, _mm512_set1_ps(scale), _mm512_set1_ps(128.5f)),
                                          _mm512_setzero_ps());
        _mm_storeu_si128(reinterpret_cast<__m128i*>(chroma + i), _mm512_cvtusepi32_epi8(_mm512_cvttps_epu32(code)));
    }
    return i;
}

CORVANE_AVX512 int chroma_column_avx512(const uint16_t* own, const uint16_t* near, int n, float scale, float offset,
                                        float* column) {
    const __m512 own_scale = _mm512_set1_ps(0.75f * scale), near_scale = _mm512_set1_ps(0.25f * scale);
    int i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m512 a = _mm512_cvtepi32_ps(_mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(own + i))));
        const __m512 b = _mm512_cvtepi32_ps(_mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(near + i))));
        _mm512_storeu_ps(column + i, _mm512_fmadd_ps(a, own_scale, _mm512_fmadd_ps(b, near_scale, _mm512_set1_ps(offset))));
    }
    return i;
}

bool runs_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

bool runs_avx512() {
    __builtin_cpu_init();
    return runs_avx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
}

}  // namespace corvane::tone_map_detail

#else

namespace corvane::tone_map_detail {

int convert_row_avx2(const ToneMapTables&, const RowIn&, int, const RowOut&) { return 0; }
int convert_row_avx512(const ToneMapTables&, const RowIn&, int, const RowOut&) { return 0; }
int chroma_out_avx512(const float*, int, float, uint8_t*) { return 1; }
int chroma_column_avx512(const uint16_t*, const uint16_t*, int, float, float, float*) { return 0; }
bool runs_avx2() { return false; }
bool runs_avx512() { return false; }

}  // namespace corvane::tone_map_detail

#endif
