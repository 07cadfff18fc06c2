#pragma once

#include <string>
#include <vector>

namespace corvane {

// Levels of a console line, passed around as a plain int.
enum LogLevel : int { INFO = 0, WARN = 1, ERROR = 2, SUCCESS = 3 };

// Writes one whole line "[YYYY-mm-dd HH:MM:SS] [LABEL] message": ERROR lines
// on std::cerr, every other level on std::cout (unknown levels as INFO).
// Safe to call from any thread; lines never mix.
void log_message(int level, const std::string& message);

// A line for the job's log, at a LogLevel.
struct LogLine {
    int level;
    std::string text;
};

// While one lives, every line of the process is kept in it instead of being
// written: a chunk of a chunked job, run in a worker process, hands its
// lines back to the job, which writes them. One at a time (a chunk holds the
// job lock).
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    std::vector<LogLine> lines() const;

private:
    std::vector<LogLine> lines_;
};

}  // namespace corvane
