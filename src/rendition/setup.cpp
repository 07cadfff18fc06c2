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

#include "rendition/av_compat.h"

namespace corvane {

namespace {

Status open_decoder(AVStream* stream, const AVCodec* codec, CodecContextPtr& context,
                    const char* action) {
    context.reset(avcodec_alloc_context3(codec));
    if (!context) return Status{AVERROR(ENOMEM), action};
    int ret = avcodec_parameters_to_context(context.get(), stream->codecpar);
    if (ret < 0) return Status{ret, action};
    // Decoders need the packets' time base for their own time stamp work
    // (skipped priming samples, for one).
    context->pkt_timebase = stream->time_base;
    return status_of(avcodec_open2(context.get(), codec, nullptr), action);
}

Status add_output_stream(Rendition& r, const AVCodec* codec, const AVCodecContext* encoder,
                         AVStream*& stream, const char* action) {
    stream = avformat_new_stream(r.output.get(), codec);
    if (!stream) return Status{AVERROR(ENOMEM), action};
    int ret = avcodec_parameters_from_context(stream->codecpar, encoder);
    if (ret < 0) return Status{ret, action};
    stream->time_base = encoder->time_base;
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

Status open_input(Rendition& r) {
    AVFormatContext* context = nullptr;
    int ret = avformat_open_input(&context, r.input_path.c_str(), nullptr, nullptr);
    if (ret < 0) return Status{ret, "opening the source"};
    r.input.reset(context);
    ret = avformat_find_stream_info(context, nullptr);
    if (ret < 0) return Status{ret, "reading the source's stream information"};

    r.video_index = find_video_stream(context, &r.video_codec);
    r.audio_index = av_find_best_stream(context, AVMEDIA_TYPE_AUDIO, -1, -1, &r.audio_codec, 0);
    if (r.video_index < 0) return Status{r.video_index, "finding the source's video stream"};
    if (r.audio_index < 0) return Status{r.audio_index, "finding the source's audio stream"};
    r.in_video = context->streams[r.video_index];
    r.upright_turn = upright_turn_of(r.in_video);
    r.in_audio = context->streams[r.audio_index];
    return Status{};
}

Status open_decoders(Rendition& r) {
    Status s = open_decoder(r.in_video, r.video_codec, r.video_decoder, "opening the video decoder");
    if (s.failed()) return s;
    return open_decoder(r.in_audio, r.audio_codec, r.audio_decoder, "opening the audio decoder");
}

Status open_encoders(Rendition& r) {
    r.h264 = avcodec_find_encoder(AV_CODEC_ID_H264);
    r.aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!r.h264) return Status{AVERROR_ENCODER_NOT_FOUND, "finding an H.264 encoder"};
    if (!r.aac) return Status{AVERROR_ENCODER_NOT_FOUND, "finding an AAC encoder"};
    Status s = configure_video_encoder(r);
    if (s.failed()) return s;
    return configure_audio_encoder(r);
}

Status open_output(Rendition& r) {
    AVFormatContext* context = nullptr;
    int ret = avformat_alloc_output_context2(&context, nullptr, "hls", r.playlist_path.c_str());
    if (ret < 0 || !context) return Status{ret < 0 ? ret : AVERROR(ENOMEM), "creating the HLS output"};
    r.output.reset(context);

    Status s = add_output_stream(r, r.h264, r.video_encoder.get(), r.out_video,
                                 "adding the video output stream");
    if (s.failed()) return s;
    s = add_output_stream(r, r.aac, r.audio_encoder.get(), r.out_audio,
                          "adding the audio output stream");
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

    if (!(context->oformat->flags & AVFMT_NOFILE)) {
        ret = avio_open(&context->pb, r.playlist_path.c_str(), AVIO_FLAG_WRITE);
        if (ret < 0) return Status{ret, "opening the playlist for writing"};
    }
    return status_of(avformat_write_header(context, nullptr), "writing the HLS header");
}

Status allocate_buffers(Rendition& r) {
    const AVCodecContext* enc = r.audio_encoder.get();
    // Room for a few filtered frames from the start, so the FIFO rarely grows.
    r.fifo.reset(av_audio_fifo_alloc(enc->sample_fmt, enc->ch_layout.nb_channels, 4 * 8192));
    if (!r.fifo) return Status{AVERROR(ENOMEM), "allocating the audio sample FIFO"};
    r.read_packet.reset(av_packet_alloc());
    r.out_packet.reset(av_packet_alloc());
    r.decoded.reset(av_frame_alloc());
    r.scaled.reset(av_frame_alloc());
    r.filtered.reset(av_frame_alloc());
    r.audio_frame.reset(av_frame_alloc());
    r.progressive.reset(av_frame_alloc());
    if (!r.read_packet || !r.out_packet || !r.decoded || !r.scaled || !r.filtered ||
        !r.audio_frame || !r.progressive) {
        return Status{AVERROR(ENOMEM), "allocating packets and frames"};
    }
    AVFrame* scaled = r.scaled.get();
    scaled->format = r.video_encoder->pix_fmt;
    scaled->width = r.video_encoder->width;
    scaled->height = r.video_encoder->height;
    int ret = av_frame_get_buffer(scaled, 32);
    if (ret < 0 || r.upright_turn == 0) return status_of(ret, "allocating the scaled picture");

    r.unturned.reset(av_frame_alloc());
    if (!r.unturned) return Status{AVERROR(ENOMEM), "allocating the scaled picture"};
    const bool sideways = r.upright_turn % 180 != 0;
    r.unturned->format = scaled->format;
    r.unturned->width = sideways ? scaled->height : scaled->width;
    r.unturned->height = sideways ? scaled->width : scaled->height;
    return status_of(av_frame_get_buffer(r.unturned.get(), 32), "allocating the scaled picture");
}

// Where the encoded pictures and samples begin and end, in seconds of the
// output clock that both streams share.
struct MediaSpan {
    bool known = false;
    double start = 0;
    double end = 0;
    double video_start = 0;
};

MediaSpan media_span(const Rendition& r) {
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
    const MediaSpan span = media_span(r);
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
