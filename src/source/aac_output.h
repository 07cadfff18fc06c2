#pragma once

// The end of the audio path: the sample FIFO, which cuts the loudness
// chain's frames to the AAC encoder's size, the AAC encoder and its clock,
// and silence where the sound does not reach.

#include <cstdint>

#include "av/av_handles.h"
#include "source/feeds.h"

namespace corvane {

class AacOutput {
public:
    // The AAC encoder, the FIFO and silence ready to be used.
    Status open();

    // Starts the AAC clock at `first_sample` (1/44100 s).
    void start_clock(int64_t first_sample);
    // Takes samples out of the loudness chain and hands every whole AAC
    // packet they make up to `feeds`.
    Status take(AVFrame* filtered, Feeds& feeds);
    // Silence after what the FIFO holds, up to `video_end` (1/30 s).
    Status pad_with_silence(int64_t video_end, Feeds& feeds);
    // Encodes what is left, with silence up to `video_end` (1/30 s;
    // AV_NOPTS_VALUE: no pictures) when the sound ends before it, and drains
    // the encoder.
    Status finish(int64_t video_end, Feeds& feeds);
    void close() { fifo_.reset(); }

    // The AAC stream every rendition carries.
    const AVCodecContext* encoder() const { return encoder_.get(); }
    // The audio handed out, on its clock (1/44100 s): whether it started,
    // its first sample, the end of the last sample and of the last packet.
    bool started() const { return started_; }
    int64_t first_sample() const { return first_sample_; }
    int64_t end_sample() const { return samples_; }
    int64_t handed_end() const { return handed_end_; }

private:
    Status open_encoder();
    Status make_silence();
    Status encode_fifo(bool final, Feeds& feeds);
    Status cut_encoder_frame(int n);
    Status encode(const AVFrame* frame, Feeds& feeds);

    // Owned, in order of acquisition.
    CodecContextPtr encoder_;
    AudioFifoPtr fifo_;
    PacketPtr packet_;   // one packet from the AAC encoder
    FramePtr frame_;     // one encoder-sized cut of the FIFO
    FramePtr silence_;   // silent samples in the encoder's format

    // The AAC clock, in samples: whether it started, where, how far the
    // samples cut from the FIFO reach and how far the packets handed out.
    bool started_ = false;
    int64_t first_sample_ = 0;
    int64_t samples_ = 0;
    int64_t handed_end_ = 0;
};

}  // namespace corvane
