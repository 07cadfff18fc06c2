#include "ladder/plan.h"

#include <algorithm>

namespace corvane {

namespace {

const Rung* find_rung(const std::string& name) {
    for (const auto& rung : kLadder) {
        if (name == rung.name) return &rung;
    }
    return nullptr;
}

}  // namespace

std::vector<std::string> default_resolutions() {
    std::vector<std::string> names;
    for (const auto& rung : kLadder) names.push_back(rung.name);
    return names;
}

std::vector<int> default_bitrates() {
    std::vector<int> rates;
    for (const auto& rung : kLadder) rates.push_back(rung.bitrate);
    return rates;
}

Plan plan_renditions(int source_width, int source_height, const std::vector<std::string>& names,
                     std::vector<int> bitrates) {
    while (bitrates.size() < names.size()) {
        const Rung* rung = find_rung(names[bitrates.size()]);
        bitrates.push_back(rung ? rung->bitrate : kOtherBitrate);
    }
    const bool landscape = source_width >= source_height;
    Plan plan;
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        const Rung* row = find_rung(name);
        if (!row) {
            plan.lines.push_back({WARN, "Unknown resolution requested: " + name + ". Skipping."});
            continue;
        }
        // Two workers on one name would write the same playlist and segments.
        const bool repeated = std::any_of(plan.renditions.begin(), plan.renditions.end(),
                                          [&](const PlannedRendition& planned) { return planned.name == name; });
        if (repeated) {
            plan.lines.push_back({WARN, "Duplicate resolution requested: " + name + ". Skipping."});
            continue;
        }
        const int width = landscape ? row->long_side : row->short_side;
        const int height = landscape ? row->short_side : row->long_side;
        plan.renditions.push_back(PlannedRendition{name, width, height, bitrates[i]});
    }
    return plan;
}

}  // namespace corvane
