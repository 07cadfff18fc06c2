#pragma once

// The one place where the source stage and a rendition worker meet.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "av/av_handles.h"
#include "queue/media_item.h"

namespace corvane {

// One rendition's feed: the pictures (stamped on the output clock) and AAC
// packets that the source hands it, in the source's order, at most
// `capacity` at a time. The source waits while the feed is full, so the
// slowest rendition paces the source and memory does not grow with the
// source's length; the rendition waits while it is empty. Neither side
// busy-waits. A picture is a reference: its buffers are shared by every
// rendition (which only read them) and go back to the decoder's pool when the
// last one is done with it. An AAC packet is copied for each rendition.
class MediaQueue {
public:
    using Kind = ItemKind;

    explicit MediaQueue(int capacity);
    MediaQueue(const MediaQueue&) = delete;
    MediaQueue& operator=(const MediaQueue&) = delete;

    // False when the frames and packets could not be allocated.
    bool allocated() const { return allocated_; }

    // Source side. Each waits for room and returns false when the rendition
    // takes no more items (or the reference could not be made).
    bool push_picture(const AVFrame* picture);
    bool push_packet(const AVPacket* packet);
    // A mark; the read end and end marks carry `outcome`.
    bool push_mark(Kind kind, const SourceOutcome& outcome = SourceOutcome{});

    // Rendition side: waits for the next item and moves it into `item`,
    // whose picture and packet must be allocated and empty. Returns its kind;
    // `abandoned` (with `item.outcome.status` saying why) once the queue was
    // given up.
    Kind pop(MediaItem& item);
    // Rendition side: takes no more items; what is queued is released and a
    // waiting source goes on.
    void stop_taking();

    // Either side, when the job cannot run: a waiting source and a waiting
    // rendition both go on, and nothing more is exchanged. `why` is what the
    // rendition reports.
    void abandon(Status why);

private:
    using Slot = MediaItem;
    Slot* wait_for_room(std::unique_lock<std::mutex>& lock);
    void publish(std::unique_lock<std::mutex>& lock);
    bool give_up(std::unique_lock<std::mutex>& lock, const char* action);

    mutable std::mutex mutex_;
    std::condition_variable not_full_;
    std::condition_variable not_empty_;
    std::vector<Slot> slots_;
    size_t head_ = 0;
    size_t count_ = 0;
    bool stopped_ = false;
    bool abandoned_ = false;
    Status why_abandoned_;
    bool allocated_ = true;
};

}  // namespace corvane
