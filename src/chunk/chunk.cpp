#include "chunk/chunk.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>

#include "chunk/packet_file.h"
#include "ladder/job_steps.h"
#include "ladder/job_threads.h"
#include "log/log.h"
#include "log/ffmpeg_log.h"
#include "rendition/transcode.h"
#include "source/source.h"

namespace corvane {

namespace {

// How many pictures may wait for one rendition (as in the single call).
constexpr int kFeedCapacity = 8;

std::string shown_path(const std::string& folder, int index) {
    char name[32];
    std::snprintf(name, sizeof name, "/chunk%04d.shown", index);
    return folder + name;
}

// The pictures a chunk showed, as Stretch notes them.
bool write_shown(const std::string& path, const std::vector<int64_t>& shown) {
    {
        std::ofstream file(part_path(path), std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(shown.data()),
                   static_cast<std::streamsize>(shown.size() * sizeof(int64_t)));
        if (!file.flush()) return false;
    }
    return std::rename(part_path(path).c_str(), path.c_str()) == 0;
}

bool read_shown(const std::string& path, std::vector<int64_t>& shown) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) return false;
    const std::streamoff size = file.tellg();
    shown.resize(static_cast<size_t>(size) / sizeof(int64_t));
    file.seekg(0);
    return static_cast<bool>(file.read(reinterpret_cast<char*>(shown.data()),
                                       static_cast<std::streamsize>(shown.size() * sizeof(int64_t))));
}

// What a chunk's threads share while it runs.
struct ChunkRun {
    std::vector<std::unique_ptr<MediaQueue>> feeds;
    std::vector<MediaQueue*> taking;
    std::vector<int64_t> shown;
    PacketWriter audio;
    Stretch stretch;
    // Whether the source stage is within the chunk's stretch.
    std::atomic<bool> within{false};
    std::atomic<int64_t> read_position{0};
};

Status open_chunk(const ChunkTask& task, Source& stage, ChunkRun& run, FfmpegLogRoute& ffmpeg_messages) {
    RETURN_IF_FAILED(open_source_input(stage.input, task.input));
    plan_source_size(stage, task.renditions);
    RETURN_IF_FAILED(task.whole_source ? open_source(stage) : open_stretch(stage));
    if (!task.whole_source) stage.video.set_grid_origin(task.origin);
    for (size_t i = 0; i < task.renditions.size(); ++i) {
        run.feeds.push_back(std::make_unique<MediaQueue>(kFeedCapacity));
        if (!run.feeds.back()->allocated()) return Status{AVERROR(ENOMEM), "setting up the renditions"};
        run.taking.push_back(run.feeds.back().get());
    }
    run.stretch.from = task.from;
    run.stretch.to = task.to;
    run.stretch.shown = &run.shown;
    // What FFmpeg says from here on: of the video decoder, only while the
    // pictures of the stretch are decoded; of everything else (the file, the
    // sound), only in the last chunk, which reads the whole source.
    run.within = task.from == INT64_MIN;
    run.stretch.outside = [&run](bool outside) { run.within = !outside; };
    ffmpeg_messages.choose([&run, video = std::string(stage.input.video_codec ? stage.input.video_codec->name : ""), last = task.keep_audio](
                               const std::string& from) { return from == video ? run.within.load() : last; });
    if (task.whole_source && !task.exact && task.from != INT64_MIN) {
        run.stretch.decode_from = task.from - kChunkLeadIn;
        run.stretch.note_from = run.stretch.decode_from;
    }
    if (task.keep_audio) {
        const AVCodecContext* aac = stage.audio.encoder();
        RETURN_IF_FAILED(run.audio.open(audio_packets_path(task.folder), aac->extradata, aac->extradata_size));
        run.stretch.audio = [&run](const AVPacket* packet) { return run.audio.write(packet); };
    }
    return Status{};
}

// The source stage of the chunk; how it ended.
SourceOutcome read_chunk(const ChunkTask& task, Source& stage, ChunkRun& run) {
    if (task.whole_source) return run_source(stage, run.taking, run.read_position, &run.stretch);
    SourceOutcome outcome;
    stage.feeds = Feeds(run.taking, &run.stretch);
    try {
        outcome.status = read_stretch(stage, run.stretch);
    } catch (const std::exception& e) {
        outcome.status = failure_because(AVERROR_EXTERNAL, e.what());
    }
    stage.video.close();
    stage.feeds.push_mark(MediaQueue::Kind::end, outcome);
    stage.feeds = Feeds();
    return outcome;
}

