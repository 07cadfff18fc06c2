#include "rendition/transcode.h"

#include <exception>

#include "log/log.h"
#include "rendition/rendition.h"

namespace corvane {

namespace {

Status set_up(Rendition& r) {
    Status s = open_video_encoder(r);
    if (!s.failed()) s = open_output(r);
    if (!s.failed()) s = allocate_buffers(r);
    return s;
}

// Takes everything the source hands over, in its order, up to the end mark.
// The H.264 encoder is drained as soon as the last picture has come, before
// the last audio, as the streams end in the muxer.
Status take_feed(Rendition& r) {
    while (true) {
        Status s;
        switch (r.feed.pop(r.picture.get(), r.audio_packet.get(), r.outcome)) {
            case MediaQueue::Kind::picture:
                s = encode_picture(r, r.picture.get());
                av_frame_unref(r.picture.get());
                break;
            case MediaQueue::Kind::audio:
                s = write_audio(r, r.audio_packet.get());
                break;
            case MediaQueue::Kind::read_end:
                if (!r.outcome.read_warning.empty()) {
                    log_message(WARN, "Rendition " + r.playlist_path + r.outcome.read_warning);
                }
                break;
            case MediaQueue::Kind::video_end:
                s = encode_and_write(r, nullptr);
                break;
            case MediaQueue::Kind::end:
                return r.outcome.status;
            case MediaQueue::Kind::abandoned:
                return r.feed.why_abandoned();
        }
        if (s.failed()) return s;
    }
}

Status finish(Rendition& r, RenditionResult& result) {
    Status s = status_of(av_write_trailer(r.output.get()), "writing the HLS trailer");
    if (s.failed()) return s;
    s = check_written_segments(r, result.rates);
    if (s.failed()) return s;
    result.video_codec = video_codec_string(r);
    result.created = true;
    return s;
}

// Whatever way the rendition ends, the source stops handing it anything.
struct StopTaking {
    MediaQueue& feed;
    ~StopTaking() { feed.stop_taking(); }
};

}  // namespace

RenditionResult transcode_variant(MediaQueue& feed, const AVCodecParameters* audio,
                                  std::string playlist_path, int width, int height, int video_bit_rate,
                                  std::string key_info_path) {
    StopTaking stop{feed};
    const std::string name = playlist_path;
    RenditionResult result;
    Status s;
    try {
        Rendition r(feed, audio, std::move(playlist_path), width, height, video_bit_rate,
                    std::move(key_info_path));
        s = set_up(r);
        if (!s.failed()) s = take_feed(r);
        if (!s.failed() && !r.outcome.failure.empty()) {
            log_rendition_failure(name, r.outcome.failure);
            return RenditionResult{};
        }
        if (!s.failed()) s = finish(r, result);
        if (!s.failed()) {
            log_message(SUCCESS, "Encrypted variant created: " + r.playlist_path);
            return result;
        }
    } catch (const std::exception& e) {
        // Nothing may leave a worker thread: it would end the process.
        log_rendition_failure(name, e.what());
        return RenditionResult{};
    }
    // An interrupted job says so once, for every rendition.
    if (s.code == AVERROR_EXIT) return RenditionResult{};
    log_rendition_failure(name, s);
    return RenditionResult{};
}

void log_rendition_failure(const std::string& playlist, const Status& why) {
    if (!why.reason.empty()) {
        log_message(ERROR, "Rendition " + playlist + " failed: " + why.reason);
    } else {
        log_message(ERROR, "Rendition " + playlist + " failed while " + why.action + ": " + why.cause());
    }
}

void log_rendition_failure(const std::string& playlist, const std::string& reason) {
    log_message(ERROR, "Rendition " + playlist + " failed: " + reason);
}

}  // namespace corvane
