#include "log/ffmpeg_messages.h"

namespace corvane {

void FfmpegMessages::take(const std::string& from, const char* text) {
    if (pending_.empty()) {
        pending_name_ = from;
        pending_from_ = from.empty() ? "FFmpeg: " : "FFmpeg " + from + ": ";
    }
    pending_ += text;
    // A message may come in pieces; it is shown once its line has ended.
    if (pending_.empty() || (pending_.back() != '\n' && pending_.size() < 4096)) return;
    while (!pending_.empty() && (pending_.back() == '\n' || pending_.back() == ' ')) pending_.pop_back();
    // The text may quote the source's content: nothing in it may break a line.
    for (char& c : pending_) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    }
    if (!pending_.empty() && (!wanted_ || wanted_(pending_name_))) show_once(pending_from_ + pending_);
    pending_.clear();
}

void FfmpegMessages::finish() {
    if (!pending_.empty()) take(pending_name_, "\n");
    for (const std::string& line : shown_) {
        const int again = repeats_[line];
        if (again > 0) {
            show_(line + " (came " + std::to_string(again) + " more time" + (again == 1 ? "" : "s") + ")");
        }
    }
    if (hidden_ > 0) {
        show_("FFmpeg: " + std::to_string(hidden_) + " further message" + (hidden_ == 1 ? "" : "s") +
              " not shown.");
    }
}

void FfmpegMessages::show_once(const std::string& line) {
    auto found = repeats_.find(line);
    if (found != repeats_.end()) {
        ++found->second;
        return;
    }
    if (static_cast<int>(shown_.size()) >= kShownMessages) {
        ++hidden_;
        return;
    }
    repeats_[line] = 0;
    shown_.push_back(line);
    show_(line);
}

}  // namespace corvane
