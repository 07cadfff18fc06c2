#pragma once

// The audio path's loudness chain: the source's samples, in whatever rate,
// format and layout they come, normalised in loudness and made 44.1 kHz
// stereo for the AAC output. Silence for holes in the source's sound goes
// through it too, in the source's own format.

#include <cstdint>

#include "av/av_handles.h"
#include "av/filter_chain.h"
#include "source/aac_output.h"
#include "source/feeds.h"

namespace corvane {

// What the loudness chain was built for.
struct AudioChainInput {
    int sample_rate = 0;
    int sample_fmt = AV_SAMPLE_FMT_NONE;
    ChannelLayout layout;
};

class LoudnessChain {
public:
    Status open();
    // Builds the chain for samples stamped in `time_base`, in place of the
    // one before (which must have been drained).
    Status build(AVRational time_base, int sample_rate, int sample_fmt, const AVChannelLayout& layout);
    bool built() const { return chain_.built(); }
    // Whether `frame` fits the chain as it is built.
    bool matches(const AVFrame* frame) const;
    // The sample rate the chain was last built for; 0: never built.
    int built_rate() const { return chain_.built_for().sample_rate; }

    // Each of these hands what comes out of the chain to `out`.
    // Filters one frame.
    Status filter(AVFrame* frame, AacOutput& out, Feeds& feeds);
    // Filters `samples` of silence in the format of `like`.
    Status add_silence(const AVFrame* like, int64_t samples, AacOutput& out, Feeds& feeds);
    // Tells the chain that its input has ended, takes what it still holds
    // and releases it.
    Status drain(AacOutput& out, Feeds& feeds);
    void release() { chain_.release(); }

private:
    FilterChain<AudioChainInput> chain_;
    FramePtr filtered_;  // one pull from the chain
};

}  // namespace corvane
