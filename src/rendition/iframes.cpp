#include "rendition/iframes.h"

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
}

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "av/output.h"
#include "av/whole_file.h"

namespace corvane {

namespace {

constexpr const char* kWriting = "writing the I-frame playlist";
constexpr AVRational kTsTimeBase{1, 90000};

// Closes a memory buffer that an output context writes into, unless it was
// taken: its bytes are dropped.
struct MemoryOutput {
    AVFormatContext* context;
    ~MemoryOutput() {
        if (!context->pb) return;
        uint8_t* data = nullptr;
        avio_close_dyn_buf(context->pb, &data);
        av_free(data);
        context->pb = nullptr;
    }
};

Status errno_status(const char* action) { return Status{AVERROR(errno ? errno : EIO), action}; }

}  // namespace

IFrameWriter::~IFrameWriter() {
    if (file_) std::fclose(file_);
    if (!temporary_.empty() && !finished_) std::remove(temporary_.c_str());
}

Status IFrameWriter::open(const std::string& key_info_path, const std::string& base,
                          const AVCodecParameters* video) {
    base_ = base;
    RETURN_IF_FAILED(key_.read(key_info_path));
    video_.reset(avcodec_parameters_alloc());
    if (!video_) return Status{AVERROR(ENOMEM), kWriting};
    RETURN_IF_FAILED(status_of(avcodec_parameters_copy(video_.get(), video), kWriting));
    temporary_ = base_ + "_iframes.ts.tmp";
    errno = 0;
    file_ = std::fopen(temporary_.c_str(), "wb");
    if (!file_) return errno_status(kWriting);
    return Status{};
}

Status IFrameWriter::take_video(const AVPacket* packet) {
    if (first_video_dts_ == AV_NOPTS_VALUE && packet->dts != AV_NOPTS_VALUE) {
        first_video_dts_ = av_rescale_q(packet->dts, kVideoTimeBase, kTsTimeBase);
    }
    if (!(packet->flags & AV_PKT_FLAG_KEY) || packet->pts == AV_NOPTS_VALUE) return Status{};
    PacketPtr copy(av_packet_clone(packet));
    if (!copy) return Status{AVERROR(ENOMEM), kWriting};
    entry_pts_.push_back(packet->pts);
    pending_.push_back(std::move(copy));
    return first_audio_dts_ == AV_NOPTS_VALUE ? Status{} : write_pending();
}

Status IFrameWriter::take_audio(const AVPacket* packet) {
    if (first_audio_dts_ != AV_NOPTS_VALUE || packet->dts == AV_NOPTS_VALUE) return Status{};
    first_audio_dts_ = av_rescale_q(packet->dts, kAudioTimeBase, kTsTimeBase);
    return write_pending();
}

// The muxer's move: the earliest first decoding stamp of the two streams is
// made 0 when it is negative.
Status IFrameWriter::write_pending() {
    int64_t first = first_video_dts_;
    if (first_audio_dts_ != AV_NOPTS_VALUE && (first == AV_NOPTS_VALUE || first_audio_dts_ < first)) {
        first = first_audio_dts_;
    }
    const int64_t shift = first != AV_NOPTS_VALUE && first < 0 ? -first : 0;
    ts_start_ = shift + av_rescale(2 * kMuxDelay, kTsTimeBase.den, AV_TIME_BASE);
    for (auto& packet : pending_) {
        av_packet_rescale_ts(packet.get(), kVideoTimeBase, kTsTimeBase);
        packet->pts += shift;
        if (packet->dts != AV_NOPTS_VALUE) packet->dts += shift;
        RETURN_IF_FAILED(write_entry(packet.get()));
    }
    pending_.clear();
    return Status{};
}

Status IFrameWriter::write_entry(const AVPacket* packet) {
    std::vector<uint8_t> bytes;
    RETURN_IF_FAILED(mux_picture(packet, bytes));
    return encrypt_and_append(bytes);
}

// The picture as the HLS muxer's MPEG-TS writer puts it in a segment: the
// same stamps (its clock moved on by the same delay), the tables first, and
// the sequence header before the picture.
Status IFrameWriter::mux_picture(const AVPacket* packet, std::vector<uint8_t>& bytes) {
    AVFormatContext* context = nullptr;
    int ret = avformat_alloc_output_context2(&context, nullptr, "mpegts", nullptr);
    if (ret < 0 || !context) return Status{ret < 0 ? ret : AVERROR(ENOMEM), kWriting};
    FormatContextPtr owner(context);
    context->max_delay = kMuxDelay;
    AVStream* stream = avformat_new_stream(context, nullptr);
    if (!stream) return Status{AVERROR(ENOMEM), kWriting};
    RETURN_IF_FAILED(status_of(avcodec_parameters_copy(stream->codecpar, video_.get()), kWriting));
    stream->time_base = kTsTimeBase;
    RETURN_IF_FAILED(status_of(avio_open_dyn_buf(&context->pb), kWriting));
    MemoryOutput memory{context};
    RETURN_IF_FAILED(status_of(avformat_write_header(context, nullptr), kWriting));
    PacketPtr copy(av_packet_clone(packet));
    if (!copy) return Status{AVERROR(ENOMEM), kWriting};
    av_packet_rescale_ts(copy.get(), kTsTimeBase, stream->time_base);
    copy->stream_index = stream->index;
    RETURN_IF_FAILED(status_of(av_write_frame(context, copy.get()), kWriting));
    RETURN_IF_FAILED(status_of(av_write_trailer(context), kWriting));
    uint8_t* data = nullptr;
    const int size = avio_close_dyn_buf(context->pb, &data);
    context->pb = nullptr;
    if (size > 0 && data) bytes.assign(data, data + size);
    av_free(data);
    if (bytes.empty()) return Status{AVERROR(ENOMEM), kWriting};
    return Status{};
}

// Encrypted as each media segment is, as the file of its entry's number.
Status IFrameWriter::encrypt_and_append(std::vector<uint8_t>& bytes) {
    key_.encrypt(bytes, entries_.size());
    errno = 0;
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) return errno_status(kWriting);
    entries_.push_back(IFrameEntry{written_, static_cast<int64_t>(bytes.size()), 0.0});
    written_ += static_cast<int64_t>(bytes.size());
    return Status{};
}

