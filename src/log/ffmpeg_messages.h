#pragma once

// What one job shows of FFmpeg's messages. A message may come in pieces; once
// its line has ended it is shown as one line that names where it comes from
// ("FFmpeg h264: ..."). A message that comes again is counted, not shown
// again, and only the first kShownMessages different ones are shown at all;
// finish() shows the counts. A badly damaged file makes thousands.

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace corvane {

class FfmpegMessages {
public:
    // `show` takes each line to be shown.
    explicit FfmpegMessages(std::function<void(const std::string&)> show) : show_(std::move(show)) {}

    // Takes one message (or a piece of one) from `from`, the name of the part
    // of FFmpeg that wrote it ("" when it has none).
    void take(const std::string& from, const char* text);
    // Which messages are shown, by where they come from: a chunk of a chunked
    // job reports what FFmpeg says of its own stretch of the source, and its
    // neighbours the rest. Unset (the default): every message.
    void choose(std::function<bool(const std::string& from)> wanted) { wanted_ = std::move(wanted); }
    // Shows the piece still waiting for its end, then how often each message
    // came again and how many were not shown.
    void finish();

    static constexpr int kShownMessages = 20;

private:
    void show_once(const std::string& line);

    std::function<void(const std::string&)> show_;
    std::string pending_;  // a message whose end has not come yet
    std::string pending_from_;
    std::string pending_name_;
    std::map<std::string, int> repeats_;  // message line -> times it came again
    std::vector<std::string> shown_;      // in the order they were shown
    long hidden_ = 0;                     // messages past the first kShownMessages
    std::function<bool(const std::string&)> wanted_;
};

}  // namespace corvane
