#pragma once

// The one place where the source stage and a rendition worker meet.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "av/av_handles.h"

namespace corvane {

// What the source handed out, on the output clocks: the first picture's
// stamp and where the last one ends (1/30 s), and the first and end sample
// of the audio (1/44100 s).
struct HandedOut {
    int64_t first_video_pts = AV_NOPTS_VALUE;
    int64_t video_end_pts = AV_NOPTS_VALUE;
    bool audio_clock_started = false;
    int64_t audio_first_sample = 0;
    int64_t audio_samples = 0;
};

// How the source ended, handed to each rendition by value with the read end
// mark (read_warning only) and the end mark (all of it).
struct SourceOutcome {
    // The source ended early: the rest of a "Rendition NAME" WARN line.
    std::string read_warning;
    // A failure of the source stage mid-stream: every rendition fails with it.
    Status status;
    // Why the source stopped, in words, when no FFmpeg error code says it: an
    // exception, a picture or sound beyond the sizes accepted, a refused open,
    // or no decodable picture at all.
    std::string failure;
    HandedOut handed_out;
};

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
    enum class Kind {
        picture,    // a picture, its pts in 1/30 s
        audio,      // an AAC packet, its stamps in 1/44100 s
        read_end,   // the whole source has been read; its outcome says whether it ended early
        video_end,  // no more pictures: the H.264 encoder can be drained
        end,        // the source has ended; its outcome says how
        abandoned,  // the feed was given up (a thread could not start, no memory): why_abandoned()
    };

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

    // Rendition side: waits for the next item and moves a picture into
    // `picture`, a packet into `packet` (both must be empty), the outcome of
    // a read end or end mark into `outcome`.
    Kind pop(AVFrame* picture, AVPacket* packet, SourceOutcome& outcome);
    // Rendition side: takes no more items; what is queued is released and a
    // waiting source goes on.
    void stop_taking();

    // Either side, when the job cannot run: a waiting source and a waiting
    // rendition both go on, and nothing more is exchanged. `why` is what the
    // rendition reports.
    void abandon(Status why);
    Status why_abandoned() const;

private:
    struct Slot {
        Kind kind = Kind::end;
        FramePtr picture;
        PacketPtr packet;
        SourceOutcome outcome;
    };
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
