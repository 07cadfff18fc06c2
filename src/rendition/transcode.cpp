#include "rendition/transcode.h"

#include <exception>

#include "log/log.h"
#include "rendition/rendition.h"

namespace corvane {

namespace {

Status set_up(Rendition& r) {
    RETURN_IF_FAILED(open_video_encoder(r));
    RETURN_IF_FAILED(open_output(r));
    return allocate_buffers(r);
}

// Does what one item from the source asks; `done` is set at the end mark.
Status take_item(Rendition& r, bool& done) {
    MediaItem& item = r.item;
    switch (r.feed->pop(item)) {
        case ItemKind::picture: {
            Status s = encode_picture(r, item.picture.get());
            av_frame_unref(item.picture.get());
            return s;
        }
        case ItemKind::audio:
            return write_audio(r, item.packet.get());
        case ItemKind::read_end:
            r.outcome = std::move(item.outcome);
            if (!r.outcome.read_warning.empty()) {
                log_message(WARN, "Rendition " + r.playlist_path + ": " + r.outcome.read_warning);
            }
            return Status{};
        case ItemKind::video_end:
            return encode_and_write(r, nullptr);
        case ItemKind::end:
            r.outcome = std::move(item.outcome);
            done = true;
            return r.outcome.status;
        case ItemKind::abandoned:
            done = true;
            return item.outcome.status;
    }
    return Status{};
}

// Takes everything the source hands over, in its order, up to the end mark.
// The H.264 encoder is drained as soon as the last picture has come, before
// the last audio, as the streams end in the muxer.
Status take_feed(Rendition& r) {
    for (bool done = false; !done;) RETURN_IF_FAILED(take_item(r, done));
    return Status{};
}

// Whatever way the rendition ends, the source stops handing it anything.
struct StopTaking {
    MediaQueue& feed;
    ~StopTaking() { feed.stop_taking(); }
};

}  // namespace

Status finish_output(Rendition& r, RenditionResult& result) {
    RETURN_IF_FAILED(status_of(av_write_trailer(r.output.get()), "writing the HLS trailer"));
    RETURN_IF_FAILED(check_written_segments(r, result.rates));
    RETURN_IF_FAILED(r.iframes.finish(r.outcome.handed_out, result.iframe_rates));
    result.ts_start = r.iframes.ts_start();
    result.handed_out = r.outcome.handed_out;
    result.video_codec = video_codec_string(r);
    result.created = true;
    return Status{};
}

RenditionResult transcode_variant(MediaQueue& feed, const AVCodecParameters* audio,
                                  std::string playlist_path, int width, int height, int video_bit_rate,
                                  std::string key_info_path) {
    StopTaking stop{feed};
    const std::string name = playlist_path;
    try {
        RenditionResult result;
        Status s;
        Rendition r(&feed, audio, std::move(playlist_path), width, height, video_bit_rate,
                    std::move(key_info_path));
        s = set_up(r);
        if (s.ok()) s = take_feed(r);
        if (s.ok()) s = finish_output(r, result);
        return conclude_rendition(r, s, result);
    } catch (const std::exception& e) {
        // Nothing may leave a worker thread: it would end the process.
        log_rendition_failure(name, failure_because(AVERROR_EXTERNAL, e.what()));
        return RenditionResult{};
    }
}

RenditionResult conclude_rendition(const Rendition& r, Status s, const RenditionResult& result) {
    // A file the muxer could not write whole is the cause of whatever went
    // wrong after, and no rendition is complete without it.
    if (r.write_failure.failed() && s.code != AVERROR_EXIT) s = r.write_failure;
    if (!s.failed()) {
        log_message(SUCCESS, "Encrypted variant created: " + r.playlist_path);
        return result;
    }
    // An interrupted job says so once, for every rendition.
    if (s.code != AVERROR_EXIT) log_rendition_failure(r.playlist_path, s);
    return RenditionResult{};
}

Status encode_stretch(MediaQueue& feed, const std::string& packets, const std::string& playlist_path,
                      int width, int height, int video_bit_rate) {
    StopTaking stop{feed};
    try {
        Rendition r(&feed, nullptr, playlist_path, width, height, video_bit_rate, "");
        RETURN_IF_FAILED(open_video_encoder(r));
        const AVCodecContext* c = r.video_encoder.get();
        RETURN_IF_FAILED(r.video_file.open(packets, c->extradata, c->extradata_size));
        RETURN_IF_FAILED(allocate_buffers(r));
        RETURN_IF_FAILED(take_feed(r));
        return r.video_file.close();
    } catch (const std::exception& e) {
        // Nothing may leave a worker thread: it would end the process.
        return failure_because(AVERROR_EXTERNAL, e.what());
    }
}

void log_rendition_failure(const std::string& playlist, const Status& why) {
    if (!why.reason.empty()) {
        log_message(ERROR, "Rendition " + playlist + " failed: " + why.reason);
    } else {
        log_message(ERROR, "Rendition " + playlist + " failed while " + why.action + ": " + why.cause());
    }
}

}  // namespace corvane
