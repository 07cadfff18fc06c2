// The output clock: which tick each source picture is shown at, which are
// shown again, and where the key frames are.

#include <cstdint>
#include <string>
#include <vector>

#include "source/output_clock.h"
#include "unit.h"

using corvane::OutputClock;
using corvane::Status;

namespace {

struct Shown {
    int picture;
    int64_t stamp;
    bool key;
    bool operator==(const Shown& o) const { return picture == o.picture && stamp == o.stamp && key == o.key; }
};

// A source filmed at `pts[i]` in `time_base` (the picture's number is its
// index), run through a clock; what it shows.
struct Run {
    OutputClock<int> clock;
    std::vector<Shown> shown;

    auto recorder() {
        return [this](const int& picture, int64_t stamp, bool key) {
            shown.push_back(Shown{picture, stamp, key});
            return Status{};
        };
    }
    Run& take(const std::vector<int64_t>& pts, AVRational time_base, int first = 0) {
        for (size_t i = 0; i < pts.size(); ++i) clock.take(first + static_cast<int>(i), pts[i], time_base, recorder());
        return *this;
    }
    Run& finish(int64_t shown_until = AV_NOPTS_VALUE, int64_t stated_end = AV_NOPTS_VALUE) {
        clock.finish(shown_until, stated_end, recorder());
        return *this;
    }
    std::vector<int64_t> stamps() const {
        std::vector<int64_t> out;
        for (const auto& s : shown) out.push_back(s.stamp);
        return out;
    }
    std::vector<int64_t> keys() const {
        std::vector<int64_t> out;
        for (const auto& s : shown) if (s.key) out.push_back(s.stamp);
        return out;
    }
};

// `n` pictures at `num`/`den` seconds each, stamped in 1/90000 s.
std::vector<int64_t> steady(int n, int num, int den, int64_t start = 0) {
    std::vector<int64_t> pts;
    for (int i = 0; i < n; ++i) pts.push_back(start + int64_t{i} * 90000 * num / den);
    return pts;
}
constexpr AVRational k90k{1, 90000};

std::vector<int64_t> range(int64_t from, int64_t to, int64_t step = 1) {
    std::vector<int64_t> out;
    for (int64_t v = from; v < to; v += step) out.push_back(v);
    return out;
}

// Every stamp increases, and every 2 s window that shows a picture starts
// with a key frame at its first picture, and has no other.
void check_grid(const Run& run, int64_t origin, const std::string& what) {
    int64_t window = -1;
    for (size_t i = 0; i < run.shown.size(); ++i) {
        const Shown& s = run.shown[i];
        if (i > 0) CHECK(s.stamp > run.shown[i - 1].stamp);
        const int64_t w = (s.stamp - origin) / 60;
        const unit::Row row(what + ", stamp " + std::to_string(s.stamp));
        CHECK_EQ(s.key, w != window);
        window = w;
    }
}

}  // namespace

UNIT_CASE("output_clock", steady_rates) {
    struct Case {
        const char* name;
        int num, den, pictures;
        size_t shown;
        std::vector<int64_t> keys;
    };
    const Case cases[] = {
        {"30 fps", 1, 30, 181, 181, {0, 60, 120, 180}},
        {"25 fps", 1, 25, 151, 151, {0, 60, 120, 180}},
        {"24 fps", 1, 24, 97, 97, {0, 60, 120}},
        {"1 fps time-lapse", 1, 1, 7, 7, {0, 60, 120, 180}},
        // Two pictures a tick: the one filmed on the tick is kept.
        {"60 fps", 1, 60, 361, 181, {0, 60, 120, 180}},
    };
    for (const Case& c : cases) {
        const unit::Row row(c.name);
        Run run;
        run.take(steady(c.pictures, c.num, c.den), k90k).finish();
        CHECK_EQ(run.shown.size(), c.shown);
        CHECK(run.keys() == c.keys);
        check_grid(run, 0, c.name);
    }
    Run sixty;
    sixty.take(steady(9, 1, 60), k90k).finish();
    for (const Shown& s : sixty.shown) CHECK_EQ(s.picture % 2, 0);
}

// 29.97 fps leaves a tick empty every 33 s: the key frames stay on the grid
// (the first picture at or after each mark), not every 60 pictures.
UNIT_CASE("output_clock", drifting_rate) {
    Run run;
    run.take(steady(3000, 1001, 30000), k90k).finish();
    check_grid(run, 0, "29.97 fps");
    CHECK_EQ(run.shown.size(), size_t{3000});
}

// A mark left empty (a picture the source lost) shows the picture before
// again, as the key frame; a mark beyond the longest pause a still may
// bridge gets none, and the first picture after it is the key frame.
UNIT_CASE("output_clock", empty_marks) {
    std::vector<int64_t> ticks = range(0, 200);
    ticks.erase(ticks.begin() + 60);
    Run run;
    run.take(ticks, AVRational{1, 30}).finish();
    CHECK(run.keys() == (std::vector<int64_t>{0, 60, 120, 180}));
    CHECK_EQ(run.shown[60].picture, 59);
    CHECK_EQ(run.shown[61].picture, 60);
    Run leap;
    leap.take({0, 9010, 9020, 9070}, AVRational{1, 30}).finish();
    const std::vector<int64_t> keys = leap.keys();
    CHECK_EQ(leap.shown.size(), size_t{154});  // 0, 60 ... 8940, 9010, 9020, 9060, 9070
    CHECK(std::vector<int64_t>(keys.end() - 3, keys.end()) == (std::vector<int64_t>{8940, 9010, 9060}));
}

