#include "source/audio_timeline.h"

extern "C" {
#include <libavutil/mathematics.h>
}

#include <algorithm>

#include "av/output.h"

namespace corvane {

namespace {

int64_t longest_gap(int sample_rate) { return int64_t{kLongestGapSeconds} * sample_rate; }

// Whether a hole of `missing` samples after `expected` (both in 1/`rate` s)
// is filled. Silence is only worth having next to pictures: a hole is filled
// as far as the video has come, and a second beyond (the demuxer delivers
// both streams in time order), which also bounds what a damaged clock can
// cost. Before any picture, only the longest gap bounds it.
bool fillable(int64_t missing, int64_t expected, int rate, int64_t video_reach) {
    int64_t reach = longest_gap(rate);
    if (video_reach != AV_NOPTS_VALUE) {
        reach = av_rescale_q(video_reach + AV_TIME_BASE, AV_TIME_BASE_Q, AVRational{1, rate}) - expected;
    }
    return missing <= longest_gap(rate) && missing <= reach;
}

}  // namespace

// Sound that starts after the first picture (a microphone switched on late,
// a recorder that waited for its first sound) is led in by silence from the
// first picture: a segment without any sound would leave players without its
// audio format. Sound that starts only a little late is taken as it is, and
// sound that starts very late is taken to be on a clock of its own.
ClockStart AudioTimeline::start_clock(const FrameTiming& frame, int64_t video_start) {
    ClockStart start;
    if (frame.time == AV_NOPTS_VALUE) return start;
    start.first_sample = av_rescale_q(frame.time, frame.time_base, kAudioTimeBase);
    if (video_start == AV_NOPTS_VALUE || frame.sample_rate <= 0) return start;
    const AVRational rate{1, frame.sample_rate};
    const int64_t late =
        av_rescale_q(frame.time, frame.time_base, rate) - av_rescale_q(video_start, kVideoTimeBase, rate);
    if (late > frame.sample_rate / kGapFillDivisor && late <= longest_gap(frame.sample_rate)) {
        start.lead_in = late;
        start.first_sample = av_rescale_q(video_start, kVideoTimeBase, kAudioTimeBase);
    }
    return start;
}

int64_t AudioTimeline::silence_start(int64_t video_start) {
    return av_rescale_q(video_start, kVideoTimeBase, kAudioTimeBase);
}

int64_t AudioTimeline::padding(int64_t clock_end, int64_t video_end) {
    return std::max<int64_t>(0, av_rescale_q(video_end, kVideoTimeBase, kAudioTimeBase) - clock_end);
}

int64_t AudioTimeline::keep_on_clock(const FrameTiming& frame, int64_t video_reach) {
    // A frame without a stamp of its own goes on where the previous one
    // ended: only a real stamp can show a hole.
    if (!frame.own_stamp && expected_next_ != AV_NOPTS_VALUE) {
        expected_next_ += frame.samples;
        return 0;
    }
    if (frame.time == AV_NOPTS_VALUE || frame.sample_rate <= 0) return 0;
    const int64_t start = av_rescale_q(frame.time, frame.time_base, AVRational{1, frame.sample_rate});
    int64_t hole = 0;
    if (expected_next_ == AV_NOPTS_VALUE) {
        expected_next_ = start;
    } else {
        const int64_t missing = start - expected_next_;
        // Shorter holes, and sound that overlaps what came before, are not
        // filled: the samples follow on from the last ones, and so does the
        // position expected next.
        if (missing > frame.sample_rate / kGapFillDivisor) {
            if (fillable(missing, expected_next_, frame.sample_rate, video_reach)) hole = missing;
            // Filled or not (the clock jumped), the sound goes on from here.
            expected_next_ = start;
        }
    }
    expected_next_ += frame.samples;
    return hole;
}

void AudioTimeline::change_rate(int old_rate, int new_rate) {
    if (expected_next_ == AV_NOPTS_VALUE || old_rate <= 0 || new_rate <= 0) return;
    expected_next_ = av_rescale_q(expected_next_, AVRational{1, old_rate}, AVRational{1, new_rate});
}

}  // namespace corvane
