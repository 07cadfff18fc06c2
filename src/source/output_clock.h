#pragma once

// The output clock: puts the source's pictures on the renditions'
// 30-per-second clock. It takes the pictures in the order they come, with
// their source times, and says which tick each is shown at, which pictures
// are shown again (a still, a pause, a slow slideshow) and which are key
// frames.
//
// Key frames stand on a grid: the first picture at or after every 2 s mark,
// counted from the first picture's stamp. Whether a picture is a key frame
// thus depends on its stamp alone, not on the pictures before it, so any
// stretch of the output that starts at a mark can be made again on its own.
//
// `Picture` is whatever the caller moves through the clock (an owned frame;
// a number in tests). The clock calls `show(const Picture&, stamp, key)` for
// each picture it settles, in order; `show` returns a Status, and a failed
// one stops the clock's work and is returned.

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/mathematics.h>
}

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

#include "av/output.h"
#include "av/status.h"

namespace corvane {

// Key frames every 2 s of output time, in ticks.
constexpr int64_t kKeyInterval = kGopPictures;
// A source clock that goes back by more than this (ticks) has restarted
// (spliced recordings, a wrapped clock): the output clock carries on from
// where it was instead of dropping every picture until the source catches up.
constexpr int64_t kClockRestart = 30;
// Without sound, a still or a pause is shown again for 5 minutes at most, and
// no last picture lasts longer: a leap of a damaged file's stamps is no pause
// to fill with pictures.
constexpr int64_t kLongestSilentStill = 300 * kVideoTimeBase.den;
// With sound, a still or a pause lasts as long as the sound, and 5 s beyond.
constexpr int64_t kSoundAhead = 5 * kVideoTimeBase.den;

template <class Picture>
class OutputClock {
public:
    // How far a still or a pause is shown again: up to `end` (ticks, the
    // sound's end), or without sound (AV_NOPTS_VALUE) for 5 minutes after the
    // last picture.
    void follow_sound(int64_t end) { sound_end_ = end; }
    // Counts the 2 s marks from `origin` (ticks) instead of from the first
    // picture's stamp: a stretch of a longer output, made on its own, keeps
    // the marks of the whole.
    void set_grid_origin(int64_t origin) { grid_origin_ = origin; }

    // Takes a picture filmed at `pts` in `time_base` (AV_NOPTS_VALUE: not
    // known; it then follows the picture before). Each tick shows the source
    // picture filmed nearest to it: a picture is held until the next one
    // shows whether that is nearer to the same tick (a 60 fps source gives
    // two pictures per tick, and the one filmed on the tick is kept). A
    // picture that loses its tick but was filmed after it is kept aside for
    // the next tick, which it takes when no picture nearer to that one comes
    // (a tick left empty by a picture the source lost, jitter in a phone's
    // clock). Slower sources keep every picture. Stamps always increase.
    template <class Show>
    Status take(Picture picture, int64_t pts, AVRational time_base, Show&& show) {
        const int64_t taken = held_.filled ? held_.stamp : last_pts_;
        Slot slot{std::move(picture), taken == AV_NOPTS_VALUE ? 0 : taken + 1, 0, true};
        if (pts != AV_NOPTS_VALUE) {
            const int64_t tick = av_rescale_q(pts, time_base, kVideoTimeBase);
            const double after_tick = static_cast<double>(pts) * time_base.num * kVideoTimeBase.den /
                                          (static_cast<double>(time_base.den) * kVideoTimeBase.num) -
                                      static_cast<double>(tick);
            slot.off_tick = std::fabs(after_tick);
            slot.stamp = tick + shift_;
            if (taken != AV_NOPTS_VALUE && slot.stamp <= taken) {
                if (taken - slot.stamp >= kClockRestart) {
                    shift_ += taken + 1 - slot.stamp;
                    slot.stamp = taken + 1;
                } else if (slot.stamp == taken && held_.filled && slot.off_tick < held_.off_tick) {
                    held_ = Slot{};  // the nearer of the two pictures takes the tick
                } else {
                    if (slot.stamp == taken && after_tick > 0) {
                        spare_ = Slot{std::move(slot.picture), taken + 1, 1 - after_tick, true};
                    }
                    return Status{};
                }
            }
        }
        RETURN_IF_FAILED(show_held(show));
        RETURN_IF_FAILED(show_spare(slot.stamp, show));
        if (first_pts_ == AV_NOPTS_VALUE) first_pts_ = slot.stamp;
        held_ = std::move(slot);
        return Status{};
    }

