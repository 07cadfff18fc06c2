#pragma once

// The audio path of the source stage, once for every rendition: the audio
// decoder, sample repair, gap filling, the loudness chain, the sample FIFO
// and the AAC encoder, or silence for a source without usable sound.

#include <cstdint>
#include <string>

#include "av/av_handles.h"
#include "av/filter_chain.h"
#include "av/output.h"
#include "source/feeds.h"
#include "source/source_input.h"

namespace corvane {

// What the loudness chain was built for.
struct AudioChainInput {
    int sample_rate = 0;
    int sample_fmt = AV_SAMPLE_FMT_NONE;
    ChannelLayout layout;
};

class AudioPath {
public:
    // The AAC encoder, and for a source with audio its decoder and the
    // loudness chain. An audio track whose decoder cannot be opened is given
    // up (`input` then says why): the video is still worth having, with
    // silence.
    Status open(SourceInput& input);

    // Sends one packet (null: the end of the stream) to the decoder and
    // hands every AAC packet that comes out to `feeds`. Holes in the sound
    // are filled as far as `video_reach` (the video's last decoding stamp
    // on the continuous clock, AV_TIME_BASE units; AV_NOPTS_VALUE: none yet);
    // sound that starts after the first picture (`video_start`, 1/30 s) is
    // led in by silence from there.
    Status decode(const AVPacket* packet, int64_t video_reach, int64_t video_start, Feeds& feeds);
    // Silence up to `video_end` (1/30 s), from `video_start` on when no sound
    // came before, for a source without usable audio.
    Status add_silence(int64_t video_start, int64_t video_end, Feeds& feeds);
    // Drains the chain, the FIFO and the AAC encoder, with silence up to
    // `video_end` (1/30 s) when the sound ends before it.
    Status finish(int64_t video_end, Feeds& feeds);
    // Releases the decoder and the chain: the audio track is given up.
    void drop();
    void close();

    // The AAC stream every rendition carries.
    const AVCodecContext* encoder() const { return encoder_.get(); }
    // The audio handed out, on its clock (1/44100 s): whether it started,
    // its first sample and the end of the last.
    bool started() const { return started_; }
    int64_t first_sample() const { return first_sample_; }
    int64_t end_sample() const { return samples_; }
    // The end of the last AAC packet handed out (1/44100 s).
    int64_t handed_end() const { return handed_end_; }
    // Packets given to the decoder so far.
    int64_t packets() const { return packets_; }

private:
    Status open_encoder();
    Status build_chain(int sample_rate, int sample_fmt, const AVChannelLayout& layout);
    bool matches_chain(const AVFrame* frame) const;
    Status receive_samples(int64_t video_reach, int64_t video_start, Feeds& feeds);
    Status filter_frame(AVFrame* frame, int64_t video_reach, int64_t video_start, Feeds& feeds);
    int64_t start_clock(const AVFrame* frame, int64_t time, int64_t video_start);
    Status keep_on_clock(const AVFrame* frame, int64_t time, int64_t video_reach_dts, Feeds& feeds);
    Status fill_gap(const AVFrame* frame, int64_t missing, Feeds& feeds);
    Status push_to_chain(AVFrame* frame, Feeds& feeds);
    Status buffer_filtered(AVFrame* filtered, Feeds& feeds);
    Status drain_chain(Feeds& feeds);
    Status encode_fifo(bool final, Feeds& feeds);
    Status pad_with_silence(int64_t video_end, Feeds& feeds);
    Status cut_encoder_frame(int n);
    Status encode(const AVFrame* frame, Feeds& feeds);

    const SourceInput* input_ = nullptr;
    // Owned, in order of acquisition.
    CodecContextPtr decoder_;
    CodecContextPtr encoder_;
    FilterChain<AudioChainInput> chain_;
    AudioFifoPtr fifo_;
    PacketPtr packet_;   // one packet from the AAC encoder
    FramePtr decoded_;
    FramePtr filtered_;  // one pull from the chain
    FramePtr frame_;     // one encoder-sized cut of the FIFO
    FramePtr silence_;   // silent samples, for a source without usable audio

    int64_t packets_ = 0;
    // The AAC clock, in samples: whether it started, where, and how far.
    bool started_ = false;
    int64_t first_sample_ = 0;
    int64_t samples_ = 0;
    int64_t handed_end_ = 0;
    // Where the next decoded frame should start, in its own sample rate, to
    // find holes in the source audio.
    int64_t expected_next_ = AV_NOPTS_VALUE;
};

}  // namespace corvane
