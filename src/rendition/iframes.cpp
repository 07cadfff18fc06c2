#include "rendition/iframes.h"

extern "C" {
#include <libavformat/avio.h>
}

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "av/output.h"
#include "rendition/key_info.h"

namespace corvane {

namespace {

constexpr const char* kWriting = "writing the I-frame playlist";
constexpr AVRational kTsTimeBase{1, 90000};
// The most of the key-info file and of the key file that is read.
constexpr int kKeyInfoBytes = 64 * 1024;

// Up to `limit` bytes of the file or URL `path`, as the HLS muxer reads it.
Status read_start(const std::string& path, int limit, std::string& bytes, const char* action) {
    AVIOContext* in = nullptr;
    int ret = avio_open(&in, path.c_str(), AVIO_FLAG_READ);
    if (ret < 0) return Status{ret, action};
    bytes.assign(static_cast<size_t>(limit), '\0');
    ret = avio_read(in, reinterpret_cast<unsigned char*>(bytes.data()), limit);
    avio_closep(&in);
    bytes.resize(ret > 0 ? static_cast<size_t>(ret) : 0);
    return ret < 0 && ret != AVERROR_EOF ? Status{ret, action} : Status{};
}

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
    std::string text;
    RETURN_IF_FAILED(read_start(key_info_path, kKeyInfoBytes, text, "opening the key-info file"));
    KeyInfo info;
    RETURN_IF_FAILED(parse_key_info(text, info));
    RETURN_IF_FAILED(check_iv(info.iv));
    std::string key;
    RETURN_IF_FAILED(read_start(info.key_file, 17, key, "opening the key file that the key-info file names"));
    if (key.size() != sizeof key_) {
        return Status{AVERROR_INVALIDDATA, "reading the key file (an AES-128 key is 16 bytes)"};
    }
    std::memcpy(key_, key.data(), sizeof key_);
    key_uri_ = info.key_uri;
    iv_ = info.iv;
    aes_.reset(av_aes_alloc());
    if (!aes_) return Status{AVERROR(ENOMEM), kWriting};
    RETURN_IF_FAILED(status_of(av_aes_init(aes_.get(), key_, 128, 0), kWriting));
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

// AES-128-CBC with PKCS#7 padding, as each media segment is encrypted, with
// the playlist's IV, or else the entry's media sequence number.
Status IFrameWriter::encrypt_and_append(std::vector<uint8_t>& bytes) {
    const size_t padding = 16 - bytes.size() % 16;
    bytes.insert(bytes.end(), padding, static_cast<uint8_t>(padding));
    uint8_t iv[16] = {};
    if (!iv_.empty()) {
        for (int i = 0; i < 16; ++i) iv[i] = static_cast<uint8_t>(std::stoi(iv_.substr(2 * i, 2), nullptr, 16));
    } else {
        uint64_t sequence = entries_.size();
        for (int i = 15; i >= 8; --i, sequence >>= 8) iv[i] = static_cast<uint8_t>(sequence & 0xff);
    }
    av_aes_crypt(aes_.get(), bytes.data(), bytes.data(), static_cast<int>(bytes.size() / 16), iv, 0);
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

    IFramePlaylist playlist{file.substr(file.find_last_of('/') + 1), key_uri_, iv_, entries_};
    const std::string text = iframe_playlist_text(playlist);
    const std::string path = playlist_name();
    const std::string written = path + ".tmp";
    errno = 0;
    std::FILE* out = std::fopen(written.c_str(), "wb");
    if (!out) return errno_status(kWriting);
    const bool whole = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    if (std::fclose(out) != 0 || !whole || std::rename(written.c_str(), path.c_str()) != 0) {
        const Status failed = errno_status(kWriting);
        std::remove(written.c_str());
        return failed;
    }
    rates = measure_iframe_rates(entries_);
    return Status{};
}

}  // namespace corvane
