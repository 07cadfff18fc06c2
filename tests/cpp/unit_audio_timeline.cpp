// Where the audio path puts its sound and how much silence it adds: the AAC
// clock's start, holes in the source's sound, sample rate changes and the
// silence up to the video's end. Times: video 1/30 s, AAC clock 1/44100 s,
// the video's reach in microseconds.

#include <string>
#include <vector>

#include "source/audio_timeline.h"
#include "unit.h"

using corvane::AudioTimeline;
using corvane::ClockStart;
using corvane::FrameTiming;

namespace {

constexpr int64_t kNone = AV_NOPTS_VALUE;
constexpr AVRational k48k{1, 48000};
constexpr AVRational kTs{1, 90000};

FrameTiming frame_at(int64_t time, AVRational time_base, int rate, int samples, bool own_stamp) {
    FrameTiming frame;
    frame.time = time;
    frame.time_base = time_base;
    frame.sample_rate = rate;
    frame.samples = samples;
    frame.own_stamp = own_stamp;
    return frame;
}

// One line per outcome, so that a failure names its case and every number.
std::string outcome(const char* name, int64_t a, int64_t b) {
    return std::string(name) + ": " + std::to_string(a) + " " + std::to_string(b);
}

UNIT_CASE("audio_timeline", start_cases) {
    struct Case {
        const char* name;
        int64_t time;
        AVRational time_base;
        int rate;
        int64_t video_start;
        int64_t first_sample;
        int64_t lead_in;  // in the frame's samples
    };
    const Case cases[] = {
        {"0.5 s after the first picture", 72000, k48k, 48000, 30, 44100, 24000},
        {"20 ms late: taken as it is", 48960, k48k, 48000, 30, 44982, 0},
        {"21 ms late: led in", 49008, k48k, 48000, 30, 44100, 1008},
        {"600 s late: led in", 28848000, k48k, 48000, 30, 44100, 28800000},
        {"over 600 s late: a clock of its own", 28848001, k48k, 48000, 30, 26504101, 0},
        {"before the first picture", 24000, k48k, 48000, 30, 22050, 0},
        {"no picture yet", 72000, k48k, 48000, kNone, 66150, 0},
        {"no time", kNone, k48k, 48000, 30, 0, 0},
        {"clock from 10 s, 44.1 kHz, 0.5 s late", 945000, kTs, 44100, 300, 441000, 22050},
    };
    for (const Case& c : cases) {
        const ClockStart start =
            AudioTimeline::start_clock(frame_at(c.time, c.time_base, c.rate, 1024, true), c.video_start);
        CHECK_EQ(outcome(c.name, start.first_sample, start.lead_in), outcome(c.name, c.first_sample, c.lead_in));
    }
}

// A run of frames through one timeline: after each, the silence it asked for
// before the frame and where the next frame is expected.
UNIT_CASE("audio_timeline", hole_cases) {
    struct Step {
        int64_t time;
        bool own_stamp;
        int64_t video_reach;
        int64_t hole;
        int64_t next;
    };
    struct Case {
        const char* name;
        AVRational time_base;
        std::vector<Step> steps;  // frames of 1024 samples at 48 kHz
    };
    const Case cases[] = {
        {"first frame places the next", k48k, {{1000, true, kNone, 0, 2024}}},
        {"back to back", k48k, {{0, true, kNone, 0, 1024}, {1024, true, kNone, 0, 2048}}},
        {"20 ms hole left", k48k, {{0, true, kNone, 0, 1024}, {1984, true, kNone, 0, 2048}}},
        {"hole over 20 ms filled", k48k, {{0, true, kNone, 0, 1024}, {1985, true, kNone, 961, 3009}}},
        {"overlap left", k48k, {{0, true, kNone, 0, 1024}, {500, true, kNone, 0, 2048}}},
        {"600 s hole filled", k48k, {{0, true, kNone, 0, 1024}, {28801024, true, kNone, 28800000, 28802048}}},
        {"over 600 s: a jump", k48k, {{0, true, kNone, 0, 1024}, {28801025, true, kNone, 0, 28802049}}},
        {"as far as the video reaches", k48k, {{0, true, kNone, 0, 1024}, {48000, true, 0, 46976, 49024}}},
        {"beyond the video's reach: a jump", k48k, {{0, true, kNone, 0, 1024}, {48001, true, 0, 0, 49025}}},
        {"video further than 600 s: still a jump", k48k,
         {{0, true, kNone, 0, 1024}, {28801025, true, 700000000, 0, 28802049}}},
        {"unstamped frame follows on", k48k, {{0, true, kNone, 0, 1024}, {99999, false, kNone, 0, 2048}}},
        {"unstamped first frame placed by its guess", k48k,
         {{5000, false, kNone, 0, 6024}, {8024, true, kNone, 2000, 9048}}},
        {"no time before the first stamp", k48k, {{kNone, false, kNone, 0, kNone}, {0, true, kNone, 0, 1024}}},
        {"90 kHz stamps", kTs, {{90000, true, kNone, 0, 49024}, {135000, true, kNone, 22976, 73024}}},
    };
    for (const Case& c : cases) {
        AudioTimeline timeline;
        for (const Step& step : c.steps) {
            const int64_t hole =
                timeline.keep_on_clock(frame_at(step.time, c.time_base, 48000, 1024, step.own_stamp), step.video_reach);
            CHECK_EQ(outcome(c.name, hole, timeline.expected_next()), outcome(c.name, step.hole, step.next));
        }
    }
}

// 20 ms at 48 kHz, then 44.1 kHz: where the next frame is expected is
// carried over, so that a hole at the joint is measured from the right place.
UNIT_CASE("audio_timeline", rate_change_cases) {
    struct Case {
        const char* name;
        int old_rate;
        int64_t time;  // 1/90000 s, of the 44.1 kHz frame
        int64_t hole;
        int64_t next;
    };
    const Case cases[] = {
        {"on at the joint", 48000, 1800, 0, 1906},
        {"100 ms hole at the joint", 48000, 10800, 4410, 6316},
        {"no rate before: kept as it is", 0, 1800, 0, 1984},
    };
    for (const Case& c : cases) {
        AudioTimeline timeline;
        timeline.keep_on_clock(frame_at(0, kTs, 48000, 960, true), kNone);
        timeline.change_rate(c.old_rate, 44100);
        const int64_t hole = timeline.keep_on_clock(frame_at(c.time, kTs, 44100, 1024, true), kNone);
        CHECK_EQ(outcome(c.name, hole, timeline.expected_next()), outcome(c.name, c.hole, c.next));
    }
    AudioTimeline fresh;
    fresh.change_rate(48000, 44100);
    CHECK_EQ(fresh.expected_next(), kNone);
}

UNIT_CASE("audio_timeline", padding_cases) {
    struct Case {
        int64_t clock_end;  // 1/44100 s
        int64_t video_end;  // 1/30 s
        int64_t silence;
    };
    const Case cases[] = {
        {0, 30, 44100}, {44100, 30, 0}, {50000, 30, 0}, {1000, 1, 470}, {44100, 60, 44100},
    };
    for (const Case& c : cases) {
        CHECK_EQ(outcome("padding", c.clock_end, AudioTimeline::padding(c.clock_end, c.video_end)),
                 outcome("padding", c.clock_end, c.silence));
    }
    CHECK_EQ(AudioTimeline::silence_start(300), int64_t{441000});
    CHECK_EQ(AudioTimeline::silence_start(1), int64_t{1470});
}

}  // namespace
