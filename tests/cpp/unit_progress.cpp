// The progress lines: when one is due, and what it says.

#include <string>
#include <vector>

#include "ladder/progress.h"
#include "unit.h"

namespace {

struct ProgressRow {
    const char* id;
    int64_t total;  // microseconds; 0: unknown
    int64_t done;
    double since_start;
    double since_line;
    int steps;  // already reported
    std::string line;
    int steps_after;
};

UNIT_CASE("progress", a_line_comes_at_each_step_and_once_a_minute) {
    constexpr int64_t kMinute = 60000000;
    const std::vector<ProgressRow> rows = {
        {"quiet in the first 10 s", kMinute, kMinute / 2, 9.9, 9.9, 0, "", 0},
        {"a new 5 % step", kMinute, kMinute / 2, 20, 20, 0, "Progress: 50% (0:30 of 1:00), 1.5x real time", 10},
        {"never within 5 s of the last", kMinute, kMinute / 2, 20, 4.9, 0, "", 0},
        {"no new step, not yet a minute", kMinute, kMinute / 2, 80, 59, 10, "", 10},
        {"no new step, a minute on", kMinute, kMinute / 2, 80, 60, 10,
         "Progress: 50% (0:30 of 1:00), 0.4x real time", 10},
        {"hours", 2 * 3600 * 1000000LL, 3600 * 1000000LL, 1800, 30, 0,
         "Progress: 50% (1:00:00 of 2:00:00), 2.0x real time", 10},
        {"beyond the length", kMinute, 2 * kMinute, 30, 30, 10, "Progress: 100% (1:00 of 1:00), 2.0x real time", 20},
        {"unknown length, a minute on", 0, kMinute, 60, 60, 0, "Progress: 1:00 done, 1.0x real time", 0},
        {"unknown length, no step", 0, kMinute, 60, 30, 0, "", 0},
    };
    for (const auto& row : rows) {
        unit::Row at(row.id);
        int steps = row.steps;
        CHECK_EQ(corvane::progress_line(row.total, row.done, row.since_start, row.since_line, steps), row.line);
        CHECK_EQ(steps, row.steps_after);
    }
}

}  // namespace
