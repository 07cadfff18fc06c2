#include "queue/media_queue.h"

namespace corvane {

MediaQueue::MediaQueue(int capacity) : slots_(static_cast<size_t>(capacity > 0 ? capacity : 1)) {
    for (auto& slot : slots_) {
        slot.picture.reset(av_frame_alloc());
        slot.packet.reset(av_packet_alloc());
        if (!slot.picture || !slot.packet) allocated_ = false;
    }
}

MediaQueue::Slot* MediaQueue::wait_for_room(std::unique_lock<std::mutex>& lock) {
    not_full_.wait(lock, [this] { return stopped_ || abandoned_ || count_ < slots_.size(); });
    if (stopped_ || abandoned_) return nullptr;
    return &slots_[(head_ + count_) % slots_.size()];
}

void MediaQueue::publish(std::unique_lock<std::mutex>& lock) {
    ++count_;
    lock.unlock();
    not_empty_.notify_one();
}

// A reference that cannot be made (no memory) would be a hole in the
// rendition: the feed is abandoned instead, and the rendition fails.
bool MediaQueue::give_up(std::unique_lock<std::mutex>& lock, const char* action) {
    abandoned_ = true;
    why_abandoned_ = Status{AVERROR(ENOMEM), action};
    lock.unlock();
    not_empty_.notify_all();
    return false;
}

bool MediaQueue::push_picture(const AVFrame* picture) {
    std::unique_lock<std::mutex> lock(mutex_);
    Slot* slot = wait_for_room(lock);
    if (!slot) return false;
    if (av_frame_ref(slot->picture.get(), picture) < 0) return give_up(lock, "taking pictures from the source");
    slot->kind = Kind::picture;
    publish(lock);
    return true;
}

bool MediaQueue::push_packet(const AVPacket* packet) {
    std::unique_lock<std::mutex> lock(mutex_);
    Slot* slot = wait_for_room(lock);
    if (!slot) return false;
    // Each rendition gets its own copy of the (small) AAC packet, so that no
    // two threads ever touch one buffer: only its owner reads and frees it.
    if (av_packet_ref(slot->packet.get(), packet) < 0 || av_packet_make_writable(slot->packet.get()) < 0) {
        return give_up(lock, "taking audio from the source");
    }
    slot->kind = Kind::audio;
    publish(lock);
    return true;
}

bool MediaQueue::push_mark(Kind kind, const SourceOutcome& outcome) {
    std::unique_lock<std::mutex> lock(mutex_);
    Slot* slot = wait_for_room(lock);
    if (!slot) return false;
    slot->kind = kind;
    if (kind == Kind::read_end || kind == Kind::end) slot->outcome = outcome;
    publish(lock);
    return true;
}

MediaQueue::Kind MediaQueue::pop(MediaItem& item) {
    std::unique_lock<std::mutex> lock(mutex_);
    not_empty_.wait(lock, [this] { return abandoned_ || count_ > 0; });
    if (abandoned_) {
        item.kind = Kind::abandoned;
        item.outcome.status = why_abandoned_;
        return item.kind;
    }
    Slot& slot = slots_[head_];
    item.kind = slot.kind;
    if (slot.kind == Kind::picture) av_frame_move_ref(item.picture.get(), slot.picture.get());
    if (slot.kind == Kind::audio) av_packet_move_ref(item.packet.get(), slot.packet.get());
    if (slot.kind == Kind::read_end || slot.kind == Kind::end) item.outcome = std::move(slot.outcome);
    head_ = (head_ + 1) % slots_.size();
    --count_;
    lock.unlock();
    not_full_.notify_one();
    return item.kind;
}

void MediaQueue::stop_taking() {
    std::unique_lock<std::mutex> lock(mutex_);
    stopped_ = true;
    for (; count_ > 0; --count_, head_ = (head_ + 1) % slots_.size()) {
        av_frame_unref(slots_[head_].picture.get());
        av_packet_unref(slots_[head_].packet.get());
    }
    lock.unlock();
    not_full_.notify_all();
}

void MediaQueue::abandon(Status why) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!abandoned_) why_abandoned_ = why;
    abandoned_ = true;
    lock.unlock();
    not_full_.notify_all();
    not_empty_.notify_all();
}

}  // namespace corvane
