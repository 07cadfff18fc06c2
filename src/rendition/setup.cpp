#include "rendition/rendition.h"

extern "C" {
#include <libavutil/opt.h>
}

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <utility>
#include <vector>

#include "rendition/key_info.h"

namespace corvane {

namespace {

// The most of a key-info file that is read. The muxer reads at most 1 kB of
// each of its lines.
constexpr size_t kKeyInfoBytes = 64 * 1024;

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

// The key file that the key-info file names, unless it is fetched from
// elsewhere (a URL): a file of 16 bytes.
Status check_key_file(const std::string& path) {
    if (path.find("://") != std::string::npos) return Status{};
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        return Status{AVERROR(ENOENT), "opening the key file that the key-info file names"};
    }
    if (std::filesystem::file_size(path, error) != 16) {
        return Status{AVERROR_INVALIDDATA, "reading the key file (an AES-128 key is 16 bytes)"};
    }
    return Status{};
}

// The muxer reads the key-info file itself when it opens the first segment;
// it is checked first, so that the error line says what is wrong. Problems
// are reported in the file's order: its lines, the key file, the IV.
Status check_key_info(const Rendition& r) {
    // Keys fetched from elsewhere (a URL) are left to the muxer.
    if (r.key_info_path.find("://") != std::string::npos) return Status{};
    std::ifstream file(r.key_info_path, std::ios::binary);
    std::error_code error;
    if (!file || std::filesystem::is_directory(r.key_info_path, error)) {
        return Status{AVERROR(ENOENT), "opening the key-info file"};
    }
    // Three short lines: no more is read, so that a key-info path naming an
    // endless file (a device, a pipe that never ends a line) cannot fill
    // the memory.
    std::string text(kKeyInfoBytes, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(file.gcount()));
    KeyInfo info;
    RETURN_IF_FAILED(parse_key_info(text, info));
    RETURN_IF_FAILED(check_key_file(info.key_file));
    return check_iv(info.iv);
}

// The rate cap of every H.264 encoder, against its bit rate: at most 10 %
// above it over any second, with a buffer of two seconds of it.
constexpr AVRational kMaxRate{11, 10};
constexpr int64_t kBufferSeconds = 2;

}  // namespace

Status open_video_encoder(Rendition& r) {
    // The encoder aims at whole kbit/s: a rate below 1 kbit/s (or below 0)
    // is none it can aim at, and it would fail with a mere "generic error".
    // 0 asks for no rate at all: constant quality.
    if (r.video_bit_rate < 0 || (r.video_bit_rate > 0 && r.video_bit_rate < 1000)) {
        return failure_because(AVERROR(EINVAL), "its bit rate, " + std::to_string(r.video_bit_rate) +
                                                    " bit/s, is below the 1000 bit/s an H.264 encoder can aim at.");
    }
    const AVCodec* h264 = avcodec_find_encoder(AV_CODEC_ID_H264);
    if (!h264) return Status{AVERROR_ENCODER_NOT_FOUND, "finding an H.264 encoder"};
    r.video_encoder.reset(avcodec_alloc_context3(h264));
    AVCodecContext* c = r.video_encoder.get();
    if (!c) return Status{AVERROR(ENOMEM), "opening the H.264 encoder"};
    // The encoder's own threads write its messages: they are the job's by
    // this (see FfmpegLogRoute).
    c->opaque = &r;
    c->height = r.height;
    c->width = r.width;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    c->time_base = kVideoTimeBase;
    c->thread_count = 0;
    c->framerate = AVRational{30, 1};
    c->bit_rate = r.video_bit_rate;
    // Without a cap, average-bit-rate control spends many times the rate on
    // busy passages (a "400 kb/s" rendition that needs 2 Mb/s for seconds
    // stalls every player that chose it). The cap keeps every second within
    // kMaxRate of the rate, with kBufferSeconds of it to move between
    // pictures (key frames, scene changes).
    if (r.video_bit_rate > 0) {
        const int64_t rate = r.video_bit_rate;
        c->rc_max_rate = rate * kMaxRate.num / kMaxRate.den;
        c->rc_buffer_size = static_cast<int>(std::min<int64_t>(rate * kBufferSeconds, INT_MAX));
    }
    // Every rendition states its colours, so that players need not guess.
    c->color_primaries = AVCOL_PRI_BT709;
    c->color_trc = AVCOL_TRC_BT709;
    c->colorspace = AVCOL_SPC_BT709;
    c->color_range = AVCOL_RANGE_MPEG;
    av_opt_set(c->priv_data, "preset", "fast", 0);
    c->gop_size = kGopPictures;
    c->keyint_min = kGopPictures;
    av_opt_set(c->priv_data, "sc_threshold", "0", 0);
    return status_of(avcodec_open2(c, h264, nullptr), "opening the H.264 encoder");
}

