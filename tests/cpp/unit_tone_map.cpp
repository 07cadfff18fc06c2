// The HDR conversion's arithmetic: transfer functions, tone curve, gamma.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "source/tone_map.h"
#include "unit.h"

using namespace corvane;

UNIT_CASE("tone_map", transfer_functions_put_reference_white_at_one) {
    CHECK(std::fabs(pq_to_linear(0.0)) < 1e-9);
    CHECK(std::fabs(pq_to_linear(0.58069) - 1.0) < 0.002);  // 203 cd/m²
    CHECK(std::fabs(pq_to_linear(1.0) - 10000.0 / 203) < 1e-6);
    CHECK(std::fabs(hlg_to_scene(0.5) - 1.0 / 12) < 1e-9);
    CHECK(std::fabs(hlg_to_scene(1.0) - 1.0) < 1e-6);
    CHECK(std::fabs(hlg_to_display(1.0) - 1000.0 / 203) < 1e-5);
}

UNIT_CASE("tone_map", tone_curve_keeps_the_lows_and_rolls_highlights_off_below_white) {
    CHECK(tone_curve(0.35) == 0.35);
    CHECK(tone_curve(0.7) == 0.7);
    CHECK(std::fabs(tone_curve(0.7000001) - 0.7000001) < 1e-6);  // no step at the knee
    CHECK(std::fabs(tone_curve(1000.0 / 203) - 1.0) < 1e-5);      // 1,000 cd/m² lands on white
    double previous = 0.7;
    for (double x = 0.75; x < 1000.0 / 203; x += 0.05) {
        const double y = tone_curve(x);
        CHECK(y > previous);
        CHECK(y < 1.0);
        previous = y;
    }
}

UNIT_CASE("tone_map", display_gamma_is_the_power_of_one_over_two_point_four) {
    for (double x = 1e-6; x < 60; x *= 1.013) {
        unit::Row at(std::to_string(x));
        const double want = std::pow(x, 1 / 2.4);
        CHECK(std::fabs(display_gamma(static_cast<float>(x)) - want) <= 5e-5 * want);
        CHECK(std::fabs(display_gamma(static_cast<float>(-x)) + want) <= 5e-5 * want);
    }
    CHECK(std::fabs(display_gamma(0.0f)) < 1e-6);
}

namespace {

// One colour's 8-bit Y'CbCr before rounding, by the conversion's arithmetic
// in double precision (no tables, no polynomials); nothing when a BT.709
// component's light is under 1 % of the brightest BT.2020 one's: the result
// then hangs on the fourth digit of the light (a small difference of large
// numbers raised to the power 1/2.4), and a table's steps may move it by
// two or three codes.
std::optional<std::array<double, 3>> exact_colour(HdrTransfer transfer, int luma, int cb, int cr) {
    const double y = (luma - 64) / 876.0, u = (cb - 512) / 896.0, v = (cr - 512) / 896.0;
    const double signal[3] = {y + 1.4746 * v, y - 0.164553 * u - 0.571353 * v, y + 1.8814 * u};
    double light[3], rgb[3], out[3];
    for (int c = 0; c < 3; ++c) {
        const double s = std::clamp(signal[c], 0.0, 1.0);
        light[c] = transfer == HdrTransfer::kPq ? pq_to_linear(s) : hlg_to_display(s);
    }
    const double gamut[3][3] = {{1.660491, -0.587641, -0.072850},
                                {-0.124550, 1.132900, -0.008349},
                                {-0.018151, -0.100579, 1.118730}};
    for (int c = 0; c < 3; ++c) rgb[c] = gamut[c][0] * light[0] + gamut[c][1] * light[1] + gamut[c][2] * light[2];
    const double smallest = std::min({std::fabs(rgb[0]), std::fabs(rgb[1]), std::fabs(rgb[2])});
    if (smallest < 0.01 * std::max({light[0], light[1], light[2]})) return std::nullopt;
    const double brightest = std::max({rgb[0], rgb[1], rgb[2]});
    const double factor = brightest > 0.7 ? tone_curve(brightest) / brightest : 1.0;
    for (int c = 0; c < 3; ++c) out[c] = std::copysign(std::pow(std::fabs(rgb[c] * factor), 1 / 2.4), rgb[c]);
    const double y_out = 0.2126 * out[0] + 0.7152 * out[1] + 0.0722 * out[2];
    return std::array<double, 3>{16 + 219 * y_out, 128 + 224 / 1.8556 * (out[2] - y_out),
                                 128 + 224 / 1.5748 * (out[0] - y_out)};
}

}  // namespace

// Random colours, out-of-gamut ones and highlights included, each as a
// picture of its own (48 x 2, wide enough for every kernel's steps): every
// kernel this processor runs lands within 1.1 codes of the exact colour
// (half a code is the rounding's).
UNIT_CASE("tone_map", every_kernel_lands_on_the_exact_colour) {
    constexpr int kWidth = 48;
    std::vector<uint16_t> luma(kWidth * 2), cb(kWidth / 2), cr(kWidth / 2);
    std::vector<uint8_t> out(kWidth * 2 + kWidth);
    uint32_t random = 0;
    auto next = [&](int low, int high) {
        random = random * 1664525u + 1013904223u;
        return low + static_cast<int>((random >> 8) % static_cast<uint32_t>(high - low + 1));
    };
    for (const HdrTransfer transfer : {HdrTransfer::kPq, HdrTransfer::kHlg}) {
        for (const ToneMapKernel kernel : {ToneMapKernel::kPlain, ToneMapKernel::kAvx2, ToneMapKernel::kAvx512}) {
            if (!tone_map_kernel_runs(kernel)) continue;
            const ToneMapTables tables(transfer, false, kernel);
            ToneMapRows rows(kWidth);
            double worst = 0.0;
            random = 12345;
            for (int i = 0; i < 20000; ++i) {
                const int y = next(64, 940), u = next(64, 960), v = next(64, 960);
                const auto want = exact_colour(transfer, y, u, v);
                if (!want) continue;
                std::fill(luma.begin(), luma.end(), y);
                std::fill(cb.begin(), cb.end(), u);
                std::fill(cr.begin(), cr.end(), v);
                const HdrPlanes in{{luma.data(), cb.data(), cr.data()}, {kWidth, kWidth / 2, kWidth / 2}};
                uint8_t* o = out.data();
                const SdrPlanes sdr{{o, o + 2 * kWidth, o + 2 * kWidth + kWidth / 2}, {kWidth, kWidth / 2, kWidth / 2}};
                tone_map_rows(tables, in, sdr, kWidth, 2, 0, 1, rows);
                for (int x = 0; x < kWidth; ++x) {
                    worst = std::max(worst, std::fabs(o[x] - std::clamp((*want)[0], 0.0, 255.0)));
                    if (x < kWidth / 2) {
                        worst = std::max(worst, std::fabs(sdr.plane[1][x] - std::clamp((*want)[1], 0.0, 255.0)));
                        worst = std::max(worst, std::fabs(sdr.plane[2][x] - std::clamp((*want)[2], 0.0, 255.0)));
                    }
                }
            }
            unit::Row at("transfer " + std::to_string(static_cast<int>(transfer)) + ", kernel " +
                         std::to_string(static_cast<int>(kernel)) + ": worst " + std::to_string(worst));
            CHECK(worst <= 1.1);
        }
    }
}
