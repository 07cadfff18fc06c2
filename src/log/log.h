#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace corvane {

// Levels of a console line, passed around as a plain int.
enum LogLevel : int { INFO = 0, WARN = 1, ERROR = 2, SUCCESS = 3 };

// Writes one whole line "[YYYY-mm-dd HH:MM:SS] [LABEL] message": ERROR lines
// on std::cerr, every other level on std::cout (unknown levels as INFO).
// Safe to call from any thread; lines never mix.
void write_line(int level, const std::string& message);

// A line of the job the calling thread works for (see JobLog), or written
// at once by a thread that works for none.
void log_message(int level, const std::string& message);

// A line for the job's log, at a LogLevel.
struct LogLine {
    int level;
    std::string text;
};

// The lines of one job. Several jobs may run at once in a process, on
// threads of their own: each line goes to the job it is about. The thread
// that makes a JobLog works for that job until it ends; the threads a job
// starts work for it too (JobThreads hands the job on), and FFmpeg's
// messages reach it through its FfmpegLogRoute. A job that keeps its lines
// (a chunk of a chunked job, whose lines the job that runs it writes) holds
// them for lines(); any other writes each one as it comes.
class JobLog {
public:
    enum Lines { kWrite, kKeep };

    explicit JobLog(Lines lines = kWrite) : lines_(lines), on_job_(this) {}
    JobLog(const JobLog&) = delete;
    JobLog& operator=(const JobLog&) = delete;

    // Safe to call from any thread.
    void add(int level, const std::string& message);
    std::vector<LogLine> lines() const;

    // The job the calling thread works for; null for none.
    static JobLog* current();

    // Makes the calling thread work for `job` (null: for none) while it lives.
    class Scope {
    public:
        explicit Scope(JobLog* job);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        JobLog* previous_;
    };

private:
    const Lines lines_;
    mutable std::mutex kept_lock_;
    std::vector<LogLine> kept_;
    Scope on_job_;  // last: the thread leaves the job before the job goes
};

}  // namespace corvane
