#pragma once

// The video path of the source stage, once for every rendition, in three
// roles: the decoder, the normaliser (deinterlacing, bringing large pictures
// down, tone mapping, turning upright) and the output clock (the
// 30-per-second clock with a key frame at every 2 s mark). This class only
// orders them and hands the settled pictures to the renditions.

#include <cstdint>

#include "av/av_handles.h"
#include "source/feeds.h"
#include "source/output_clock.h"
#include "source/source_input.h"
#include "source/video_decoder.h"
#include "source/video_normaliser.h"

namespace corvane {

class VideoPath {
public:
    // The decoder and the chain's frames, for the input's video stream.
    // Pictures larger than the largest rendition (`largest_width` x
    // `largest_height`, upright; 0 x 0: none planned) are brought down to its
    // size, before any tone mapping.
    Status open(const SourceInput& input, int largest_width, int largest_height);
    // HDR pictures through the filter chain only, for comparisons.
    void convert_hdr_with_filters() { normaliser_.convert_hdr_with_filters(); }

    // How far a still or a pause is shown again: up to `end` (1/30 s, the
    // sound's end) and 5 s beyond, or, without sound (AV_NOPTS_VALUE), for 5
    // minutes after the last picture. Set before every call below.
    void follow_sound(int64_t end) { clock_.follow_sound(end); }
    // Counts the output clock's 2 s marks from `origin` (1/30 s): a stretch
    // of the output made on its own keeps the key frames of the whole.
    void set_grid_origin(int64_t origin) { clock_.set_grid_origin(origin); }

    // Sends one packet (null: the end of the stream) to the decoder and
    // hands every picture that is settled to `feeds`.
    Status decode(const AVPacket* packet, Feeds& feeds);
    // After the decoder's end: drains the chain and hands on what the clock
    // holds; the last picture lasts as long as the source shows it.
    Status finish(Feeds& feeds);
    // Shows the last picture again at every 2 s mark before `until` (1/30 s)
    // that no picture stands on.
    Status repeat_last_picture(int64_t until, Feeds& feeds);
    // Releases the decoder and the chain.
    void close();

    // The output clock's stamps (1/30 s): see OutputClock.
    int64_t first_pts() const { return clock_.first_pts(); }
    int64_t last_pts() const { return clock_.last_pts(); }
    int64_t end_pts() const { return clock_.end_pts(); }

private:
    Status take_decoded(AVFrame* picture, Feeds& feeds);
    Status to_clock(AVFrame* picture, AVRational time_base, Feeds& feeds);
    int64_t stated_end() const;
    Status show(const FramePtr& picture, int64_t stamp, bool key, Feeds& feeds);
    // Where the normaliser's pictures go (the clock), and where the clock's
    // settled pictures go (the renditions).
    PictureSink clock_sink(Feeds& feeds) {
        return [this, &feeds](AVFrame* picture, AVRational time_base) {
            return to_clock(picture, time_base, feeds);
        };
    }
    auto shown_to(Feeds& feeds) {
        return [this, &feeds](const FramePtr& picture, int64_t stamp, bool key) {
            return show(picture, stamp, key, feeds);
        };
    }

    const SourceInput* input_ = nullptr;
    VideoDecoder decoder_;
    VideoNormaliser normaliser_;
    OutputClock<FramePtr> clock_;
    // Where the latest decoded picture ends by its own duration in the
    // source (1/30 s, on the source's clock); AV_NOPTS_VALUE: not stated.
    int64_t shown_until_ = AV_NOPTS_VALUE;
    // Pictures shown since the last key frame; -1 before the first.
    int since_key_ = -1;
};

}  // namespace corvane