    // After the last picture: shows what is held, then lets the last picture
    // last as long as the source shows it, up to `shown_until` (ticks on the
    // source's clock; AV_NOPTS_VALUE: not stated) and never beyond
    // `stated_end` (the length the file states, on the same clock;
    // AV_NOPTS_VALUE: none), shown again at the marks within.
    template <class Show>
    Status finish(int64_t shown_until, int64_t stated_end, Show&& show) {
        RETURN_IF_FAILED(show_held(show));
        RETURN_IF_FAILED(show_spare(INT64_MAX, show));
        if (last_pts_ == AV_NOPTS_VALUE || shown_until == AV_NOPTS_VALUE) return Status{};
        int64_t end = std::min(shown_until + shift_, last_pts_ + kLongestSilentStill);
        if (stated_end != AV_NOPTS_VALUE) end = std::min(end, stated_end + shift_);
        if (end <= end_pts_) return Status{};
        RETURN_IF_FAILED(repeat_last(end, show));
        end_pts_ = std::max(end_pts_, end);
        return Status{};
    }

    // Shows the last picture again, as a key frame, at every mark before
    // `until` (ticks) that no picture stands on: a still, a pause or a
    // slideshow still gets a key frame every 2 s, and its segments stay short.
    template <class Show>
    Status repeat_last(int64_t until, Show&& show) {
        const int64_t limit = sound_end_ != AV_NOPTS_VALUE ? sound_end_ + kSoundAhead
                                                           : last_pts_ + kLongestSilentStill;
        until = std::min(until, limit);
        while (last_.filled && next_mark_ < until) RETURN_IF_FAILED(show_one(last_, next_mark_, show));
        return Status{};
    }

    // The first stamp given to a picture, held or shown, and the last one
    // shown; AV_NOPTS_VALUE before any.
    int64_t first_pts() const { return first_pts_; }
    int64_t last_pts() const { return last_pts_; }
    // Where the last picture shown ends: one tick after it, and after
    // finish() as long as the source shows it.
    int64_t end_pts() const { return end_pts_; }
    // The shift put on the source's clock after it went back.
    int64_t shift() const { return shift_; }

private:
    struct Slot {
        Picture picture{};
        int64_t stamp = AV_NOPTS_VALUE;
        double off_tick = 0;  // how far from its tick it was filmed, in ticks
        bool filled = false;
    };

    template <class Show>
    Status show_one(Slot& slot, int64_t stamp, Show& show) {
        const bool key = last_pts_ == AV_NOPTS_VALUE || stamp >= next_mark_;
        if (last_pts_ == AV_NOPTS_VALUE) {
            next_mark_ = grid_origin_ != AV_NOPTS_VALUE && grid_origin_ <= stamp ? grid_origin_ : stamp;
        }
        if (key) next_mark_ += (stamp - next_mark_) / kKeyInterval * kKeyInterval + kKeyInterval;
        last_pts_ = stamp;
        end_pts_ = stamp + 1;
        return show(static_cast<const Picture&>(slot.picture), stamp, key);
    }

    // Shows the held picture, after the last one again at every mark it
    // leaves out; it then stays at hand as the last picture.
    template <class Show>
    Status show_held(Show& show) {
        if (!held_.filled) return Status{};
        RETURN_IF_FAILED(repeat_last(held_.stamp, show));
        Status status = show_one(held_, held_.stamp, show);
        last_ = std::move(held_);
        held_ = Slot{};
        return status;
    }

    // After the held picture went on: the spare takes its tick unless the
    // next picture (stamped `next`) stands on it.
    template <class Show>
    Status show_spare(int64_t next, Show& show) {
        if (!spare_.filled) return Status{};
        Slot spare = std::move(spare_);
        spare_ = Slot{};
        if (spare.stamp >= next) return Status{};
        held_ = std::move(spare);
        return show_held(show);
    }

    Slot held_;   // the latest picture, until the next shows which is nearer its tick
    Slot spare_;  // a picture that lost its tick, for the next one
    Slot last_;   // the last picture shown, to show it again
    int64_t sound_end_ = AV_NOPTS_VALUE;
    int64_t first_pts_ = AV_NOPTS_VALUE;
    int64_t last_pts_ = AV_NOPTS_VALUE;
    int64_t end_pts_ = AV_NOPTS_VALUE;
    int64_t shift_ = 0;
    int64_t grid_origin_ = AV_NOPTS_VALUE;
    int64_t next_mark_ = AV_NOPTS_VALUE;  // the next 2 s mark after the last key frame
};

}  // namespace corvane
