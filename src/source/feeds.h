#pragma once

// The renditions' feeds as the source stage hands items out: every item goes
// to each feed that still takes items.

#include <utility>
#include <vector>

#include "queue/media_queue.h"

namespace corvane {

class Feeds {
public:
    Feeds() = default;
    explicit Feeds(std::vector<MediaQueue*> queues) : queues_(std::move(queues)) {}

    void push_picture(const AVFrame* picture) {
        for (MediaQueue*& queue : queues_) {
            if (queue && !queue->push_picture(picture)) queue = nullptr;
        }
    }
    void push_packet(const AVPacket* packet) {
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

private:
    std::vector<MediaQueue*> queues_;  // null once a rendition takes no more
};

}  // namespace corvane