// A picture that loses its tick to a nearer one but was filmed after it
// takes the next tick when that stays empty (phone clock jitter).
UNIT_CASE("output_clock", spare_takes_an_empty_tick) {
    // In 1/300 s: pictures at ticks 0, 1, then two near tick 2 (2.0 and
    // 2.4), then tick 4: tick 3 gets the later of the two.
    Run run;
    run.take({0, 10, 20, 24, 40}, AVRational{1, 300}).finish();
    CHECK(run.stamps() == (std::vector<int64_t>{0, 1, 2, 3, 4}));
    CHECK_EQ(run.shown[2].picture, 2);
    CHECK_EQ(run.shown[3].picture, 3);
    // Without the empty tick, the spare is dropped.
    Run full;
    full.take({0, 10, 20, 24, 30}, AVRational{1, 300}).finish();
    CHECK(full.stamps() == (std::vector<int64_t>{0, 1, 2, 3}));
    CHECK_EQ(full.shown[3].picture, 4);
}

// A slideshow: a picture every 5 s. The last picture is shown again at
// every mark no picture stands on, as a key frame.
UNIT_CASE("output_clock", stills_are_repeated_at_the_marks) {
    Run run;
    run.take({0, 150, 300}, AVRational{1, 30}).finish(330);
    CHECK(run.stamps() == (std::vector<int64_t>{0, 60, 120, 150, 180, 240, 300}));
    CHECK(run.keys() == (std::vector<int64_t>{0, 60, 120, 180, 240, 300}));
    CHECK((std::vector<int>{run.shown[1].picture, run.shown[4].picture}) == (std::vector<int>{0, 1}));
    CHECK_EQ(run.clock.end_pts(), int64_t{330});
}

// The last picture lasts as long as the source shows it, never beyond the
// length the file states; without sound, a pause is bridged for 5 minutes
// at most.
UNIT_CASE("output_clock", the_last_picture_lasts) {
    Run shown;
    shown.take({0}, AVRational{1, 30}).finish(200, 130);
    CHECK(shown.stamps() == (std::vector<int64_t>{0, 60, 120}));
    CHECK_EQ(shown.clock.end_pts(), int64_t{130});
    Run pause;
    pause.take({0, 30 * 600}, AVRational{1, 30}).finish();
    CHECK_EQ(pause.shown.size(), size_t{151});  // 0, 60, ... 8940, then the picture after the pause
    Run with_sound;
    with_sound.clock.follow_sound(200);
    with_sound.take({0, 30 * 600}, AVRational{1, 30}).finish();
    CHECK(with_sound.stamps() == (std::vector<int64_t>{0, 60, 120, 180, 240, 300, 18000}));
}

// Stamps that go back more than a second are a restarted clock: the pictures
// carry on; a small step back loses the tick; no stamp follows the picture
// before.
UNIT_CASE("output_clock", clock_restarts_and_missing_stamps) {
    Run run;
    run.take({0, 1, 2, 3, 0, 1, 2}, AVRational{1, 30}).finish();
    CHECK(run.stamps() == (std::vector<int64_t>{0, 1, 2, 3}));
    Run restart;
    restart.take({100, 101, 102, 10, 11}, AVRational{1, 30}).finish();
    CHECK(restart.stamps() == (std::vector<int64_t>{100, 101, 102, 103, 104}));
    CHECK_EQ(restart.clock.shift(), int64_t{93});
    Run unknown;
    unknown.take({AV_NOPTS_VALUE, AV_NOPTS_VALUE, 5, AV_NOPTS_VALUE}, AVRational{1, 30}).finish();
    CHECK(unknown.stamps() == (std::vector<int64_t>{0, 1, 5, 6}));
    CHECK_EQ(unknown.clock.first_pts(), int64_t{0});
}

// Any stretch that starts at a mark, made on its own with the same grid,
// shows what the whole shows there: chunks can be encoded apart.
UNIT_CASE("output_clock", a_stretch_from_a_mark_is_the_same) {
    for (const auto& [num, den] : {std::pair{1001, 30000}, std::pair{1, 25}, std::pair{1, 60}}) {
        const std::vector<int64_t> pts = steady(4000, num, den, 90000 / 7);
        Run whole;
        whole.take(pts, k90k).finish();
        const int64_t origin = whole.shown.front().stamp;
        for (const int64_t mark : {origin + 600, origin + 1200}) {
            Run part;
            part.clock.set_grid_origin(origin);
            std::vector<int64_t> from;
            size_t first = 0;
            for (size_t i = 0; i < pts.size(); ++i) {
                if (av_rescale_q(pts[i], k90k, AVRational{1, 30}) < mark) first = i + 1;
            }
            from.assign(pts.begin() + first, pts.end());
            part.take(from, k90k, static_cast<int>(first)).finish();
            std::vector<Shown> tail;
            for (const Shown& s : whole.shown) if (s.stamp >= mark) tail.push_back(s);
            CHECK(part.shown == tail);
        }
    }
}