Status IFrameWriter::finish(const HandedOut& media, SegmentRates& rates) {
    RETURN_IF_FAILED(write_pending());
    errno = 0;
    const int closed = std::fclose(file_);
    file_ = nullptr;
    if (closed != 0) return errno_status(kWriting);
    // Each picture stands until the next key frame; the first from where
    // the media starts (sound before the first picture), the last up to
    // where the media ends.
    const double tick = av_q2d(kVideoTimeBase);
    double start = tick * static_cast<double>(entry_pts_.empty() ? 0 : entry_pts_.front());
    double end = tick * static_cast<double>(media.video_end_pts);
    if (media.audio_clock_started && media.audio_samples > media.audio_first_sample) {
        const double sample = av_q2d(kAudioTimeBase);
        start = std::min(start, sample * static_cast<double>(media.audio_first_sample));
        end = std::max(end, sample * static_cast<double>(media.audio_samples));
    }
    for (size_t i = 0; i < entries_.size(); ++i) {
        const double from = i == 0 ? start : tick * static_cast<double>(entry_pts_[i]);
        const double to = i + 1 < entries_.size() ? tick * static_cast<double>(entry_pts_[i + 1]) : end;
        entries_[i].seconds = std::round(std::max(to - from, tick) * 1e6) / 1e6;
    }
    const std::string file = base_ + "_iframes.ts";
    if (std::rename(temporary_.c_str(), file.c_str()) != 0) return errno_status(kWriting);
    finished_ = true;

    IFramePlaylist playlist{file.substr(file.find_last_of('/') + 1), key_.uri(), key_.iv(), entries_};
    RETURN_IF_FAILED(write_whole_file(playlist_name(), iframe_playlist_text(playlist), kWriting));
    rates = measure_iframe_rates(entries_);
    return Status{};
}

}  // namespace corvane
