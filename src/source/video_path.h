#pragma once

// The video path of the source stage, once for every rendition: the video
// decoder, the chain that deinterlaces, brings large pictures down to the
// largest rendition's size, tone-maps and turns the pictures upright, and
// the clock that stamps them on the 30-per-second output clock with a key
// frame at least every 2 s.

#include <atomic>
#include <cstdint>
#include <string>

#include "av/av_handles.h"
#include "av/filter_chain.h"
#include "av/output.h"
#include "av/picture_area.h"
#include "source/feeds.h"
#include "source/source_input.h"

namespace corvane {

// Key frames come every 2 s of output time (kKeyInterval ticks); the H.264
// encoders make one every kKeyPictures pictures by themselves.
constexpr int64_t kKeyInterval = kGopPictures;
constexpr int kKeyPictures = kGopPictures;

// What the video chain (deinterlacer, scaling down, tone mapping, turn) was
// built for.
struct VideoChainInput {
    int width = 0;
    int height = 0;
    int pix_fmt = AV_PIX_FMT_NONE;
    AVRational sample_aspect{0, 1};
    int colorspace = AVCOL_SPC_UNSPECIFIED;  // as the pictures are tagged
    int color_range = AVCOL_RANGE_UNSPECIFIED;
    int matrix = AVCOL_SPC_BT709;  // the matrix their numbers are read in
    bool deinterlaces = false;
    bool scales = false;  // brought down to the largest rendition's size
    int transfer = AVCOL_TRC_UNSPECIFIED;  // the HDR transfer it tone-maps, if any
    AVRational time_base{1, 1};
};

class VideoPath {
public:
    // The decoder and the frames, for the input's video stream. Pictures
    // larger than the largest rendition (`largest_width` x `largest_height`,
    // upright; 0 x 0: none planned) are brought down to its size, before
    // any tone mapping.
    Status open(const SourceInput& input, int largest_width, int largest_height);

    // How far a still or a pause is shown again: up to `end` (1/30 s, the
    // sound's end) and 5 s beyond, or, without sound (AV_NOPTS_VALUE), for 5
    // minutes after the last picture. Set before every call below.
    void follow_sound(int64_t end) { sound_end_ = end; }

    // Sends one packet (null: the end of the stream) to the decoder and
    // hands every picture that is settled to `feeds`. A packet the decoder
    // rejects (damaged data) is skipped.
    Status decode(const AVPacket* packet, Feeds& feeds);
    // After the decoder's end: drains the chain and hands on the held picture.
    Status finish(Feeds& feeds);
    // Repeats the last picture at every key frame mark before `until` (1/30 s)
    // that no picture stands on.
    Status repeat_last_picture(int64_t until, Feeds& feeds);
    // Releases the decoder and the chain.
    void close();

    // The first stamp (1/30 s) given to a picture, held or handed out, and the
    // last one handed out; AV_NOPTS_VALUE before any.
    int64_t first_pts() const { return first_pts_; }
    int64_t last_pts() const { return last_pts_; }
    // Where the last picture handed out ends (1/30 s): one tick after it,
    // and after finish() as long as the source shows it.
    int64_t end_pts() const { return end_pts_; }
    // Why the path failed, in words, when no FFmpeg error code says it.
    const std::string& failure() const { return failure_; }

private:
    static int guarded_get_buffer(AVCodecContext* decoder, AVFrame* picture, int flags);
    Status receive_pictures(Feeds& feeds, bool draining);
    Status filter_picture(AVFrame* picture, Feeds& feeds);
    Status stamp_picture(AVFrame* picture, AVRational time_base, Feeds& feeds);
    Status hand_on_held(Feeds& feeds);
    void keep_spare(AVFrame* picture, int64_t stamp, double off_tick);
    Status hand_on_spare(int64_t next, Feeds& feeds);
    Status hand_on(AVFrame* picture, Feeds& feeds);
    int hdr_transfer(const AVFrame* picture) const;
    bool can_tone_map(int transfer);
    Status build_chain(const AVFrame* picture, bool deinterlace, int transfer, const PictureArea& size);
    const char* chain_action() const;
    Status take_filtered(AVFrame* picture, Feeds& feeds);
    Status drain_chain(Feeds& feeds);

    const SourceInput* input_ = nullptr;
    int largest_width_ = 0;
    int largest_height_ = 0;
    // Owned, in order of acquisition.
    CodecContextPtr decoder_;
    FilterChain<VideoChainInput> chain_;  // made for the first picture that needs it
    FramePtr decoded_;
    FramePtr filtered_;  // one pull from the chain
    FramePtr held_;      // the latest picture, until the next shows which is nearer its tick
    FramePtr spare_;     // a picture that lost its tick, for the next one
    FramePtr last_;      // the last picture handed on, to repeat it

    // Set by the decoder (on its own threads) when it was asked for a
    // picture beyond the sizes accepted, which it was refused.
    std::atomic<bool> oversized_{false};
    std::atomic<int> oversized_width_{0};
    std::atomic<int> oversized_height_{0};
    std::string failure_;
    bool tone_map_warned_ = false;

    int64_t sound_end_ = AV_NOPTS_VALUE;
    // The stamps handed out, and the shift applied after a backwards jump of
    // the source's time stamps.
    int64_t first_pts_ = AV_NOPTS_VALUE;
    int64_t last_pts_ = AV_NOPTS_VALUE;
    int64_t end_pts_ = AV_NOPTS_VALUE;
    int64_t pts_shift_ = 0;
    // Where the latest decoded picture ends by its own duration in the
    // source (1/30 s, before the shift); AV_NOPTS_VALUE: not stated.
    int64_t shown_until_ = AV_NOPTS_VALUE;
    // How far from its tick the held picture and the spare were filmed, in ticks.
    double held_off_tick_ = 0;
    double spare_off_tick_ = 0;
    // Key frames: the stamp of the last one, and the pictures handed on since.
    int64_t last_key_stamp_ = AV_NOPTS_VALUE;
    int pictures_since_key_ = 0;
};

}  // namespace corvane
