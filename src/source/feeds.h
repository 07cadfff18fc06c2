#pragma once

// The renditions' feeds as the source stage hands items out: every item goes
// to each feed that still takes items. A chunk of a chunked job hands out
// only its stretch of the output (see Stretch).

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "queue/media_queue.h"

namespace corvane {

// What a chunk of a chunked job keeps of the source stage's hand-out: the
// pictures stamped within [from, to) (1/30 s) go to the renditions; every
// picture the stage shows from `note_from` on is noted in `shown` (its stamp
// times two, plus one for a key frame) when given; the AAC packets go to
// `audio` when given, and to no rendition.
struct Stretch {
    int64_t from = INT64_MIN;
    int64_t to = INT64_MAX;
    // A chunk that reads the whole source for its sound decodes the first
    // pictures (for the first one's stamp) and then only those from the last
    // key frame before `decode_from` (1/30 s; AV_NOPTS_VALUE: every
    // picture); that key frame's stamp becomes `note_from`.
    int64_t decode_from = AV_NOPTS_VALUE;
    int64_t note_from = INT64_MIN;
    std::vector<int64_t>* shown = nullptr;
    std::function<Status(const AVPacket*)> audio;
    // Called with true while the source stage is outside the stretch, false
    // within it: FFmpeg's messages of decoding other pictures are muted.
    std::function<void(bool)> outside;
    // The first failure of `audio`, and whether a picture at or after `to`
    // has been shown.
    Status audio_failure;
    bool passed = false;
    bool within = false;
};

class Feeds {
public:
    Feeds() = default;
    explicit Feeds(std::vector<MediaQueue*> queues, Stretch* stretch = nullptr)
        : queues_(std::move(queues)), stretch_(stretch) {}

    // A picture shown at its pts; `key`: a key frame of the output clock.
    void push_picture(const AVFrame* picture, bool key) {
        if (stretch_ && !in_stretch(picture->pts, key)) return;
        for (MediaQueue*& queue : queues_) {
            if (queue && !queue->push_picture(picture)) queue = nullptr;
        }
    }
    void push_packet(const AVPacket* packet) {
        if (stretch_) {
            if (stretch_->audio && stretch_->audio_failure.ok()) stretch_->audio_failure = stretch_->audio(packet);
            return;
        }
        for (MediaQueue*& queue : queues_) {
            if (queue && !queue->push_packet(packet)) queue = nullptr;
        }
    }
    void push_mark(MediaQueue::Kind kind, const SourceOutcome& outcome = SourceOutcome{}) {
        for (MediaQueue*& queue : queues_) {
            if (queue && !queue->push_mark(kind, outcome)) queue = nullptr;
        }
    }
    // Whether any rendition still takes items. A rendition that stopped is
    // forgotten at the next item it refuses, so the source never waits for it.
    bool anyone_taking() const {
        for (const MediaQueue* queue : queues_) {
            if (queue) return true;
        }
        return false;
    }
    // Whether the output has gone past the stretch: nothing more to hand out.
    bool past_stretch() const { return stretch_ && stretch_->passed; }
    Stretch* stretch() const { return stretch_; }

private:
    bool in_stretch(int64_t stamp, bool key) {
        if (stretch_->shown && stamp >= stretch_->note_from) stretch_->shown->push_back(stamp * 2 + (key ? 1 : 0));
        const bool within = stamp >= stretch_->from && stamp < stretch_->to;
        if (stamp >= stretch_->to) stretch_->passed = true;
        if (within != stretch_->within && stretch_->outside) stretch_->outside(!within);
        stretch_->within = within;
        return within;
    }

    std::vector<MediaQueue*> queues_;  // null once a rendition takes no more
    Stretch* stretch_ = nullptr;
};

}  // namespace corvane
