#pragma once

// The source file, opened once per job: the ladder plans from it, then the
// source stage reads it. It owns the guard that decides what the file's
// content may open, the format context, the two streams chosen and the one
// continuous clock both streams are put on.

#include <cstdint>
#include <string>

#include "av/av_handles.h"
#include "source/input_guard.h"

namespace corvane {

// One stream's side of the continuous clock, in AV_TIME_BASE units: its last
// decoding stamp (shifted onto the continuous clock) and where its packets end.
struct StreamClock {
    int64_t last_dts = AV_NOPTS_VALUE;
    int64_t end = AV_NOPTS_VALUE;
};

struct SourceInput {
    // What the content may open; outlives the context that calls it.
    InputGuard guard;
    FormatContextPtr context;
    // The result of reading the stream information; the stage fails with it.
    int stream_info = 0;

    // The streams chosen, borrowed from the context. Without usable audio
    // (none, or none that can be decoded), `audio` is null and `why_no_audio`
    // says why: the renditions then carry silence as long as the pictures.
    int video_index = -1;
    AVStream* video = nullptr;
    const AVCodec* video_codec = nullptr;
    int upright_turn = 0;  // clockwise turn (0, 90, 180, 270) that shows the pictures upright
    // A file of sound whose only picture is its cover (music with cover
    // art): `video` is the cover, shown as a still for as long as the sound.
    bool cover = false;
    int audio_index = -1;
    AVStream* audio = nullptr;
    const AVCodec* audio_codec = nullptr;
    std::string why_no_audio;

    // Recordings whose clock jumps (joined MPEG-TS files, a restarted clock)
    // are put back on one continuous clock, for video and audio alike: the
    // shift added to every source time stamp and the end of the latest packet
    // so far (AV_TIME_BASE units), and each stream's side of it.
    int64_t clock_shift = 0;
    int64_t clock_end = AV_NOPTS_VALUE;
    StreamClock video_clock;
    StreamClock audio_clock;
    // How far the source was read, by its own unshifted clock.
    int64_t read_to = AV_NOPTS_VALUE;
};

// Opens `locator` with the guard watching, reads the stream information and
// chooses the streams; refuses sources whose streams are larger than
// accepted. A failure's reason is the ERROR line that ends the job.
Status open_source_input(SourceInput& in, const std::string& locator);

// The size of the video stream's pictures as they are shown (upright).
void shown_size(const SourceInput& in, int& width, int& height);

// The source stage reads one packet: `packet` is put on the continuous clock
// (`clock` is its stream's side) and the read position is kept.
void keep_clock_continuous(SourceInput& in, AVPacket* packet, StreamClock& clock);

// A clause for a WARN line when the source was read to an end before the
// length it states (a file cut short); "" otherwise.
std::string cut_short_warning(const SourceInput& in);

}  // namespace corvane
