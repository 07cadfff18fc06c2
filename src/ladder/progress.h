#pragma once

// The progress of a running job as INFO lines, for instance
//   "Progress: 40% (24:00 of 1:00:00), 1.9x real time"
// or, for a source of unknown length, "Progress: 24:00 done, 1.9x real time":
// how much of the source has been read and handed to the renditions, and how
// fast against real time. A line comes at every further 5 % of the source and
// at least once a minute, but never more often than once per 5 seconds, and
// none in the first 10 seconds of a job.

#include <chrono>
#include <cstdint>
#include <string>

namespace corvane {

// The line due when `done` of `total` microseconds of the source (total 0:
// unknown) have been handed on, `since_start` seconds into the job and
// `since_line` seconds after the last line; "" when none is due.
// `reported_steps` counts the 5 % steps already reported, and is moved on.
std::string progress_line(int64_t total, int64_t done, double since_start, double since_line,
                          int& reported_steps);

class ProgressLines {
public:
    // `total` is the source's length in microseconds, or 0 when unknown.
    explicit ProgressLines(int64_t total);
    // Writes a line when one is due; `done` is the source time handed on so
    // far, in microseconds.
    void update(int64_t done);

private:
    using Clock = std::chrono::steady_clock;
    const Clock::time_point started_;
    Clock::time_point last_line_;
    const int64_t total_;
    int reported_steps_ = 0;  // 5 % steps already reported
};

}  // namespace corvane