namespace {

// The muxer closes every segment and playlist it wrote through this, and
// does not look at the result: a write that failed (a full disk) would
// otherwise show only later, as a segment missing, with another cause. The
// first failure is kept for the rendition.
int close_written_file(AVFormatContext* context, AVIOContext* file) {
    const bool writing = file->write_flag != 0;
    const int ret = avio_close(file);
    Rendition& r = *static_cast<Rendition*>(context->opaque);
    if (writing && ret < 0 && r.write_failure.ok()) r.write_failure = Status{ret, "writing the HLS segments"};
    return ret;
}

}  // namespace

// How long the muxer waits for the other stream before it writes a packet.
constexpr int64_t kInterleaveWait = 150 * int64_t{AV_TIME_BASE};

Status open_output(Rendition& r) {
    AVFormatContext* context = nullptr;
    int ret = avformat_alloc_output_context2(&context, nullptr, "hls", r.playlist_path.c_str());
    if (ret < 0 || !context) return Status{ret < 0 ? ret : AVERROR(ENOMEM), "creating the HLS output"};
    r.output.reset(context);
    context->opaque = &r;
    context->io_close2 = close_written_file;

    RETURN_IF_FAILED(add_output_streams(r));

    // Segments are named after the playlist: 720p.m3u8 gives 720p_000.ts, ...
    const size_t dot = r.playlist_path.rfind('.');
    r.segment_base = dot == std::string::npos ? r.playlist_path : r.playlist_path.substr(0, dot);
    const std::string segment_pattern = r.segment_base + "_%03d.ts";

    RETURN_IF_FAILED(check_key_info(r));
    RETURN_IF_FAILED(r.iframes.open(r.key_info_path, r.segment_base, r.out_video->codecpar));

    av_opt_set(context->priv_data, "hls_time", "6", 0);
    av_opt_set(context->priv_data, "hls_segment_filename", segment_pattern.c_str(), 0);
    av_opt_set(context->priv_data, "hls_list_size", "0", 0);
    // A VOD playlist, written once at the end; segments and the playlist are
    // written beside their place and put there whole.
    av_opt_set(context->priv_data, "hls_playlist_type", "vod", 0);
    av_opt_set(context->priv_data, "hls_flags", "temp_file", 0);
    av_opt_set(context->priv_data, "hls_key_info_file", r.key_info_path.c_str(), 0);
    // The H.264 encoder holds a few dozen pictures before it gives the first
    // back: where pictures are seconds apart (time-lapses, a still shown
    // again every 2 s), its packets come up to a minute or more after the
    // audio of the same moment. The muxer waits that long for them, so that
    // each segment holds the audio of its own pictures (after 10 s, its
    // default, it would write the audio ahead into earlier segments).
    context->max_interleave_delta = kInterleaveWait;
    // The MPEG-TS muxer gathers up to 0.35 s of AAC frames in one PES packet
    // instead of padding a packet for each (about 50 kb/s less for the same
    // sound); its clock starts 1.4 s on to make room for that.
    context->max_delay = kMuxDelay;

    if (!(context->oformat->flags & AVFMT_NOFILE)) {
        ret = avio_open(&context->pb, r.playlist_path.c_str(), AVIO_FLAG_WRITE);
        if (ret < 0) return Status{ret, "opening the playlist for writing"};
    }
    return status_of(avformat_write_header(context, nullptr), "writing the HLS header");
}

Status allocate_buffers(Rendition& r) {
    r.item.packet.reset(av_packet_alloc());
    r.out_packet.reset(av_packet_alloc());
    r.item.picture.reset(av_frame_alloc());
    r.scaling.scaled.reset(av_frame_alloc());
    r.scaling.passed.reset(av_frame_alloc());
    if (!r.item.packet || !r.out_packet || !r.item.picture || !r.scaling.scaled || !r.scaling.passed) {
        return Status{AVERROR(ENOMEM), "allocating packets and frames"};
    }
    return Status{};
}

std::string video_codec_string(const Rendition& r) {
    // The sequence header comes either as an avcC record (version 1, then
    // profile, constraints, level) or as Annex B NAL units, the SPS (type 7)
    // starting with the same three bytes.
    const AVCodecContext* c = r.video_encoder.get();
    const uint8_t* data = c->extradata;
    const int size = c->extradata_size;
    const uint8_t* sps = nullptr;
    if (data && size >= 4 && data[0] == 1) {
        sps = data + 1;
    } else {
        for (int i = 0; data && i + 6 < size && !sps; ++i) {
            if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && (data[i + 3] & 0x1f) == 7) {
                sps = data + i + 4;
            }
        }
    }
    if (!sps) return "";
    char text[16];
    std::snprintf(text, sizeof text, "avc1.%02x%02x%02x", sps[0], sps[1], sps[2]);
    return text;
}

}  // namespace corvane
