#include "log/log.h"

#include <chrono>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <mutex>
#include <sstream>

namespace corvane {

namespace {

// The one lock of the module: it serialises whole lines across both streams.
std::mutex log_mutex;
// Where the lines go instead while a LogCapture lives.
std::vector<LogLine>* captured = nullptr;

const char* label_of(int level) {
    switch (level) {
        case ERROR: return "ERROR";
        case SUCCESS: return "SUCCESS";
        case WARN: return "WARN";
        default: return "INFO";
    }
}

}  // namespace

LogCapture::LogCapture() {
    std::lock_guard<std::mutex> lock(log_mutex);
    captured = &lines_;
}

LogCapture::~LogCapture() {
    std::lock_guard<std::mutex> lock(log_mutex);
    captured = nullptr;
}

std::vector<LogLine> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(log_mutex);
    return lines_;
}

void log_message(int level, const std::string& message) {
    std::lock_guard<std::mutex> lock(log_mutex);
    if (captured) {
        captured->push_back(LogLine{level, message});
        return;
    }
    std::ostream& out = level == ERROR ? std::cerr : std::cout;

    // The clock is read under the lock so that timestamps never go backwards
    // from one line to the next.
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    const std::time_t seconds = static_cast<std::time_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count() / 1000000000);
    // localtime_r, unlike localtime, does not look at TZ again by itself.
    tzset();
    std::tm local{};
    localtime_r(&seconds, &local);

    // The line is put together first and written at once, then flushed: a
    // buffer that filled up would otherwise go out in the middle of a line,
    // and whatever else the process writes to the same file (the host
    // program's own prints) could land inside it.
    std::ostringstream line;
    line << "[" << std::put_time(&local, "%Y-%m-%d %H:%M:%S") << "] [" << label_of(level) << "] "
         << message << "\n";
    out << line.str() << std::flush;
}

}  // namespace corvane
