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

ProgressLines::ProgressLines(int64_t total) : started_(Clock::now()), last_line_(started_), total_(total) {}

void ProgressLines::update(int64_t done) {
    const Clock::time_point now = Clock::now();
    if (now - started_ < kQuietStart || now - last_line_ < kLeastGap) return;
    done = std::max<int64_t>(0, total_ > 0 ? std::min(done, total_) : done);
    const int percent = total_ > 0 ? static_cast<int>(done * 100 / total_) : 0;
    const bool new_step = total_ > 0 && percent / kStepPercent > reported_steps_;
    if (!new_step && now - last_line_ < kLongestGap) return;

    const double wall = std::chrono::duration<double>(now - started_).count();
    char speed[32];
    std::snprintf(speed, sizeof speed, "%.1fx real time", done / 1e6 / wall);
    if (total_ > 0) {
        log_message(INFO, "Progress: " + std::to_string(percent) + "% (" + clock_text(done) + " of " +
                              clock_text(total_) + "), " + speed);
        reported_steps_ = percent / kStepPercent;
    } else {
        log_message(INFO, "Progress: " + clock_text(done) + " done, " + speed);
    }
    last_line_ = now;
}

}  // namespace corvane
