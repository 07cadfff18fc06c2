#include "log/ffmpeg_log.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <vector>

namespace corvane {

namespace {

// Memory a job declared its own (JobObject).
struct OwnedMemory {
    const char* begin;
    const char* end;
    const JobLog* job;
};

// The routes of the running jobs and their memory. The lock is held while a
// message is taken and while a route or memory comes or goes, so a message
// never meets a route that is going away.
struct Routes {
    std::mutex lock;
    std::vector<FfmpegLogRoute*> running;
    std::vector<OwnedMemory> owned;
    int saved_level = AV_LOG_INFO;  // FFmpeg's, from before the first route
};

Routes& routes() {
    static Routes all;
    return all;
}

// The user data FFmpeg keeps for us in `object`, if it is of a kind that has
// some.
const void* user_data(void* object, const AVClass* kind) {
    if (kind == avcodec_get_class()) return static_cast<AVCodecContext*>(object)->opaque;
    if (kind == avformat_get_class()) return static_cast<AVFormatContext*>(object)->opaque;
    if (kind == avfilter_get_class()) {
        const AVFilterGraph* graph = static_cast<AVFilterContext*>(object)->graph;
        return graph ? graph->opaque : nullptr;
    }
    return nullptr;
}

// The job whose memory the user data of `object` or of one of its parents
// points into; null when none does. The routes' lock is held.
const JobLog* owner_of(void* object, const std::vector<OwnedMemory>& owned) {
    for (int depth = 0; object && depth < 8; ++depth) {
        const AVClass* kind = *static_cast<const AVClass* const*>(object);
        if (!kind) return nullptr;
        const char* data = static_cast<const char*>(user_data(object, kind));
        for (const OwnedMemory& memory : owned) {
            if (data && data >= memory.begin && data < memory.end) return memory.job;
        }
        if (kind->parent_log_context_offset <= 0) return nullptr;
        object = *reinterpret_cast<void**>(static_cast<char*>(object) + kind->parent_log_context_offset);
    }
    return nullptr;
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
    Routes& all = routes();
    std::lock_guard<std::mutex> lock(all.lock);
    const JobLog* job = owner_of(object, all.owned);
    if (!job) job = JobLog::current();
    const auto of_job = [job](const FfmpegLogRoute* route) { return route->job() == job; };
    const bool tied = std::any_of(all.running.begin(), all.running.end(), of_job);
    for (FfmpegLogRoute* route : all.running) {
        if (!tied || of_job(route)) route->take(from, text);
    }
}

}  // namespace

FfmpegLogRoute::FfmpegLogRoute(JobLog& job)
    : job_(job), messages_([&job](const std::string& line) { job.add(WARN, line); }) {
    Routes& all = routes();
    std::lock_guard<std::mutex> lock(all.lock);
    if (all.running.empty()) {
        // Its chatter (encoder statistics, every file the muxer opens) is
        // left out.
        all.saved_level = av_log_get_level();
        av_log_set_level(AV_LOG_WARNING);
        av_log_set_callback(route_message);
    }
    all.running.push_back(this);
}

FfmpegLogRoute::~FfmpegLogRoute() {
    {
        Routes& all = routes();
        std::lock_guard<std::mutex> lock(all.lock);
        all.running.erase(std::find(all.running.begin(), all.running.end(), this));
        if (all.running.empty()) {
            av_log_set_callback(av_log_default_callback);
            av_log_set_level(all.saved_level);
        }
    }
    // No message reaches the route any more.
    messages_.finish();
}

void FfmpegLogRoute::choose(std::function<bool(const std::string& from)> wanted) {
    Routes& all = routes();
    std::lock_guard<std::mutex> lock(all.lock);
    messages_.choose(std::move(wanted));
}

JobObject::JobObject(const void* begin, size_t size) : begin_(static_cast<const char*>(begin)) {
    const JobLog* job = JobLog::current();
    if (!job) return;
    Routes& all = routes();
    std::lock_guard<std::mutex> lock(all.lock);
    all.owned.push_back(OwnedMemory{begin_, begin_ + size, job});
    declared_ = true;
}

JobObject::~JobObject() {
    if (!declared_) return;
    Routes& all = routes();
    std::lock_guard<std::mutex> lock(all.lock);
    auto found = std::find_if(all.owned.begin(), all.owned.end(),
                              [this](const OwnedMemory& memory) { return memory.begin == begin_; });
    if (found != all.owned.end()) all.owned.erase(found);
}

}  // namespace corvane