void run_chunk(const ChunkTask& task, Source& stage, ChunkRun& run, ChunkResult& result) {
    JobThreads threads;
    threads.reserve(task.renditions.size() + 1);
    try {
        for (size_t i = 0; i < task.renditions.size(); ++i) {
            threads.start([&task, &result, &feed = *run.feeds[i], i] {
                const PlannedRendition& r = task.renditions[i];
                result.renditions[i] = encode_stretch(feed, chunk_packets_path(task.folder, task.index, i),
                                                      r.name + ".m3u8", r.width, r.height, r.bitrate);
            });
        }
        threads.start([&] {
            try {
                result.outcome = read_chunk(task, stage, run);
            } catch (...) {
                result.outcome.status = Status{AVERROR(ENOMEM), "reading the source"};
                for (const auto& f : run.feeds) f->abandon(result.outcome.status);
            }
        });
    } catch (...) {
        const Status why{AVERROR(EAGAIN), "starting the job's threads"};
        for (const auto& feed : run.feeds) feed->abandon(why);
        for (size_t i = threads.started(); i < task.renditions.size(); ++i) result.renditions[i] = why;
    }
    threads.join_all();
}

}  // namespace

std::string chunk_packets_path(const std::string& folder, int index, size_t rendition) {
    char name[48];
    std::snprintf(name, sizeof name, "/chunk%04d_%zu.h264", index, rendition);
    return folder + name;
}

std::string audio_packets_path(const std::string& folder) { return folder + "/audio.aac"; }

std::string subtitles_path(const std::string& folder) { return folder + "/subtitles.cues"; }

ChunkResult encode_chunk(const ChunkTask& task) {
    // The chunk's lines are kept for the job that runs it, which writes them.
    JobLog lines(JobLog::kKeep);
    ChunkResult result;
    result.renditions.resize(task.renditions.size());
    {
        FfmpegLogRoute ffmpeg_messages(lines);
        // What the source's opening says, the job's plan has reported.
        ffmpeg_messages.choose([](const std::string&) { return false; });
        auto stage = std::make_unique<Source>();
        const JobObject stage_of_job(stage.get(), sizeof(Source));
        ChunkRun run;
        const Status opened = open_chunk(task, *stage, run, ffmpeg_messages);
        if (opened.failed()) {
            result.outcome.status = opened;
        } else {
            run_chunk(task, *stage, run, result);
            if (run.audio.is_open() && result.outcome.status.ok()) {
                result.outcome.status = run.stretch.audio_failure.failed() ? run.stretch.audio_failure
                                                                           : run.audio.close();
            }
            if (!write_shown(shown_path(task.folder, task.index), run.shown) && result.outcome.status.ok()) {
                result.outcome.status = Status{AVERROR(EIO), "writing the chunk's pictures"};
            }
            if (task.keep_audio && result.outcome.status.ok() &&
                !stage->subtitles.save(subtitles_path(task.folder))) {
                result.outcome.status = Status{AVERROR(EIO), "writing the chunk's subtitles"};
            }
        }
    }
    result.lines = lines.lines();
    return result;
}

bool chunks_join(const std::string& folder, int earlier, int later, int64_t join) {
    std::vector<int64_t> first, second;
    if (!read_shown(shown_path(folder, earlier), first) || !read_shown(shown_path(folder, later), second)) {
        return false;
    }
    // A clock that starts afresh makes its first picture a key frame: it has
    // settled from the next key frame on.
    auto settled = [](const std::vector<int64_t>& shown) {
        for (size_t i = 1; i < shown.size(); ++i) {
            if (shown[i] & 1) return shown[i] >> 1;
        }
        return INT64_MAX;
    };
    const int64_t from = std::max(settled(first), settled(second));
    auto within = [from, join](const std::vector<int64_t>& shown) {
        std::vector<int64_t> kept;
        for (const int64_t picture : shown) {
            if ((picture >> 1) >= from && (picture >> 1) < join) kept.push_back(picture);
        }
        return kept;
    };
    const std::vector<int64_t> expected = within(first);
    return !expected.empty() && within(second) == expected;
}

}  // namespace corvane
