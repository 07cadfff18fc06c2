#pragma once

// What the audio path's roles do alike with frames of samples.

#include "av/av_handles.h"

namespace corvane {

// Gives `frame` (holding nothing) buffers for `n` samples of `format` at
// `rate` in `layout`. An FFmpeg error code on failure.
int make_audio_frame(AVFrame* frame, int n, int format, int rate, const AVChannelLayout& layout);

// Silences samples that are not numbers and limits absurdly loud ones, in
// place; integer samples are left as they are.
Status repair_samples(AVFrame* frame);

}  // namespace corvane
