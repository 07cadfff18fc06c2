// The HDR conversion's arithmetic: transfer functions, tone curve, gamma.

#include <cmath>

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
