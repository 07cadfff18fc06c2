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

#include "ladder/job_steps.h"
#include "ladder/job_threads.h"
#include "ladder/master_playlist.h"
#include "ladder/output_claim.h"
#include "ladder/progress.h"
#include "log/ffmpeg_log.h"
#include "log/log.h"
#include "av/av_handles.h"
#include "rendition/transcode.h"
#include "queue/media_queue.h"
#include "source/source.h"
#include "subtitles/subtitle_files.h"

namespace corvane {

namespace {

// How many pictures and AAC packets may wait for one rendition. A few
// pictures are enough to keep every encoder busy; more only hold memory.
constexpr int kFeedCapacity = 8;

// How often the calling thread looks after a running job: whether its caller
// wants it stopped (Ctrl-C), and its progress.
constexpr std::chrono::milliseconds kWatchInterval{100};

// What the job's threads share while the renditions run. It outlives them:
// they are all joined before it goes.
struct LadderRun {
    explicit LadderRun(const std::vector<PlannedRendition>& renditions)
        : plan(renditions), results(renditions.size()) {}

    const std::vector<PlannedRendition>& plan;
    // results[i] is written by worker i only and read after it is joined.
    std::vector<RenditionResult> results;
    // How far the source has been read: written by the source thread, read
    // by the calling thread for the progress lines.
    std::atomic<int64_t> read_position{0};
    // Every rendition's AAC stream is described by the one AAC encoder.
    CodecParametersPtr audio;
    // One feed per rendition; `taking` lists them for the source.
    std::vector<std::unique_ptr<MediaQueue>> feeds;
    std::vector<MediaQueue*> taking;
};

// The AAC stream's parameters and the renditions' feeds.
Status prepare_feeds(LadderRun& run, const Source& source) {
    const char* action = "setting up the renditions";
    run.audio.reset(avcodec_parameters_alloc());
    if (!run.audio) return Status{AVERROR(ENOMEM), action};
    RETURN_IF_FAILED(status_of(avcodec_parameters_from_context(run.audio.get(), source.audio.encoder()),
                               action));
    for (size_t i = 0; i < run.plan.size(); ++i) {
        run.feeds.push_back(std::make_unique<MediaQueue>(kFeedCapacity));
        if (!run.feeds.back()->allocated()) return Status{AVERROR(ENOMEM), action};
        run.taking.push_back(run.feeds.back().get());
    }
    return Status{};
}

// One thread per rendition, then the source's. Nothing may leave a thread
// (it would end the process): a rendition that throws stops taking, the
// source that throws gives every feed up.
void start_threads(JobThreads& threads, LadderRun& run, Source& source, const std::string& key) {
    const std::vector<PlannedRendition>& plan = run.plan;
    threads.reserve(plan.size() + 1);
    try {
        for (size_t i = 0; i < plan.size(); ++i) {
            std::string playlist = plan[i].name + ".m3u8";
            threads.start([&run, &key, i, playlist, rendition = plan[i], &feed = *run.feeds[i]]() mutable {
                try {
                    run.results[i] = transcode_variant(feed, run.audio.get(), std::move(playlist),
                                                       rendition.width, rendition.height,
                                                       rendition.bitrate, key);
                } catch (...) {
                    feed.stop_taking();
                }
            });
        }
        // The source's decoders, graphs and input are released as soon as it
        // has handed out everything.
        threads.start([&run, &source] {
            try {
                run_source(source, run.taking, run.read_position);
            } catch (...) {
                for (const auto& f : run.feeds) f->abandon(Status{AVERROR(ENOMEM), "reading the source"});
            }
        });
    } catch (...) {
        // A thread that could not start: the others must not wait for it.
        const Status why{AVERROR(EAGAIN), "starting the job's threads"};
        for (size_t i = threads.started(); i < plan.size(); ++i) {
            log_rendition_failure(plan[i].name + ".m3u8", why);
        }
        for (const auto& feed : run.feeds) feed->abandon(why);
        throw;
    }
}

// Waits for every thread, reporting progress and asking `interrupted`
// whether to stop. Says whether the job was stopped.
bool watch_threads(JobThreads& threads, LadderRun& run, Source& source, ProgressLines& progress,
                   const std::function<bool()>& interrupted) {
    bool stopped = false;
    while (!threads.wait_for(kWatchInterval)) {
        if (interrupted && interrupted()) {
            // Everything stops where it is: no rendition is finished.
            stopped = true;
            source.stop = true;
            for (const auto& feed : run.feeds) feed->abandon(Status{AVERROR_EXIT, "stopping the job"});
            break;
        }
        progress.update(run.read_position.load(std::memory_order_relaxed));
    }
    threads.join_all();
    return stopped;
}

// Runs the ladder: one thread for the source stage, one worker per
// rendition, each fed by its own queue, while the calling thread reports
// progress and asks `interrupted` whether to stop. Returns, per rendition,
// how it ended; `stopped` says whether the job was interrupted.
std::vector<RenditionResult> run_renditions(Source& source, const std::vector<PlannedRendition>& plan,
                                            const std::string& key,
                                            const std::function<bool()>& interrupted, bool& stopped) {
    LadderRun run(plan);
    const Status prepared = prepare_feeds(run, source);
    if (prepared.failed()) {
        for (const auto& rendition : plan) log_rendition_failure(rendition.name + ".m3u8", prepared);
        return std::move(run.results);
    }
    const AVFormatContext* input = source.input.context.get();
    ProgressLines progress(input->duration > 0 ? input->duration : 0);  // in microseconds
    JobThreads threads;
    start_threads(threads, run, source, key);
    stopped = watch_threads(threads, run, source, progress, interrupted);
    return std::move(run.results);
}

}  // namespace

bool probe_source(Source& stage, const std::string& input, int& width, int& height) {
    log_message(INFO, "Analyzing video file: " + input + "...");
    const Status opened = open_source_input(stage.input, input);
    if (opened.failed()) {
        log_message(ERROR, opened.reason);
        return false;
    }
    shown_size(stage.input, width, height);
    log_message(INFO, "Detected video size: " + std::to_string(width) + "x" + std::to_string(height));
    if (stage.input.cover) {
        log_message(INFO, "The file has no video, only a cover picture: it is shown for the whole length of "
                          "the sound.");
    }
    return true;
}

std::vector<PlannedRendition> plan_ladder(int width, int height, const std::vector<std::string>& resolution,
                                       std::vector<int> bitrate) {
    Plan plan = plan_renditions(width, height, resolution, std::move(bitrate));
    for (const auto& line : plan.lines) log_message(line.level, line.text);
    return std::move(plan.renditions);
}

void plan_source_size(Source& stage, const std::vector<PlannedRendition>& plan) {
    for (const auto& rendition : plan) {
        if (rendition.width * rendition.height > stage.largest_width * stage.largest_height) {
            stage.largest_width = rendition.width;
            stage.largest_height = rendition.height;
        }
    }
}

bool open_stage(Source& stage, const std::vector<PlannedRendition>& plan) {
    plan_source_size(stage, plan);
    const Status opened = open_source(stage);
    if (opened.failed()) {
        for (const auto& rendition : plan) log_rendition_failure(rendition.name + ".m3u8", opened);
        return false;
    }
    if (!stage.input.why_no_audio.empty()) {
        log_message(WARN, stage.input.why_no_audio + "; every rendition carries a silent audio track.");
    }
    for (const auto& line : stage.subtitle_warnings) log_message(WARN, line);
    return true;
}

namespace {

// The source is decoded and normalised once for every rendition: its
// decoders, the AAC encoder and the audio graph are opened here. When that
// cannot even start, every rendition fails with the cause.
std::vector<RenditionResult> run_ladder(Source& stage, const std::vector<PlannedRendition>& plan,
                                        const std::string& key, const std::function<bool()>& interrupted,
                                        bool& stopped) {
    if (plan.empty()) return {};
    if (!open_stage(stage, plan)) return std::vector<RenditionResult>(plan.size());
    return run_renditions(stage, plan, key, interrupted, stopped);
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
// The master playlist is written whole beside its place and then put there
// in one step: a server that serves the folder meanwhile, or a crash in the
// middle, never hands a player half a playlist. A symbolic link at `output`
// is written through; anything there but a file (a device, a pipe) is
// written into, never replaced.
bool write_master_playlist(const std::string& output, const std::vector<Variant>& variants,
                           const std::vector<SubtitleRendition>& subtitles) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::file_status there = fs::status(output, error);
    const bool in_place = fs::exists(there) && !fs::is_regular_file(there);
    const fs::path place = fs::is_symlink(output, error) ? fs::weakly_canonical(output, error) : fs::path(output);
    const fs::path written = in_place ? place : fs::path(place.string() + ".tmp");
    std::ofstream file(written, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!file) {
        log_message(ERROR, "Could not write the master playlist " + output + ": " +
                               std::strerror(errno) + ".");
        return false;
    }
    const fs::path folder = fs::absolute(output, error).lexically_normal().parent_path();
    const std::string master_folder = error ? "" : resolved_folder(folder);
    const fs::path working = fs::current_path(error);
    const std::string working_directory = error ? "" : resolved_folder(working);
    file << master_playlist_text(variants, master_folder, working_directory, subtitles);
    file.close();
    std::string why = file.fail() ? std::strerror(errno) : "";
    if (why.empty() && !in_place) {
        fs::rename(written, place, error);
        if (error) why = error.message();
    }
    if (why.empty()) return true;
    if (!in_place) fs::remove(written, error);
    log_message(ERROR, "Could not write the master playlist " + output + ": " + why + ".");
    return false;
}

// A master playlist named like a rendition's media playlist would replace it.
// So would one named like an I-frame or subtitle playlist.
bool replaces_a_media_playlist(const std::string& output, const std::vector<Variant>& created,
                               const std::vector<SubtitleRendition>& subtitles) {
    std::error_code error;
    for (const auto& variant : created) {
        const std::string& name = variant.planned.name;
        for (const std::string& playlist : {name + ".m3u8", name + "_iframes.m3u8"}) {
            if (std::filesystem::equivalent(output, playlist, error)) {
                log_message(ERROR, "Could not write the master playlist " + output +
                                       ": it is the media playlist of rendition " + name + ".");
                return true;
            }
        }
    }
    for (const auto& track : subtitles) {
        if (std::filesystem::equivalent(output, track.playlist, error)) {
            log_message(ERROR, "Could not write the master playlist " + output + ": it is the playlist of the "
                                   "subtitle track " + track.name + ".");
            return true;
        }
    }
    return false;
}

}  // namespace

WrittenSubtitles write_subtitle_tracks(const SubtitleTracks& tracks, const std::vector<RenditionResult>& results,
                                       const std::string& key, bool stopped) {
    WrittenSubtitles written;
    if (stopped) return written;
    for (const auto& line : tracks.losses()) log_message(WARN, line);
    // Timed as the renditions' segments are: every rendition's are alike.
    for (const auto& result : results) {
        if (!result.created) continue;
        int left_out = 0;
        const Status s = write_subtitles(tracks, result.handed_out, result.ts_start, key, written.listed, left_out);
        written.failed = s.failed();
        if (s.failed()) {
            log_message(ERROR, "The subtitles could not be written (while " + s.action + ": " + s.cause() +
                                   "); the master playlist lists none.");
        } else if (left_out > 0) {
            log_message(WARN, "The subtitles: " + std::to_string(left_out) +
                                  " cue(s) left out of segments that would have held more than " +
                                  std::to_string(kSegmentTextBytes / 1024) + " KiB of text.");
        }
        break;
    }
    return written;
}

void report(const std::string& output, const std::vector<PlannedRendition>& plan,
            const std::vector<RenditionResult>& results, bool stopped,
            const WrittenSubtitles& subtitles) {
    if (stopped) {
        log_message(ERROR, "The job was interrupted: the renditions were stopped unfinished (their "
                           "playlists have no end) and the master playlist " + output + " was not written.");
        return;
    }
    std::vector<Variant> created;
    std::string failed;
    for (size_t i = 0; i < plan.size(); ++i) {
        const RenditionResult& result = results[i];
        if (result.created) {
            created.push_back(Variant{plan[i], result.rates.peak, result.rates.average, result.video_codec,
                                      result.iframe_rates.peak, result.iframe_rates.average});
        } else {
            failed += (failed.empty() ? "" : ", ") + plan[i].name;
        }
    }
    if (!plan.empty() && created.empty()) {
        log_message(ERROR, "No rendition was created; the master playlist " + output +
                               " was not written.");
        return;
    }
    if (replaces_a_media_playlist(output, created, subtitles.listed) ||
        !write_master_playlist(output, created, subtitles.listed)) {
        return;
    }
    log_message(SUCCESS, "Encrypted Master playlist generated: " + output);
    // Subtitles that could not be written were said so in an ERROR line.
    if (!failed.empty()) {
        log_message(ERROR, "Renditions not created: " + failed + ".");
    } else if (!subtitles.failed) {
        log_message(SUCCESS, "All secure transcoding finished flawlessly.");
    }
}

namespace {

// The subtitle tracks the job may write: every subtitle stream of the source
// (the bitmap ones are left out later, but may be counted here).
int subtitle_streams(const Source& stage) {
    int streams = 0;
    const AVFormatContext* input = stage.input.context.get();
    for (unsigned i = 0; input && i < input->nb_streams; ++i) {
        streams += input->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE;
    }
    return streams;
}

}  // namespace

void HlsLadderJob(std::string input, std::string output, std::vector<std::string> resolution,
                  std::vector<int> bitrate, std::string key, const std::function<bool()>& interrupted) {
    // The job's lines, and FFmpeg's warnings and errors about its work as
    // WARN lines among them.
    JobLog lines;
    FfmpegLogRoute ffmpeg_messages(lines);
    // The source is opened once: planned from here, then read by the stage.
    auto stage = std::make_unique<Source>();
    const JobObject stage_of_job(stage.get(), sizeof(Source));
    int width = 0;
    int height = 0;
    if (!probe_source(*stage, input, width, height)) return;
    const std::vector<PlannedRendition> plan = plan_ladder(width, height, resolution, std::move(bitrate));
    const OutputClaim files(written_playlists(working_directory(), output, plan, subtitle_streams(*stage)),
                            interrupted);
    if (!files.held()) {
        report(output, plan, {}, true);
        return;
    }
    bool stopped = false;
    const std::vector<RenditionResult> results = run_ladder(*stage, plan, key, interrupted, stopped);
    report(output, plan, results, stopped, write_subtitle_tracks(stage->subtitles, results, key, stopped));
}

}  // namespace corvane
