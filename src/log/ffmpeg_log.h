#pragma once

// FFmpeg's own messages during a call. Left alone, FFmpeg writes them
// straight to standard error, between the module's lines and out of their
// format, and a badly damaged file makes thousands. While a FfmpegLogRoute
// lives, its warnings and errors become WARN lines of the module's logger
// that name where they come from ("FFmpeg h264: ..."); a message that comes
// again is written once and counted, and only the first kShownMessages
// different ones are written at all. When it ends, the counts are written,
// and FFmpeg's log level and default callback are put back (FFmpeg cannot
// tell which callback was installed before, so a host program that installs
// its own must install it again after a call).

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace corvane {

class FfmpegLogRoute {
public:
    FfmpegLogRoute();
    ~FfmpegLogRoute();
    FfmpegLogRoute(const FfmpegLogRoute&) = delete;
    FfmpegLogRoute& operator=(const FfmpegLogRoute&) = delete;

    // Takes one message (or a piece of one) from `from`.
    void take(const std::string& from, const char* text);
    // Which messages are written, by where they come from: a chunk of a
    // chunked job reports what FFmpeg says of its own stretch of the source,
    // and its neighbours the rest. Unset (the default): every message.
    // Called on the thread of the message.
    void choose(std::function<bool(const std::string& from)> wanted) { wanted_ = std::move(wanted); }

    static constexpr int kShownMessages = 20;

private:
    void write(const std::string& line);

    int saved_level_;
    std::string pending_;  // a message whose end has not come yet
    std::string pending_from_;
    std::map<std::string, int> repeats_;  // message line -> times it came again
    std::vector<std::string> shown_;      // in the order they were written
    long hidden_ = 0;                     // messages past the first kShownMessages
    std::function<bool(const std::string&)> wanted_;
};

}  // namespace corvane
