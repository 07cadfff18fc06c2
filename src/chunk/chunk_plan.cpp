#include "chunk/chunk_plan.h"

#include <cmath>
#include <filesystem>
#include <memory>

#include "chunk/chunk_starts.h"
#include "ladder/job_steps.h"
#include "log/ffmpeg_log.h"
#include "log/log.h"

namespace corvane {

namespace {

// How many packets the plan reads to find the first picture.
constexpr int kFirstPicturePackets = 2000;

// The first picture's stamp on the output clock; AV_NOPTS_VALUE when the
// first packets give none.
int64_t first_picture(Source& stage) {
    AVPacket* packet = stage.read_packet.get();
    Feeds nowhere;
    for (int n = 0; n < kFirstPicturePackets && stage.video.first_pts() == AV_NOPTS_VALUE; ++n) {
        if (av_read_frame(stage.input.context.get(), packet) < 0) break;
        Status decoded;
        if (packet->stream_index == stage.input.video_index) {
            keep_clock_continuous(stage.input, packet, stage.input.video_clock);
            decoded = stage.video.decode(packet, nowhere);
        }
        av_packet_unref(packet);
        if (decoded.failed()) break;
    }
    return stage.video.first_pts();
}

// A source is split only where it can be read from the middle: a file of
// stated length with pictures of its own (not a song's cover).
std::vector<int64_t> plan_starts(Source& stage, double chunk_seconds, int64_t& origin,
                                 FfmpegLogRoute& ffmpeg_messages) {
    const AVFormatContext* context = stage.input.context.get();
    if (stage.input.cover || context->duration <= 0 ||
        context->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE || (context->iformat->flags & AVFMT_NOFILE) ||
        !context->pb || !(context->pb->seekable & AVIO_SEEKABLE_NORMAL)) {
        return {};
    }
    // What decoding the first pictures says, the chunks report.
    ffmpeg_messages.choose([](const std::string&) { return false; });
    origin = first_picture(stage);
    if (origin == AV_NOPTS_VALUE) return {};
    return chunk_starts(origin, av_rescale_q(context->duration, AV_TIME_BASE_Q, kVideoTimeBase), chunk_seconds);
}

std::string as_workers_open(const std::string& input) {
    if (input.find("://") != std::string::npos) return input;
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(input, error);
    return error ? input : absolute.string();
}

}  // namespace

std::optional<ChunkedPlan> plan_chunked_job(const std::string& input, const std::string& output,
                                            const std::vector<std::string>& resolution, std::vector<int> bitrate,
                                            double chunk_seconds) {
    JobLog lines;
    FfmpegLogRoute ffmpeg_messages(lines);
    auto stage = std::make_unique<Source>();
    const JobObject stage_of_job(stage.get(), sizeof(Source));
    int width = 0;
    int height = 0;
    if (!probe_source(*stage, input, width, height)) return std::nullopt;
    ChunkedPlan plan;
    plan.renditions = plan_ladder(width, height, resolution, std::move(bitrate));
    if (plan.renditions.empty() || !open_stage(*stage, plan.renditions)) {
        report(output, plan.renditions, std::vector<RenditionResult>(plan.renditions.size()), false);
        return std::nullopt;
    }
    plan.input = as_workers_open(input);
    plan.starts = plan_starts(*stage, chunk_seconds, plan.origin, ffmpeg_messages);
    plan.length = std::max<int64_t>(stage->input.context->duration, 0);
    return plan;
}

}  // namespace corvane
