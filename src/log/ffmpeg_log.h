#pragma once

// FFmpeg's own messages during a job. Left alone, FFmpeg writes them straight
// to standard error, between the module's lines and out of their format.
// While a job's FfmpegLogRoute lives, FFmpeg's warnings and errors about the
// job's work become WARN lines of the job (see FfmpegMessages), kept apart
// from those of any other job that runs at the same time.
//
// FFmpeg has one log callback for the whole process, and hands it the object
// that wrote the message. The callback is installed while any route lives;
// when the last one ends, FFmpeg's log level and default callback are put
// back (FFmpeg cannot tell which callback was installed before, so a host
// program that installs its own must install it again after a call). A
// message belongs to the job found by, in this order:
//  - the object: the user data of a codec or format context (`opaque`; a
//    decoder's threads work on copies of its context that carry the same),
//    or of the graph of a filter (`opaque`, which FilterChain points at
//    itself), or of the object's parents, that points into memory a job has
//    declared its own (JobObject: the source stage, each rendition);
//  - else the thread: one that works for a job (JobLog::current()).
// A message that neither ties to a job (one from a thread of FFmpeg's own
// about an object of none) goes to every running job: with one job, the
// usual case, that is the job it is about, and with several none of them
// misses a message about its work.

#include <cstddef>
#include <functional>
#include <string>

#include "log/ffmpeg_messages.h"
#include "log/log.h"

namespace corvane {

class FfmpegLogRoute {
public:
    // Takes the FFmpeg messages of `job`, which must outlive the route.
    explicit FfmpegLogRoute(JobLog& job);
    // Writes the counts of the messages (FfmpegMessages::finish).
    ~FfmpegLogRoute();
    FfmpegLogRoute(const FfmpegLogRoute&) = delete;
    FfmpegLogRoute& operator=(const FfmpegLogRoute&) = delete;

    // See FfmpegMessages::choose. `wanted` is called on the thread of the
    // message while the routes' lock is held: it must be quick and log
    // nothing.
    void choose(std::function<bool(const std::string& from)> wanted);

    // For the callback, which holds the routes' lock.
    const JobLog* job() const { return &job_; }
    void take(const std::string& from, const char* text) { messages_.take(from, text); }

private:
    JobLog& job_;
    FfmpegMessages messages_;
};

// While one lives, the `size` bytes at `begin` are memory of the job the
// calling thread works for: an FFmpeg object whose user data points into it
// is the job's (see above). None when the thread works for no job.
class JobObject {
public:
    JobObject(const void* begin, size_t size);
    ~JobObject();
    JobObject(const JobObject&) = delete;
    JobObject& operator=(const JobObject&) = delete;

private:
    const char* begin_;
    bool declared_ = false;
};

}  // namespace corvane
