#pragma once

// A chunk of a chunked job, run by a worker (a process, or a thread of one:
// its lines are its own): the source stage over a stretch of the output and
// every rendition's H.264 encoder over it, the packets kept in files of the
// job's folder (see PacketWriter) for the job to put together (see
// stitch.h).
//
// The last chunk reads the whole source with both paths as the single call
// does, but decodes only the first pictures and those from a key frame a few
// seconds before its stretch; it hands the renditions only the pictures of
// its stretch and keeps every AAC packet of the job: the audio is encoded
// once, and the end of the source is shown as the single call shows it.
// Every other chunk decodes the video alone from a key frame a few seconds
// before its stretch. Each notes the pictures it showed; where two
// neighbours both showed pictures before their join, they must agree
// (chunks_join), or the later one is made again exactly: from the source's
// start, decoding every picture, as the single call does.

#include <cstdint>
#include <string>
#include <vector>

#include "av/status.h"
#include "ladder/plan.h"
#include "log/log.h"
#include "queue/media_item.h"

namespace corvane {

struct ChunkTask {
    std::string input;
    std::string folder;  // the job's folder of chunk files
    std::vector<PlannedRendition> renditions;
    int index = 0;
    // The stretch of the output, in 1/30 s: [from, to).
    int64_t from = INT64_MIN;
    int64_t to = INT64_MAX;
    // The first picture's stamp in the whole output: where the key frame
    // grid starts.
    int64_t origin = 0;
    // Read the source from its start with both paths (the last chunk, or a
    // chunk made again that way); `exact`: decoding every picture;
    // `keep_audio`: keep the AAC packets.
    bool whole_source = false;
    bool exact = false;
    bool keep_audio = false;
};

struct ChunkResult {
    std::vector<Status> renditions;  // how each rendition's encoding ended
    SourceOutcome outcome;           // how the source stage ended
    std::vector<LogLine> lines;      // what the chunk logged
};

ChunkResult encode_chunk(const ChunkTask& task);

// Whether chunks `earlier` and `later`, which meet at `join` (1/30 s),
// showed the same pictures (stamps and key frames) from where both clocks
// had settled (each one's first key frame after its first picture) to the
// join; false when they showed none there in common.
bool chunks_join(const std::string& folder, int earlier, int later, int64_t join);

// The files of the job's folder.
std::string chunk_packets_path(const std::string& folder, int index, size_t rendition);
std::string audio_packets_path(const std::string& folder);
// The source's subtitle cues, saved by the chunk that keeps the audio.
std::string subtitles_path(const std::string& folder);

}  // namespace corvane
