#include "log/log.h"

#include <chrono>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <sstream>

namespace corvane {

namespace {

// Serialises whole lines across both streams.
std::mutex console_lock;

// The job each thread works for.
thread_local JobLog* current_job = nullptr;

const char* label_of(int level) {
    switch (level) {
        case ERROR: return "ERROR";
        case SUCCESS: return "SUCCESS";
        case WARN: return "WARN";
        default: return "INFO";
    }
}

}  // namespace

JobLog::Scope::Scope(JobLog* job) : previous_(current_job) { current_job = job; }

JobLog::Scope::~Scope() { current_job = previous_; }

JobLog* JobLog::current() { return current_job; }

void JobLog::add(int level, const std::string& message) {
    if (lines_ == kWrite) {
        write_line(level, message);
        return;
    }
    std::lock_guard<std::mutex> lock(kept_lock_);
    kept_.push_back(LogLine{level, message});
}

std::vector<LogLine> JobLog::lines() const {
    std::lock_guard<std::mutex> lock(kept_lock_);
    return kept_;
}

void log_message(int level, const std::string& message) {
    if (JobLog* job = JobLog::current()) {
        job->add(level, message);
    } else {
        write_line(level, message);
    }
}

void write_line(int level, const std::string& message) {
    std::lock_guard<std::mutex> lock(console_lock);
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
