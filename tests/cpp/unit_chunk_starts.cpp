// Where a chunked job's chunks start: on whole 6 s segments of output from
// the first picture, the last chunk one to two chunks long.

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "chunk/chunk_starts.h"
#include "unit.h"

namespace {

struct StartsRow {
    const char* id;
    int64_t origin;
    double length_seconds;
    double chunk_seconds;
    std::vector<int64_t> starts;
};

UNIT_CASE("chunk_starts", chunks_start_on_segments_and_the_last_takes_the_rest) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<StartsRow> rows = {
        {"shorter than two chunks is one", 0, 11.9, 6, {}},
        {"two chunks exactly", 0, 12, 6, {180}},
        {"the last takes the rest", 0, 17.9, 6, {180}},
        {"three chunks", 0, 18, 6, {180, 360}},
        {"counted from the first picture", 42, 18, 6, {222, 402}},
        {"rounded to whole segments", 0, 40, 10, {360, 720}},
        {"at least one segment", 0, 12, 1, {180}},
        {"the default on a minute", 0, 60, 60, {}},
        {"the default on ten minutes", 0, 600, 60, {1800, 3600, 5400, 7200, 9000, 10800, 12600, 14400, 16200}},
        {"not finite: one chunk", 0, 600, inf, {}},
        {"no length: one chunk", 0, 0, 6, {}},
    };
    for (const auto& row : rows) {
        unit::Row at(row.id);
        const auto length = static_cast<int64_t>(std::llround(row.length_seconds * 30));
        CHECK(corvane::chunk_starts(row.origin, length, row.chunk_seconds) == row.starts);
    }
}

}  // namespace
