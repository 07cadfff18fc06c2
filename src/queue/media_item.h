#pragma once

// The contract between the source stage and the renditions: what travels
// through a rendition's queue, one item at a time, by value.

#include <cstdint>
#include <string>

#include "av/av_handles.h"
#include "av/output.h"

namespace corvane {

// How the source ended, carried by the read end mark (read_warning only) and
// the end mark (all of it).
struct SourceOutcome {
    // The source ended early: why, as a clause for the rendition's WARN line
    // ("the source ends at 3.9 s, before ..."); empty when it did not.
    std::string read_warning;
    // A failure of the source stage: every rendition fails with it.
    Status status;
    HandedOut handed_out;
};

enum class ItemKind {
    picture,    // a picture, its pts in 1/30 s; pict_type I: a key frame the encoders must make
    audio,      // an AAC packet, its stamps in 1/44100 s
    read_end,   // the whole source has been read; the outcome says whether it ended early
    video_end,  // no more pictures: the H.264 encoder can be drained
    end,        // the source has ended; the outcome says how
    abandoned,  // the queue was given up (a thread could not start, no memory)
};

// One item of a rendition's queue.
struct MediaItem {
    ItemKind kind = ItemKind::end;
    FramePtr picture;  // for a picture: a reference shared by every rendition, read only
    PacketPtr packet;  // for an AAC packet: the rendition's own copy
    SourceOutcome outcome;
};

}  // namespace corvane
