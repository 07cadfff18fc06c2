#pragma once

// HDR to SDR in one pass over the pixels: 10-bit BT.2020 YUV 4:2:0 in PQ or
// HLG to 8-bit BT.709 YUV 4:2:0 in limited range. No FFmpeg here: plain
// planes in and out, so that the arithmetic can be checked on its own.
//
// For every pixel: its chroma brought up from the 4:2:0 grid (bilinear,
// chroma sited left of the pair of columns and between the pair of rows, as
// phones store it), R'G'B' by the BT.2020 matrix, linear light from tables
// of the transfer function (reference white, 203 cd/m², at 1.0; for HLG the
// light of a 1,000 cd/m² screen, its system gamma of 1.2 taken on each
// component), BT.2020 colours brought into
// BT.709 in linear light, then the tone curve: a Möbius curve on the
// brightest component that leaves everything up to 70 % of SDR white as it
// is and rolls highlights up to 1,000 cd/m² off below white, applied to all
// three components alike so that colours keep their hue and saturation.
// Then BT.709's display gamma (2.4, as BT.1886), the BT.709 matrix, chroma
// taken down to 4:2:0 again (the same siting), rounded to 8 bits.
//
// The transfer function comes from a table built once per source (with
// AVX-512, from cubics fitted once per source), the tone curve and the gamma
// from a few multiplications; with AVX2 eight pixels at a time, with
// AVX-512 sixteen (its gamma from small tables in registers).

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvane {

enum class HdrTransfer { kPq, kHlg };

// The instructions the conversion runs on: the widest this processor has,
// unless a test asks for another. Any two may differ by a code, and by two
// or three in saturated highlights outside BT.709 (where the table the
// narrower ones read is coarser than the AVX-512 kernel's cubics).
enum class ToneMapKernel { kPlain, kAvx2, kAvx512 };
bool tone_map_kernel_runs(ToneMapKernel kernel);  // on this processor
ToneMapKernel widest_tone_map_kernel();

// The tables of one source's conversion.
struct ToneMapTables {
    ToneMapTables(HdrTransfer transfer, bool full_range, ToneMapKernel kernel = widest_tone_map_kernel());

    static constexpr int kCodes = 16384;  // steps of the transfer table over [0, 1]
    HdrTransfer transfer;
    bool full_range;
    // The source's numbers to R'G'B' in [0, 1]: y = Y * luma_scale +
    // luma_offset, c = C * chroma_scale + chroma_offset.
    float luma_scale, luma_offset, chroma_scale, chroma_offset;
    std::vector<float> to_linear;  // kCodes entries: signal -> linear light
    // The same as 32 cubics in the signal s, for AVX-512 (no table reads):
    // the segments are sixteenths of the octaves of s + 0.35, so 1/64 wide
    // below s = 0.15, 1/32 up to 0.65, 1/16 above. cubic[k][i]: segment
    // i's coefficient of s^k.
    static constexpr float kSegmentOffset = 0.35f;
    static constexpr int kSegmentBits = 4;  // of the mantissa of s + 0.35
    float cubic[4][32];
    ToneMapKernel kernel;
};

// The pieces of the conversion, exposed for their tests.
double pq_to_linear(double signal);   // relative to 203 cd/m²
double hlg_to_scene(double signal);   // scene light in [0, 1]
double hlg_to_display(double signal); // on a 1,000 cd/m² screen, relative to 203
double tone_curve(double brightest);  // the Möbius curve
float display_gamma(float light);     // BT.709's signal, negative light mirrored

// One picture's planes: 10-bit samples in 16-bit words (strides in
// samples) in, 8-bit out (strides in bytes). Chroma planes are
// (width + 1) / 2 x (height + 1) / 2.
struct HdrPlanes {
    const uint16_t* plane[3];
    ptrdiff_t stride[3];
};
struct SdrPlanes {
    uint8_t* plane[3];
    ptrdiff_t stride[3];
};

// Working rows for one thread: made once, reused for every picture.
struct ToneMapRows {
    explicit ToneMapRows(int width = 0) { resize(width); }
    void resize(int width);
    std::vector<float> cb, cr;                // the source's chroma for one row
    std::vector<float> blue_diff, red_diff;  // B' - Y', R' - Y' of a pair, summed
};

// Converts the pairs of rows [first_pair, end_pair) of a width x height
// picture (a pair: rows 2i and 2i + 1; an odd last row makes a pair of its
// own), which writes the chroma rows of the same numbers. Different pairs
// of one picture may be converted on different threads at once.
void tone_map_rows(const ToneMapTables& tables, const HdrPlanes& in, const SdrPlanes& out, int width,
                   int height, int first_pair, int end_pair, ToneMapRows& rows);

}  // namespace corvane
