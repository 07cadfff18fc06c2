#pragma once

// Where the sound goes on the output's clock. The audio path keeps its sound
// on the video's clock: sound that starts after the first picture is led in
// by silence, holes in the source's sound are filled with silence, and sound
// that ends before the last picture is followed by silence. The timeline
// decides where and how much, in plain numbers; the audio path makes the
// silence.

#include <cstdint>

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/rational.h>
}

namespace corvane {

// Holes in the source audio longer than 1/kGapFillDivisor s are filled with
// silence so that the audio stays on the video's clock; longer than
// kLongestGapSeconds, the source's clock is taken to have jumped and nothing
// is filled. The same bounds hold for sound that starts late.
constexpr int kGapFillDivisor = 50;  // 1/50 s = 20 ms
constexpr int kLongestGapSeconds = 600;

// A decoded frame of sound, as far as its time goes.
struct FrameTiming {
    // Its start in `time_base` (the stream's): its own stamp, else the
    // decoder's guess; AV_NOPTS_VALUE when neither is known.
    int64_t time = AV_NOPTS_VALUE;
    AVRational time_base{1, 1};
    int sample_rate = 0;
    int samples = 0;
    // Whether `time` is the frame's own stamp. Decoders that give several
    // frames for one packet stamp only the first.
    bool own_stamp = false;
};

// Where the AAC clock starts.
struct ClockStart {
    int64_t first_sample = 0;  // on the AAC clock (1/44100 s)
    int64_t lead_in = 0;       // silence before the first frame, in its own samples
};

class AudioTimeline {
public:
    // Where the AAC clock starts for the first frame of sound: where the
    // source says it starts, or at the first picture (`video_start`, 1/30 s;
    // AV_NOPTS_VALUE: none yet) when the sound starts later, with as much
    // silence before it. A frame without a time starts the clock at 0.
    static ClockStart start_clock(const FrameTiming& frame, int64_t video_start);
    // Where the AAC clock starts for a source without sound: at the first
    // picture (`video_start`, 1/30 s).
    static int64_t silence_start(int64_t video_start);
    // How many samples of silence follow the sound (it ends at `clock_end`,
    // 1/44100 s) up to the video's end (`video_end`, 1/30 s); 0 when the
    // sound goes as far.
    static int64_t padding(int64_t clock_end, int64_t video_end);

    // Follows `frame`: how many samples of silence (in its rate) fill the
    // hole before it, 0 when none. `video_reach` is the video's last
    // decoding stamp on the continuous clock (AV_TIME_BASE units;
    // AV_NOPTS_VALUE: none yet). The next frame is then expected where this
    // one ends.
    int64_t keep_on_clock(const FrameTiming& frame, int64_t video_reach);
    // The source's sample rate changed: the expected start of the next frame
    // is carried over to the new rate, so that a hole at the joint is still
    // seen. `old_rate` 0: there was none.
    void change_rate(int old_rate, int new_rate);
    // Where the next frame should start, in its rate; AV_NOPTS_VALUE before
    // the first stamped frame.
    int64_t expected_next() const { return expected_next_; }

private:
    int64_t expected_next_ = AV_NOPTS_VALUE;
};

}  // namespace corvane
