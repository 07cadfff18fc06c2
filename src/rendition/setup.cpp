#include "rendition/rendition.h"

extern "C" {
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <utility>
#include <vector>

namespace corvane {

namespace {

// The video stream is described by the rendition's own H.264 encoder, the
// audio stream by the source's one AAC encoder.
Status add_output_streams(Rendition& r) {
    const char* action = "adding the video output stream";
    r.out_video = avformat_new_stream(r.output.get(), nullptr);
    if (!r.out_video) return Status{AVERROR(ENOMEM), action};
    int ret = avcodec_parameters_from_context(r.out_video->codecpar, r.video_encoder.get());
    if (ret < 0) return Status{ret, action};
    r.out_video->time_base = r.video_encoder->time_base;

    action = "adding the audio output stream";
    r.out_audio = avformat_new_stream(r.output.get(), nullptr);
    if (!r.out_audio) return Status{AVERROR(ENOMEM), action};
    ret = avcodec_parameters_copy(r.out_audio->codecpar, r.audio_parameters);
    if (ret < 0) return Status{ret, action};
    r.out_audio->time_base = kAudioTimeBase;
    return Status{};
}

// The muxer reads the key-info file itself when it opens the first segment,
// but it reports trouble only as "invalid argument", and it takes an IV line
// of the wrong length without a word. The file is checked first, so that the
// error line says what is wrong: a key URI line, the key file's path (a file
// of 16 bytes) and optionally an IV of 32 hex digits.
Status check_key_info(const Rendition& r) {
    // Keys fetched from elsewhere (a URL) are left to the muxer.
    if (r.key_info_path.find("://") != std::string::npos) return Status{};
    std::ifstream file(r.key_info_path);
    std::error_code error;
    if (!file || std::filesystem::is_directory(r.key_info_path, error)) {
        return Status{AVERROR(ENOENT), "opening the key-info file"};
    }
    std::string lines[3];
    for (auto& line : lines) {
        if (!std::getline(file, line)) break;
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    }
    if (lines[0].empty()) return Status{AVERROR_INVALIDDATA, "reading the key-info file's key URI line"};
    if (lines[1].empty()) return Status{AVERROR_INVALIDDATA, "reading the key-info file's key file line"};
    if (lines[1].find("://") == std::string::npos) {
        if (!std::filesystem::is_regular_file(lines[1], error)) {
            return Status{AVERROR(ENOENT), "opening the key file that the key-info file names"};
        }
        if (std::filesystem::file_size(lines[1], error) != 16) {
            return Status{AVERROR_INVALIDDATA, "reading the key file (an AES-128 key is 16 bytes)"};
        }
    }
    const std::string& iv = lines[2];
    const bool sound_iv = iv.empty() || (iv.size() == 32 && std::all_of(iv.begin(), iv.end(), [](unsigned char c) {
                                             return std::isxdigit(c);
                                         }));
    return sound_iv ? Status{}
                    : Status{AVERROR(EINVAL), "reading the key-info file's IV line (32 hex digits)"};
}

}  // namespace

Status open_video_encoder(Rendition& r) {
    r.h264 = avcodec_find_encoder(AV_CODEC_ID_H264);
    if (!r.h264) return Status{AVERROR_ENCODER_NOT_FOUND, "finding an H.264 encoder"};
    r.video_encoder.reset(avcodec_alloc_context3(r.h264));
    AVCodecContext* c = r.video_encoder.get();
    if (!c) return Status{AVERROR(ENOMEM), "opening the H.264 encoder"};
    c->height = r.height;
    c->width = r.width;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    c->time_base = kVideoTimeBase;
    c->thread_count = 0;
    c->framerate = AVRational{30, 1};
    c->bit_rate = r.video_bit_rate;
    // Every rendition states its colours, so that players need not guess.
    c->color_primaries = AVCOL_PRI_BT709;
    c->color_trc = AVCOL_TRC_BT709;
    c->colorspace = AVCOL_SPC_BT709;
    c->color_range = AVCOL_RANGE_MPEG;
    av_opt_set(c->priv_data, "preset", "fast", 0);
    c->gop_size = 60;
    c->keyint_min = 60;
    av_opt_set(c->priv_data, "sc_threshold", "0", 0);
    return status_of(avcodec_open2(c, r.h264, nullptr), "opening the H.264 encoder");
}

// How long the muxer waits for the other stream before it writes a packet.
constexpr int64_t kInterleaveWait = 150 * int64_t{AV_TIME_BASE};

Status open_output(Rendition& r) {
    AVFormatContext* context = nullptr;
    int ret = avformat_alloc_output_context2(&context, nullptr, "hls", r.playlist_path.c_str());
    if (ret < 0 || !context) return Status{ret < 0 ? ret : AVERROR(ENOMEM), "creating the HLS output"};
    r.output.reset(context);

    Status s = add_output_streams(r);
    if (s.failed()) return s;

    // Segments are named after the playlist: 720p.m3u8 gives 720p_000.ts, ...
    const size_t dot = r.playlist_path.rfind('.');
    r.segment_base = dot == std::string::npos ? r.playlist_path : r.playlist_path.substr(0, dot);
    r.segment_pattern = r.segment_base + "_%03d.ts";

    s = check_key_info(r);
    if (s.failed()) return s;

    av_opt_set(context->priv_data, "hls_time", "6", 0);
    av_opt_set(context->priv_data, "hls_segment_filename", r.segment_pattern.c_str(), 0);
    av_opt_set(context->priv_data, "hls_list_size", "0", 0);
    av_opt_set(context->priv_data, "hls_key_info_file", r.key_info_path.c_str(), 0);
    // The H.264 encoder holds a few dozen pictures before it gives the first
    // back: where pictures are seconds apart (time-lapses, a still shown
    // again every 2 s), its packets come up to a minute or more after the
    // audio of the same moment. The muxer waits that long for them, so that
    // each segment holds the audio of its own pictures (after 10 s, its
    // default, it would write the audio ahead into earlier segments).
    context->max_interleave_delta = kInterleaveWait;

    if (!(context->oformat->flags & AVFMT_NOFILE)) {
        ret = avio_open(&context->pb, r.playlist_path.c_str(), AVIO_FLAG_WRITE);
        if (ret < 0) return Status{ret, "opening the playlist for writing"};
    }
    return status_of(avformat_write_header(context, nullptr), "writing the HLS header");
}

Status allocate_buffers(Rendition& r) {
    r.audio_packet.reset(av_packet_alloc());
    r.out_packet.reset(av_packet_alloc());
    r.picture.reset(av_frame_alloc());
    r.scaled.reset(av_frame_alloc());
    r.passed.reset(av_frame_alloc());
    if (!r.audio_packet || !r.out_packet || !r.picture || !r.scaled || !r.passed) {
        return Status{AVERROR(ENOMEM), "allocating packets and frames"};
    }
    return Status{};
}

// Where the encoded pictures and samples begin and end, in seconds of the
// output clock that both streams share.
struct MediaSpan {
    bool known = false;
    double start = 0;
    double end = 0;
    double video_start = 0;
};

MediaSpan media_span(const SourceReport& r) {
    MediaSpan span;
    auto take = [&span](double start, double end) {
        span.start = span.known ? std::min(span.start, start) : start;
        span.end = span.known ? std::max(span.end, end) : end;
        span.known = true;
    };
    if (r.audio_clock_started && r.audio_samples > r.audio_first_sample) {
        const double sample = av_q2d(kAudioTimeBase);
        take(sample * static_cast<double>(r.audio_first_sample), sample * static_cast<double>(r.audio_samples));
    }
    span.video_start = span.start;
    if (r.first_video_pts != AV_NOPTS_VALUE) {
        const double tick = av_q2d(kVideoTimeBase);
        span.video_start = tick * static_cast<double>(r.first_video_pts);
        take(span.video_start, tick * static_cast<double>(r.last_video_pts + 1));
    }
    return span;
}

// Writes `duration` into the EXTINF line `line`, keeping what follows its comma.
void set_duration(std::string& line, double duration) {
    const size_t comma = line.find(',');
    char number[32];
    std::snprintf(number, sizeof number, "%f", duration);
    line = "#EXTINF:" + std::string(number) + (comma == std::string::npos ? "," : line.substr(comma));
}

Status check_written_segments(const Rendition& r) {
    // The muxer does not always report a segment it could not open (an IV it
    // cannot use fails only there, and the trailer still succeeds), so the
    // finished playlist is read back.
    const char* action = "checking the written segments";
    std::error_code error;
    if (!std::filesystem::is_regular_file(r.playlist_path, error)) {
        return Status{AVERROR(ENOENT), "writing the playlist"};
    }
    std::ifstream in(r.playlist_path);
    if (!in) return Status{AVERROR(ENOENT), "writing the playlist"};
    const std::filesystem::path directory = std::filesystem::path(r.playlist_path).parent_path();
    std::vector<std::string> lines;
    int segments = 0;
    double longest = 0;
    size_t target_line = std::string::npos;
    long target = 0;
    std::vector<std::pair<size_t, double>> durations;  // EXTINF line, value
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("#EXT-X-TARGETDURATION:", 0) == 0) {
            target_line = lines.size();
            target = std::strtol(line.c_str() + 22, nullptr, 10);
        } else if (line.rfind("#EXTINF:", 0) == 0) {
            durations.emplace_back(lines.size(), std::strtod(line.c_str() + 8, nullptr));
        } else if (!line.empty() && line[0] != '#') {
            if (!std::filesystem::is_regular_file(directory / line, error)) {
                return Status{AVERROR(ENOENT), action};
            }
            ++segments;
        }
        lines.push_back(std::move(line));
    }
    in.close();
    if (segments == 0) return Status{AVERROR_INVALIDDATA, action};

    // The muxer measures segments by their pictures only: its first EXTINF
    // starts at the first picture, and its last one counts every picture as
    // one tick of 1/30 s, short for sources of fewer pictures per second; the
    // ones between are exact. Audio before the first picture (a camera that
    // started after its microphone) or after the last would be left out, and
    // players would misjudge the presentation's length and end it early. So
    // the first EXTINF is made to start where the media starts and the last
    // to end where it ends. Differences below kFraming are AAC framing.
    constexpr double kFraming = 0.05;
    bool changed = false;
    const MediaSpan span = media_span(r.report);
    if (span.known && !durations.empty()) {
        std::vector<double> exact;
        for (const auto& entry : durations) exact.push_back(entry.second);
        exact.front() += span.video_start - span.start;
        double before_last = 0;
        for (size_t i = 0; i + 1 < exact.size(); ++i) before_last += exact[i];
        if (span.end - span.start - before_last > 0) exact.back() = span.end - span.start - before_last;
        for (size_t i = 0; i < exact.size(); ++i) {
            if (std::fabs(exact[i] - durations[i].second) <= kFraming) continue;
            durations[i].second = exact[i];
            set_duration(lines[durations[i].first], exact[i]);
            changed = true;
        }
    }
    for (const auto& entry : durations) longest = std::max(longest, entry.second);

    // The muxer rounds the target duration to the nearest second, so a 7.2 s
    // segment (25 fps sources: 60 pictures last 2.4 s) would outlast it.
    // Players expect no segment to be longer than the target.
    const long needed = static_cast<long>(std::ceil(longest - 0.0005));
    if (target_line != std::string::npos && needed > target) {
        lines[target_line] = "#EXT-X-TARGETDURATION:" + std::to_string(needed);
        changed = true;
    }
    if (!changed) return Status{};

    const char* rewriting = "rewriting the playlist's durations";
    const std::string temporary = r.playlist_path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc | std::ios::binary);
        for (const auto& line : lines) out << line << "\n";
        out.close();
        if (out.fail()) return Status{AVERROR(EIO), rewriting};
    }
    std::filesystem::rename(temporary, r.playlist_path, error);
    if (error) return Status{AVERROR(error.value()), rewriting};
    return Status{};
}

}  // namespace corvane
