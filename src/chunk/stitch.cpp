#include "chunk/stitch.h"

#include <atomic>
#include <exception>

#include "chunk/chunk.h"
#include "chunk/packet_file.h"
#include "ladder/job_steps.h"
#include "ladder/job_threads.h"
#include "ladder/output_claim.h"
#include "log/ffmpeg_log.h"
#include "log/log.h"
#include "rendition/rendition.h"
#include "source/aac_output.h"
#include "subtitles/subtitle_tracks.h"

namespace corvane {

namespace {

constexpr std::chrono::milliseconds kWatchInterval{100};

// The packets of one rendition, in the order the muxer is given them.
struct Packets {
    PacketReader audio;
    PacketPtr audio_packet{av_packet_alloc()};
    PacketPtr video_packet{av_packet_alloc()};
    bool more_audio = false;
    int64_t last_dts = AV_NOPTS_VALUE;  // of the video, in 1/30 s
    const std::atomic<bool>* stop = nullptr;  // set when the job is interrupted
};

// Writes the AAC packets that come before `dts` (1/30 s; INT64_MAX: all).
Status write_audio_before(Rendition& r, Packets& p, int64_t dts) {
    while (p.more_audio && (dts == INT64_MAX ||
                            av_compare_ts(p.audio_packet->dts, kAudioTimeBase, dts, kVideoTimeBase) <= 0)) {
        RETURN_IF_FAILED(write_audio(r, p.audio_packet.get()));
        RETURN_IF_FAILED(p.audio.read(p.audio_packet.get(), p.more_audio));
    }
    return Status{};
}

// One chunk's H.264 packets. Each chunk's encoder starts its decoding stamps
// a few pictures before its first picture: where pictures are far apart
// (a time-lapse, a still), that can reach back before the previous chunk's
// last one, and the stamps are moved on to keep increasing.
Status write_chunk(Rendition& r, Packets& p, const std::string& path, const std::vector<uint8_t>& header) {
    PacketReader video;
    RETURN_IF_FAILED(video.open(path));
    if (video.header() != header) {
        return failure_because(AVERROR_BUG, "the chunks' H.264 streams start with different sequence headers.");
    }
    AVPacket* packet = p.video_packet.get();
    while (true) {
        bool more = false;
        RETURN_IF_FAILED(video.read(packet, more));
        if (!more) return Status{};
        if (p.stop->load()) return Status{AVERROR_EXIT, "stopping the job"};
        if (p.last_dts != AV_NOPTS_VALUE && packet->dts <= p.last_dts) {
            packet->dts = std::min(p.last_dts + 1, packet->pts);
        }
        p.last_dts = packet->dts;
        RETURN_IF_FAILED(write_audio_before(r, p, packet->dts));
        RETURN_IF_FAILED(write_video(r, packet));
    }
}

Status write_packets(Rendition& r, const std::string& folder, int chunks, size_t index,
                     const std::atomic<bool>& stop) {
    Packets p;
    p.stop = &stop;
    if (!p.audio_packet || !p.video_packet) return Status{AVERROR(ENOMEM), "allocating packets and frames"};
    RETURN_IF_FAILED(p.audio.open(audio_packets_path(folder)));
    RETURN_IF_FAILED(p.audio.read(p.audio_packet.get(), p.more_audio));
    const AVCodecContext* encoder = r.video_encoder.get();
    const std::vector<uint8_t> header(encoder->extradata, encoder->extradata + encoder->extradata_size);
    for (int k = 0; k < chunks; ++k) {
        RETURN_IF_FAILED(write_chunk(r, p, chunk_packets_path(folder, k, index), header));
    }
    return write_audio_before(r, p, INT64_MAX);
}

RenditionResult stitch_rendition(const StitchTask& task, size_t index, const AVCodecParameters* audio,
                                 const std::atomic<bool>& stop) {
    const PlannedRendition& planned = task.renditions[index];
    const std::string playlist = planned.name + ".m3u8";
    if (task.encoded[index].failed()) {
        log_rendition_failure(playlist, task.encoded[index]);
        return RenditionResult{};
    }
    try {
        Rendition r(nullptr, audio, playlist, planned.width, planned.height, planned.bitrate, task.key);
        r.outcome = task.outcome;
        RenditionResult result;
        Status s = open_video_encoder(r);
        if (s.ok()) s = open_output(r);
        if (s.ok()) s = write_packets(r, task.folder, task.chunks, index, stop);
        if (s.ok()) s = finish_output(r, result);
        return conclude_rendition(r, s, result);
    } catch (const std::exception& e) {
        log_rendition_failure(playlist, failure_because(AVERROR_EXTERNAL, e.what()));
        return RenditionResult{};
    }
}

// The AAC stream's parameters, as the chunks' one AAC encoder describes it.
Status aac_parameters(CodecParametersPtr& parameters) {
    AacOutput aac;
    RETURN_IF_FAILED(aac.open());
    parameters.reset(avcodec_parameters_alloc());
    if (!parameters) return Status{AVERROR(ENOMEM), "setting up the renditions"};
    return status_of(avcodec_parameters_from_context(parameters.get(), aac.encoder()), "setting up the renditions");
}

// Each rendition written on a thread of its own, while the calling thread
// asks `interrupted` whether to stop. Says whether the job was stopped.
bool stitch_renditions(const StitchTask& task, const AVCodecParameters* audio, std::vector<RenditionResult>& results,
                       const std::function<bool()>& interrupted) {
    std::atomic<bool> stop{false};
    JobThreads threads;
    threads.reserve(task.renditions.size());
    for (size_t i = 0; i < task.renditions.size(); ++i) {
        threads.start([&task, &results, audio, &stop, i] { results[i] = stitch_rendition(task, i, audio, stop); });
    }
    while (!threads.wait_for(kWatchInterval)) {
        if (!stop && interrupted && interrupted()) stop = true;
    }
    threads.join_all();
    return stop.load();
}

}  // namespace

void stitch_job(const StitchTask& task, const std::function<bool()>& interrupted) {
    JobLog lines;
    FfmpegLogRoute ffmpeg_messages(lines);
    SubtitleTracks subtitles;
    const bool loaded = subtitles.load(subtitles_path(task.folder));
    const int tracks = static_cast<int>(subtitles.tracks().size());
    const OutputClaim files(written_playlists(working_directory(), task.output, task.renditions, tracks),
                            interrupted);
    if (!files.held()) {
        report(task.output, task.renditions, {}, true);
        return;
    }
    std::vector<RenditionResult> results(task.renditions.size());
    CodecParametersPtr audio;
    const Status prepared = aac_parameters(audio);
    if (prepared.failed()) {
        for (const auto& rendition : task.renditions) log_rendition_failure(rendition.name + ".m3u8", prepared);
        report(task.output, task.renditions, results, false);
        return;
    }
    const bool stopped = stitch_renditions(task, audio.get(), results, interrupted);
    WrittenSubtitles written;
    if (loaded) {
        written = write_subtitle_tracks(subtitles, results, task.key, stopped);
    } else if (!stopped) {
        log_message(ERROR, "The subtitles could not be read back from the chunks; the master playlist lists none.");
        written.failed = true;
    }
    report(task.output, task.renditions, results, stopped, written);
}

}  // namespace corvane
