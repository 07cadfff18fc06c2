#pragma once

// A chunk of a chunked job, run in a worker process: the source stage over
// a stretch of the output and every rendition's H.264 encoder over it, the
// packets kept in files of the job's folder (see PacketWriter) for the job
// to put together (see stitch.h).
//
// The last chunk reads the whole source with both paths, exactly as the
// single call does, hands the renditions only the pictures of its stretch
// and keeps every AAC packet of the job: the audio is encoded once, and the
// end of the source is shown as the single call shows it. Every other chunk
// decodes the video alone from a key frame a few seconds before its stretch;
// it notes the pictures it showed, and the job compares them with what the
// last chunk showed there (chunk_matches): a chunk that differs is made
// again from the source's start.

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
    std::vector<RenditionSpec> renditions;
    int index = 0;
    // The stretch of the output, in 1/30 s: [from, to).
    int64_t from = INT64_MIN;
    int64_t to = INT64_MAX;
    // Read the source from its start with both paths (the last chunk, or a
    // chunk made again that way); `keep_audio`: keep the AAC packets.
    bool whole_source = false;
    bool keep_audio = false;
};

struct ChunkResult {
    std::vector<Status> renditions;  // how each rendition's encoding ended
    SourceOutcome outcome;           // how the source stage ended
    std::vector<LogLine> lines;      // what the chunk logged
};

ChunkResult encode_chunk(const ChunkTask& task);

// Whether chunk `index`, made from the middle of the source, showed exactly
// the pictures (stamps and key frames) that the last chunk, `last`, which
// read the whole source, showed within [from, to).
bool chunk_matches(const std::string& folder, int index, int last, int64_t from, int64_t to);

// The files of the job's folder.
std::string chunk_packets_path(const std::string& folder, int index, size_t rendition);
std::string audio_packets_path(const std::string& folder);

}  // namespace corvane
