#include "ladder/ladder.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "ladder/master_playlist.h"
#include "ladder/progress.h"
#include "log/ffmpeg_log.h"
#include "log/log.h"
#include "av/av_handles.h"
#include "rendition/transcode.h"
#include "source/media_queue.h"
#include "source/source.h"

namespace corvane {

namespace {

struct FrameSize {
    int width;
    int height;
};

// How many pictures and AAC packets may wait for one rendition. A few
// pictures are enough to keep every encoder busy; more only hold memory.
constexpr int kFeedCapacity = 8;

// Joins every started thread on every way out of the job, exceptions
// included. The calling thread can wait for them a while at a time, to look
// after the job in between: the one place where it meets them.
class JobThreads {
public:
    ~JobThreads() { join_all(); }
    // Room for every thread first: a thread that runs must never be lost to
    // a list that cannot grow.
    void reserve(size_t n) { threads_.reserve(n); }
    // Runs `work` (which must not throw) on a thread of its own.
    template <class Work>
    void start(Work work) {
        threads_.emplace_back([this, work = std::move(work)]() mutable {
            work();
            std::lock_guard<std::mutex> lock(mutex_);
            ++finished_;
            all_finished_.notify_all();
        });
    }
    size_t started() const { return threads_.size(); }
    // Waits until every started thread has done its work, or `wait` has
    // passed; says whether they all have.
    bool wait_for(std::chrono::milliseconds wait) {
        std::unique_lock<std::mutex> lock(mutex_);
        return all_finished_.wait_for(lock, wait, [this] { return finished_ == threads_.size(); });
    }
    void join_all() {
        for (auto& t : threads_) {
            if (t.joinable()) t.join();
        }
    }

private:
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable all_finished_;
    size_t finished_ = 0;
};

// How often the calling thread looks after a running job: whether its caller
// wants it stopped (Ctrl-C), and its progress.
constexpr std::chrono::milliseconds kWatchInterval{100};

// Runs the ladder: one thread for the source stage, one worker per
// rendition, each fed by its own queue, while the calling thread reports
// progress and asks `interrupted` whether to stop. Returns, per rendition,
// how it ended; `stopped` says whether the job was interrupted.
std::vector<RenditionResult> run_renditions(Source& source, const std::vector<RenditionSpec>& plan,
                                 const std::string& key, const std::function<bool()>& interrupted,
                                 bool& stopped) {
    // results[i] is written by worker i only and read after it is joined.
    std::vector<RenditionResult> results(plan.size());
    // How far the source has been read: written by the source thread, read
    // here for the progress lines.
    std::atomic<int64_t> read_position{0};
    // Every rendition's AAC stream is described by the one AAC encoder.
    CodecParametersPtr audio(avcodec_parameters_alloc());
    int ret = audio ? avcodec_parameters_from_context(audio.get(), source.audio.encoder())
                    : AVERROR(ENOMEM);
    std::vector<std::unique_ptr<MediaQueue>> feeds;
    for (size_t i = 0; i < plan.size() && ret >= 0; ++i) {
        feeds.push_back(std::make_unique<MediaQueue>(kFeedCapacity));
        if (!feeds.back()->allocated()) ret = AVERROR(ENOMEM);
    }
    if (ret < 0) {
        for (const auto& rendition : plan) {
            log_rendition_failure(rendition.name + ".m3u8", Status{ret, "setting up the renditions"});
        }
        return results;
    }
    std::vector<MediaQueue*> taking;
    for (const auto& feed : feeds) taking.push_back(feed.get());
    const AVFormatContext* input = source.input.context.get();
    ProgressLines progress(input->duration > 0 ? input->duration : 0);  // in microseconds

    JobThreads threads;
    threads.reserve(plan.size() + 1);
    try {
        for (size_t i = 0; i < plan.size(); ++i) {
            // Nothing may leave a thread (it would end the process): a
            // rendition that throws stops taking, the source that throws gives
            // every feed up.
            std::string playlist = plan[i].name + ".m3u8";
            threads.start([&, i, playlist, rendition = plan[i], &feed = *feeds[i]]() mutable {
                try {
                    results[i] = transcode_variant(feed, audio.get(), std::move(playlist),
                                                   rendition.width, rendition.height, rendition.bitrate,
                                                   key);
                } catch (...) {
                    feed.stop_taking();
                }
            });
        }
        // The source's decoders, graphs and input are released as soon as it
        // has handed out everything.
        threads.start([&] {
            try {
                run_source(source, taking, read_position);
            } catch (...) {
                for (const auto& f : feeds) f->abandon(Status{AVERROR(ENOMEM), "reading the source"});
            }
        });
    } catch (...) {
        // A thread that could not start: the others must not wait for it.
        const Status why{AVERROR(EAGAIN), "starting the job's threads"};
        for (size_t i = threads.started(); i < plan.size(); ++i) {
            log_rendition_failure(plan[i].name + ".m3u8", why);
        }
        for (const auto& feed : feeds) feed->abandon(why);
        throw;
    }
    while (!threads.wait_for(kWatchInterval)) {
        if (interrupted && interrupted()) {
            // Everything stops where it is: no rendition is finished.
            stopped = true;
            source.stop = true;
            for (const auto& feed : feeds) feed->abandon(Status{AVERROR_EXIT, "stopping the job"});
            break;
        }
        progress.update(read_position.load(std::memory_order_relaxed));
    }
    threads.join_all();
    return results;
}

// Where `folder` really is, symbolic links followed; "" when that cannot be
// told.
std::string resolved_folder(const std::filesystem::path& folder) {
    std::error_code error;
    const std::filesystem::path resolved = std::filesystem::weakly_canonical(folder, error);
    return error ? "" : resolved.string();
}

// The master playlist at `output` names the media playlists, written in the
// working directory, by the way from its own folder.
bool write_master_playlist(const std::string& output, const std::vector<Variant>& variants) {
    namespace fs = std::filesystem;
    std::ofstream file(output, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!file) {
        log_message(ERROR, "Could not write the master playlist " + output + ": " +
                               std::strerror(errno) + ".");
        return false;
    }
    std::error_code error;
    const fs::path folder = fs::absolute(output, error).lexically_normal().parent_path();
    const std::string master_folder = error ? "" : resolved_folder(folder);
    const fs::path working = fs::current_path(error);
    const std::string working_directory = error ? "" : resolved_folder(working);
    file << master_playlist_text(variants, master_folder, working_directory);
    file.close();
    if (file.fail()) {
        log_message(ERROR, "Could not write the master playlist " + output + ": " +
                               std::strerror(errno) + ".");
        return false;
    }
    return true;
}

// Calls from several threads of one process run one after another: they
// write the same files in the working directory. The one lock of the job
// besides the logger's and the queues'.
std::mutex& job_lock() {
    static std::mutex lock;
    return lock;
}

}  // namespace

void HlsLadderJob(std::string input, std::string output, std::vector<std::string> resolution,
                  std::vector<int> bitrate, std::string key, const std::function<bool()>& interrupted) {
    std::lock_guard<std::mutex> one_job_at_a_time(job_lock());
    // FFmpeg's warnings and errors become the job's WARN lines; its chatter
    // (encoder statistics, every file the muxer opens) is left out.
    FfmpegLogRoute ffmpeg_messages;
    log_message(INFO, "Analyzing video file: " + input + "...");
    // The source is opened once: planned from here, then read by the stage.
    auto stage = std::make_unique<Source>();
    const std::string refused = open_source_input(stage->input, input);
    if (!refused.empty()) {
        log_message(ERROR, refused);
        return;
    }
    FrameSize source;
    shown_size(stage->input, source.width, source.height);
    log_message(INFO, "Detected video size: " + std::to_string(source.width) + "x" +
                          std::to_string(source.height));
    if (stage->input.cover) {
        log_message(INFO, "The file has no video, only a cover picture: it is shown for the whole length of "
                          "the sound.");
    }

    Plan planned = plan_renditions(source.width, source.height, resolution, std::move(bitrate));
    for (const auto& line : planned.lines) log_message(line.level, line.text);
    const std::vector<RenditionSpec> plan = std::move(planned.renditions);

    // The source is decoded and normalised once for every rendition.
    std::vector<RenditionResult> results(plan.size());
    bool stopped = false;
    if (!plan.empty()) {
        // Decoders, the AAC encoder and the audio graph: once for every
        // rendition. When that cannot even start, every rendition fails with
        // the cause.
        for (const auto& rendition : plan) {
            if (rendition.width * rendition.height > stage->largest_width * stage->largest_height) {
                stage->largest_width = rendition.width;
                stage->largest_height = rendition.height;
            }
        }
        const Status opened = open_source(*stage);
        if (opened.failed()) {
            for (const auto& rendition : plan) {
                log_rendition_failure(rendition.name + ".m3u8", opened);
            }
        } else {
            if (!stage->input.why_no_audio.empty()) {
                log_message(WARN, stage->input.why_no_audio + "; every rendition carries a silent audio track.");
            }
            results = run_renditions(*stage, plan, key, interrupted, stopped);
        }
    }
    if (stopped) {
        log_message(ERROR, "The job was interrupted: the renditions were stopped unfinished (their "
                           "playlists have no end) and the master playlist " + output + " was not written.");
        return;
    }

    std::vector<Variant> created;
    std::string failed;
    for (size_t i = 0; i < plan.size(); ++i) {
        if (results[i].created) {
            created.push_back(Variant{plan[i], results[i].rates.peak, results[i].rates.average,
                                      results[i].video_codec});
        } else {
            failed += (failed.empty() ? "" : ", ") + plan[i].name;
        }
    }
    if (!plan.empty() && created.empty()) {
        log_message(ERROR, "No rendition was created; the master playlist " + output +
                               " was not written.");
        return;
    }
    // A master playlist named like a rendition's media playlist would
    // replace it.
    for (const auto& variant : created) {
        std::error_code error;
        const std::string& name = variant.planned.name;
        if (std::filesystem::equivalent(output, name + ".m3u8", error)) {
            log_message(ERROR, "Could not write the master playlist " + output +
                                   ": it is the media playlist of rendition " + name + ".");
            return;
        }
    }
    if (!write_master_playlist(output, created)) return;
    log_message(SUCCESS, "Encrypted Master playlist generated: " + output);
    if (failed.empty()) {
        log_message(SUCCESS, "All secure transcoding finished flawlessly.");
    } else {
        log_message(ERROR, "Renditions not created: " + failed + ".");
    }
}

}  // namespace corvane
