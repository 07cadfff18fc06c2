#pragma once

// The audio path of the source stage, once for every rendition, in pipeline
// order: the decoder (with sample repair), the timeline (where the sound
// goes on the video's clock, and where silence fills in), the loudness chain
// and the AAC output (the sample FIFO and the AAC encoder), or silence for a
// source without usable sound. This class orders them.

#include <cstdint>

#include "source/aac_output.h"
#include "source/audio_decoder.h"
#include "source/audio_loudness.h"
#include "source/audio_timeline.h"
#include "source/feeds.h"
#include "source/source_input.h"

namespace corvane {

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
    // led in by silence from there. Sound beyond the sizes accepted fails,
    // saying so.
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
    const AVCodecContext* encoder() const { return output_.encoder(); }
    // The audio handed out, on its clock (1/44100 s): whether it started,
    // its first sample and the end of the last.
    bool started() const { return output_.started(); }
    int64_t first_sample() const { return output_.first_sample(); }
    int64_t end_sample() const { return output_.end_sample(); }
    // The end of the last AAC packet handed out (1/44100 s).
    int64_t handed_end() const { return output_.handed_end(); }
    // Packets given to the decoder so far.
    int64_t packets() const { return decoder_.packets(); }

private:
    Status take_frame(AVFrame* frame, int64_t video_reach, int64_t video_start, Feeds& feeds);
    Status rebuild_chain(const AVFrame* frame, Feeds& feeds);

    AudioDecoder decoder_;
    AudioTimeline timeline_;
    LoudnessChain loudness_;
    AacOutput output_;
};

}  // namespace corvane
