#pragma once

// The source stage, run once per job on its own thread: reads the input,
// keeps one continuous source clock, and drives the video path (decoding,
// deinterlacing, tone mapping, turning upright, stamping on the
// 30-per-second output clock) and the audio path (decoding, loudness, AAC,
// or silence). Every rendition's feed receives the same pictures and
// packets. The stage is the one place that orders the two paths.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "av/av_handles.h"
#include "source/audio_path.h"
#include "source/feeds.h"
#include "queue/media_queue.h"
#include "source/source_input.h"
#include "source/video_path.h"
#include "subtitles/subtitle_tracks.h"

namespace corvane {

struct Source {
    // The file, its streams and its continuous clock; opened by the ladder,
    // which plans from it. Released last.
    SourceInput input;
    // Set by the calling thread when the job is interrupted: reading stops,
    // even in the middle of a slow read.
    std::atomic<bool> stop{false};

    // The largest planned rendition's size, shown upright (0 x 0: none
    // planned); set by the ladder before open_source.
    int largest_width = 0;
    int largest_height = 0;

    VideoPath video;
    AudioPath audio;
    // The text subtitle tracks, kept as cues while the source is read; the
    // WARN lines of the tracks that are not carried.
    SubtitleTracks subtitles;
    std::vector<std::string> subtitle_warnings;
    PacketPtr read_packet;

    // While run_source runs: the renditions' feeds, and how far the source
    // has been read, in microseconds from its start, for the job's progress
    // (read by the calling thread).
    Feeds feeds;
    std::atomic<int64_t>* read_position = nullptr;
    // Why the source ended early, as a clause for the renditions' WARN line.
    std::string read_warning;
    // Set once the last picture has been handed on while the audio goes on
    // for seconds more (for a cover, from the start): the last picture is
    // repeated as the audio comes.
    bool repeat_to_audio_end = false;
    // For a chunk that leaves pictures undecoded (see Stretch::decode_from):
    // the video packets from the latest key frame on, and their size.
    std::vector<PacketPtr> kept_video;
    size_t kept_bytes = 0;
};

// What every way of reading the source sets up first: reading stops when
// the job is interrupted; the stream information must have been read; the
// packet reading takes.
Status open_reading(Source& s);

// Set-up, in pipeline order: decoders, the AAC encoder, the loudness chain,
// buffers. A failure here fails every rendition.
Status open_source(Source& s);

// Reads the whole source and hands every picture and AAC packet to `feeds`,
// with the read end, video end and end marks; the end mark carries the
// outcome. Stops early when no rendition takes any more. `read_position` is
// kept up to date with how far the source has been read (microseconds).
// Nothing of either is kept once it returns. With a `stretch` (a chunk of a
// chunked job), only its pictures are handed out, and reading stops after it.
// Returns the outcome.
SourceOutcome run_source(Source& s, const std::vector<MediaQueue*>& feeds, std::atomic<int64_t>& read_position,
                         Stretch* stretch = nullptr);

// A chunk that starts in the middle of the source (see read_stretch.cpp):
// the video path alone, opened by open_stretch; read_stretch hands out the
// pictures of `stretch` to the feeds set in `s.feeds`, then the video end mark.
Status open_stretch(Source& s);
Status read_stretch(Source& s, const Stretch& stretch);

// How far before its stretch a chunk starts decoding (1/30 s): enough for
// the deinterlacer and the output clock to have settled.
constexpr int64_t kChunkLeadIn = 3 * kVideoTimeBase.den;

// An audio track that gave this many packets and no sound is given up.
constexpr int64_t kSoundlessPackets = 50;

}  // namespace corvane
