// The source stage of a chunk of a chunked job that starts in the middle of
// the source: only the video path, from a key frame of the source a few
// seconds before the chunk's stretch, up to the first picture after it.
// The pictures before the stretch settle the output clock as the whole
// source would have (which tick each picture takes, which are key frames);
// the caller compares what it showed with what the whole source shows.

#include "source/source.h"

namespace corvane {

namespace {

Status seek_before(Source& s, int64_t from) {
    const AVStream* video = s.input.video;
    const int64_t target = av_rescale_q(from - kChunkLeadIn, kVideoTimeBase, video->time_base);
    const int ret = av_seek_frame(s.input.context.get(), video->index, target, AVSEEK_FLAG_BACKWARD);
    return status_of(ret, "seeking to the chunk's start in the source");
}

}  // namespace

Status open_stretch(Source& s) {
    RETURN_IF_FAILED(open_reading(s));
    RETURN_IF_FAILED(s.video.open(s.input, s.largest_width, s.largest_height));
    // Only the pictures are read.
    if (s.input.audio) s.input.audio->discard = AVDISCARD_ALL;
    return Status{};
}

Status read_stretch(Source& s, const Stretch& stretch) {
    if (stretch.from != INT64_MIN) RETURN_IF_FAILED(seek_before(s, stretch.from));
    AVPacket* packet = s.read_packet.get();
    // A still or a pause lasts as long as the sound does: here the sound is
    // taken to go on, as it does but at the source's very end.
    const int64_t sound = s.input.audio ? INT64_MAX / 4 : AV_NOPTS_VALUE;
    while (s.feeds.anyone_taking() && !s.stop && !s.feeds.past_stretch()) {
        const int ret = av_read_frame(s.input.context.get(), packet);
        // The source's end belongs to the last chunk, which reads it whole.
        if (ret == AVERROR_EOF) break;
        if (ret < 0) return status_of(ret, "reading the source");
        Status status;
        if (packet->stream_index == s.input.video_index) {
            keep_clock_continuous(s.input, packet, s.input.video_clock);
            s.video.follow_sound(sound);
            status = s.video.decode(packet, s.feeds);
        }
        av_packet_unref(packet);
        RETURN_IF_FAILED(status);
    }
    if (!s.stop) s.feeds.push_mark(MediaQueue::Kind::video_end);
    return Status{};
}

}  // namespace corvane
