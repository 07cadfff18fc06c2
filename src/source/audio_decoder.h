#pragma once

// The audio path's decoder: the source's audio packets in, repaired frames
// of samples out.

#include <cstdint>

#include "av/av_handles.h"
#include "source/audio_timeline.h"
#include "source/decoding.h"
#include "source/source_input.h"

namespace corvane {

class AudioDecoder {
public:
    // Opens the decoder for `input`'s audio track, if it has one. A track
    // whose decoder cannot be opened is given up (`input` then says why):
    // the video is still worth having, with silence.
    Status open(SourceInput& input);
    bool opened() const { return decoder_ != nullptr; }
    // What the decoder knows after opening; null when not opened.
    const AVCodecContext* context() const { return decoder_.get(); }
    // The time base of the frames' stamps (the stream's).
    AVRational time_base() const { return time_base_; }

    // Sends one packet (null: the end of the stream) and hands every frame
    // that comes out, its samples repaired, to `take(frame)`, which returns
    // a Status; the frame is emptied after. Sound beyond the sizes accepted
    // fails, saying so.
    template <class Take>
    Status decode(const AVPacket* packet, Take take) {
        if (!decoder_) return Status{};
        if (packet) ++packets_;
        return decode_packet(decoder_.get(), packet, [&] { return receive(take); });
    }
    // A frame's time, as the timeline follows it.
    FrameTiming timing_of(const AVFrame* frame) const;
    // Packets given to the decoder so far.
    int64_t packets() const { return packets_; }
    void close() { decoder_.reset(); }

private:
    template <class Take>
    Status receive(Take& take) {
        AVFrame* samples = decoded_.get();
        while (avcodec_receive_frame(decoder_.get(), samples) >= 0) {
            Status status = check(samples);
            if (status.ok()) status = take(samples);
            av_frame_unref(samples);
            RETURN_IF_FAILED(status);
        }
        return Status{};
    }
    static Status check(AVFrame* frame);

    CodecContextPtr decoder_;
    FramePtr decoded_;
    AVRational time_base_{1, 1};
    int64_t packets_ = 0;
};

}  // namespace corvane
