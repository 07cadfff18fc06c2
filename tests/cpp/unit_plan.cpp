// The plan: which renditions a job makes, at which size and bit rate, and
// the WARN lines for the names it skips. The whole-encode tests in
// tests/test_plan.py check that a plan reaches the encoders.

#include <ostream>
#include <string>
#include <vector>

#include "ladder/plan.h"
#include "unit.h"

namespace corvane {

bool operator==(const PlannedRendition& a, const PlannedRendition& b) {
    return a.name == b.name && a.width == b.width && a.height == b.height && a.bitrate == b.bitrate;
}

std::ostream& operator<<(std::ostream& out, const PlannedRendition& r) {
    return out << r.name << " " << r.width << "x" << r.height << " @" << r.bitrate;
}

}  // namespace corvane

namespace {

using corvane::PlannedRendition;

const std::vector<std::string> kDefaultNames = {"1080p", "720p", "480p", "360p"};
const std::vector<int> kDefaultRates = {5000000, 2500000, 1000000, 400000};

std::string unknown(const std::string& name) { return "Unknown resolution requested: " + name + ". Skipping."; }
std::string duplicate(const std::string& name) {
    return "Duplicate resolution requested: " + name + ". Skipping.";
}

struct PlanRow {
    const char* id;
    int width;
    int height;
    std::vector<std::string> names;
    std::vector<int> rates;
    std::vector<PlannedRendition> planned;
    std::vector<std::string> warnings;
};

void check_rows(const std::vector<PlanRow>& rows) {
    for (const auto& row : rows) {
        unit::Row at(row.id);
        const corvane::Plan plan = corvane::plan_renditions(row.width, row.height, row.names, row.rates);
        CHECK_EQ(plan.renditions, row.planned);
        std::vector<std::string> warnings;
        for (const auto& line : plan.lines) {
            CHECK_EQ(line.level, static_cast<int>(corvane::WARN));
            warnings.push_back(line.text);
        }
        CHECK_EQ(warnings, row.warnings);
    }
}

}  // namespace

UNIT_CASE("plan", the_default_ladder_is_the_table) {
    CHECK_EQ(corvane::default_resolutions(), kDefaultNames);
    CHECK_EQ(corvane::default_bitrates(), kDefaultRates);
}

// The size comes from the table, turned like the source (the shown size:
// the caller's business, as is which of coded and displayed size counts).
UNIT_CASE("plan", sizes_follow_the_source_orientation) {
    check_rows({
        {"landscape-default-ladder", 160, 90, kDefaultNames, kDefaultRates,
         {{"1080p", 1920, 1080, 5000000}, {"720p", 1280, 720, 2500000}, {"480p", 854, 480, 1000000},
          {"360p", 640, 360, 400000}},
         {}},
        {"portrait-default-ladder", 90, 160, kDefaultNames, kDefaultRates,
         {{"1080p", 1080, 1920, 5000000}, {"720p", 720, 1280, 2500000}, {"480p", 480, 854, 1000000},
          {"360p", 360, 640, 400000}},
         {}},
        {"square-is-landscape", 120, 120, {"480p"}, kDefaultRates, {{"480p", 854, 480, 5000000}}, {}},
        {"one-pixel-wider-is-landscape", 91, 90, {"720p"}, {}, {{"720p", 1280, 720, 2500000}}, {}},
        {"one-pixel-higher-is-portrait", 90, 91, {"720p"}, {}, {{"720p", 720, 1280, 2500000}}, {}},
        {"portrait-360p", 90, 160, {"360p"}, kDefaultRates, {{"360p", 360, 640, 5000000}}, {}},
        {"landscape-360p", 320, 180, {"360p"}, kDefaultRates, {{"360p", 640, 360, 5000000}}, {}},
        {"larger-source-same-sizes", 3840, 2160, {"1080p"}, {}, {{"1080p", 1920, 1080, 5000000}}, {}},
    });
}

// Bit rates pair with names by position; a short list is completed by the
// names' defaults, a long one is cut.
UNIT_CASE("plan", bitrates_pair_by_position) {
    check_rows({
        {"short-list-with-unknown", 160, 90, {"1080p", "foo", "360p"}, {2500000},
         {{"1080p", 1920, 1080, 2500000}, {"360p", 640, 360, 400000}}, {unknown("foo")}},
        {"longer-than-names", 160, 90, {"360p"}, {700000, 1, 2}, {{"360p", 640, 360, 700000}}, {}},
        {"empty-with-default-names", 160, 90, kDefaultNames, {},
         {{"1080p", 1920, 1080, 5000000}, {"720p", 1280, 720, 2500000}, {"480p", 854, 480, 1000000},
          {"360p", 640, 360, 400000}},
         {}},
        {"empty-completed-by-name", 160, 90, {"360p", "480p"}, {},
         {{"360p", 640, 360, 400000}, {"480p", 854, 480, 1000000}}, {}},
        {"given-then-completed", 160, 90, {"480p", "360p"}, {123000},
         {{"480p", 854, 480, 123000}, {"360p", 640, 360, 400000}}, {}},
        // An unknown name takes its place in the list: the rate after it
        // still pairs with the name after it.
        {"unknown-keeps-its-place", 160, 90, {"foo", "360p"}, {111000, 222000},
         {{"360p", 640, 360, 222000}}, {unknown("foo")}},
    });
}

UNIT_CASE("plan", names_that_plan_nothing) {
    const std::vector<int> rates = {5000000};
    check_rows({
        {"empty", 160, 90, {}, rates, {}, {}},
        {"foo", 160, 90, {"foo"}, rates, {}, {unknown("foo")}},
        {"upper-case-p", 160, 90, {"720P"}, rates, {}, {unknown("720P")}},
        {"leading-blank", 160, 90, {" 720p"}, rates, {}, {unknown(" 720p")}},
        {"trailing-blank", 160, 90, {"720p "}, rates, {}, {unknown("720p ")}},
        {"empty-name", 160, 90, {""}, rates, {}, {unknown("")}},
        {"no-p", 160, 90, {"1080"}, rates, {}, {unknown("1080")}},
        {"playlist-name", 160, 90, {"360p.m3u8"}, rates, {}, {unknown("360p.m3u8")}},
        // An unknown name is never planned, so its repeat is unknown again.
        {"unknown-twice", 160, 90, {"foo", "foo"}, rates, {}, {unknown("foo"), unknown("foo")}},
    });
}

// Two workers on one name would write the same files: the first is planned,
// with its own bit rate.
UNIT_CASE("plan", a_name_asked_for_twice_is_planned_once) {
    check_rows({
        {"twice", 160, 90, {"360p", "360p"}, {300000, 600000}, {{"360p", 640, 360, 300000}},
         {duplicate("360p")}},
        {"three-times-around-unknown", 160, 90, {"360p", "foo", "360p", "360p"}, {},
         {{"360p", 640, 360, 400000}},
         {unknown("foo"), duplicate("360p"), duplicate("360p")}},
        {"between-others", 90, 160, {"720p", "360p", "720p", "480p"}, {2000000, 300000, 2200000, 900000},
         {{"720p", 720, 1280, 2000000}, {"360p", 360, 640, 300000}, {"480p", 480, 854, 900000}},
         {duplicate("720p")}},
    });
}
