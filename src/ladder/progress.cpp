#include "ladder/progress.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "log/log.h"

namespace corvane {

namespace {

constexpr std::chrono::seconds kQuietStart{10};
constexpr std::chrono::seconds kLeastGap{5};
constexpr std::chrono::seconds kLongestGap{60};
constexpr int kStepPercent = 5;

// "M:SS", or "H:MM:SS" from an hour on.
std::string clock_text(int64_t microseconds) {
    const int64_t seconds = std::max<int64_t>(0, microseconds / 1000000);
    char text[32];
    if (seconds >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                      static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                      static_cast<long long>(seconds % 60));
    }
    return text;
}

}  // namespace

std::string progress_line(int64_t total, int64_t done, double since_start, double since_line,
                          int& reported_steps) {
    using seconds = std::chrono::duration<double>;
    if (seconds(since_start) < kQuietStart || seconds(since_line) < kLeastGap) return "";
    done = std::max<int64_t>(0, total > 0 ? std::min(done, total) : done);
    const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 0;
    const bool new_step = total > 0 && percent / kStepPercent > reported_steps;
    if (!new_step && seconds(since_line) < kLongestGap) return "";

    char speed[32];
    std::snprintf(speed, sizeof speed, "%.1fx real time", done / 1e6 / since_start);
    if (total <= 0) return "Progress: " + clock_text(done) + " done, " + speed;
    reported_steps = percent / kStepPercent;
    return "Progress: " + std::to_string(percent) + "% (" + clock_text(done) + " of " + clock_text(total) +
           "), " + speed;
}

ProgressLines::ProgressLines(int64_t total) : started_(Clock::now()), last_line_(started_), total_(total) {}

void ProgressLines::update(int64_t done) {
    const Clock::time_point now = Clock::now();
    const std::chrono::duration<double> since_start = now - started_;
    const std::chrono::duration<double> since_line = now - last_line_;
    const std::string line = progress_line(total_, done, since_start.count(), since_line.count(), reported_steps_);
    if (line.empty()) return;
    log_message(INFO, line);
    last_line_ = now;
}

}  // namespace corvane
