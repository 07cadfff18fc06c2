#include "log/ffmpeg_log.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "log/log.h"

namespace corvane {

namespace {

// FFmpeg's log callback carries no pointer of its own: the route that takes
// its messages is found here. The lock is held while a message is taken and
// while the route is installed or removed, so a message from another thread
// never meets a route that is going away.
std::mutex& route_lock() {
    static std::mutex lock;
    return lock;
}
FfmpegLogRoute*& active_route() {
    static FfmpegLogRoute* route = nullptr;
    return route;
}

void route_message(void* object, int level, const char* format, va_list args) {
    if (level > AV_LOG_WARNING) return;
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
    std::string from;
    if (object) {
        const AVClass* kind = *static_cast<AVClass**>(object);
        if (kind && kind->item_name) from = kind->item_name(object);
    }
    std::lock_guard<std::mutex> lock(route_lock());
    if (FfmpegLogRoute* route = active_route()) route->take(from, text);
}

}  // namespace

FfmpegLogRoute::FfmpegLogRoute() : saved_level_(av_log_get_level()) {
    std::lock_guard<std::mutex> lock(route_lock());
    active_route() = this;
    av_log_set_level(AV_LOG_WARNING);
    av_log_set_callback(route_message);
}

FfmpegLogRoute::~FfmpegLogRoute() {
    av_log_set_callback(av_log_default_callback);
    std::lock_guard<std::mutex> lock(route_lock());
    active_route() = nullptr;
    av_log_set_level(saved_level_);
    if (!pending_.empty()) take("", "\n");
    for (const std::string& line : shown_) {
        const int again = repeats_[line];
        if (again > 0) {
            log_message(WARN, line + " (came " + std::to_string(again) + " more time" +
                                  (again == 1 ? "" : "s") + ")");
        }
    }
    if (hidden_ > 0) {
        log_message(WARN, "FFmpeg: " + std::to_string(hidden_) + " further message" +
                              (hidden_ == 1 ? "" : "s") + " not shown.");
    }
}

void FfmpegLogRoute::take(const std::string& from, const char* text) {
    if (pending_.empty()) pending_from_ = from.empty() ? "FFmpeg: " : "FFmpeg " + from + ": ";
    pending_ += text;
    // A message may come in pieces; it is written once its line has ended.
    if (pending_.empty() || (pending_.back() != '\n' && pending_.size() < 4096)) return;
    while (!pending_.empty() && (pending_.back() == '\n' || pending_.back() == ' ')) pending_.pop_back();
    // The text may quote the source's content: nothing in it may break a line.
    for (char& c : pending_) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    }
    if (!pending_.empty() && (!wanted_ || wanted_(from))) write(pending_from_ + pending_);
    pending_.clear();
}

void FfmpegLogRoute::write(const std::string& line) {
    auto found = repeats_.find(line);
    if (found != repeats_.end()) {
        ++found->second;
        return;
    }
    if (static_cast<int>(shown_.size()) >= kShownMessages) {
        ++hidden_;
        return;
    }
    repeats_[line] = 0;
    shown_.push_back(line);
    log_message(WARN, line);
}

}  // namespace corvane
