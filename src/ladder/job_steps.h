#pragma once

// The steps of a job that a chunked job shares with the single call: the
// probe, the plan, opening the source stage and the report.

#include <string>
#include <vector>

#include "ladder/plan.h"
#include "rendition/transcode.h"
#include "source/source.h"

namespace corvane {

// Opens the source and logs what it is. Says whether the job can go on;
// `width` x `height` is the size its pictures are shown at.
bool probe_source(Source& stage, const std::string& input, int& width, int& height);

// The renditions of the job, with the lines the plan gives logged.
std::vector<PlannedRendition> plan_ladder(int width, int height, const std::vector<std::string>& resolution,
                                       std::vector<int> bitrate);

// The source stage sized for the plan's largest rendition.
void plan_source_size(Source& stage, const std::vector<PlannedRendition>& plan);
// Sizes the source stage for the plan and opens its decoders, the AAC
// encoder and the audio graph, with the WARN line of a source without usable
// sound. When that cannot even start, every rendition fails with the cause
// (one ERROR line each) and it says so.
bool open_stage(Source& stage, const std::vector<PlannedRendition>& plan);

// The subtitle tracks the master playlist lists; `failed`: the source's
// subtitles could not be written (an ERROR line said why), so the job is
// not complete.
struct WrittenSubtitles {
    std::vector<SubtitleRendition> listed;
    bool failed = false;
};

// Once the renditions are done (and the job was not stopped): the subtitle
// tracks written, timed like the renditions' segments, with the lines of
// what could not be.
WrittenSubtitles write_subtitle_tracks(const SubtitleTracks& tracks, const std::vector<RenditionResult>& results,
                                       const std::string& key, bool stopped);

// How the job ended: the master playlist of the renditions that were
// created (and the subtitle tracks written), and the lines that say what
// was and was not made.
void report(const std::string& output, const std::vector<PlannedRendition>& plan,
            const std::vector<RenditionResult>& results, bool stopped,
            const WrittenSubtitles& subtitles = {});

}  // namespace corvane
