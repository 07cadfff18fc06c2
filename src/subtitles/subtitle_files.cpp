#include "subtitles/subtitle_files.h"

#include <cmath>
#include <cstdio>

#include "av/segment_key.h"
#include "av/whole_file.h"
#include "rendition/media_playlist.h"

namespace corvane {

namespace {

constexpr const char* kWriting = "writing the subtitles";
// As long as the renditions' segments are meant to be.
constexpr int64_t kSegmentMs = 6000;

}  // namespace

Status write_subtitles(const SubtitleTracks& tracks, const HandedOut& media, int64_t ts_start,
                       const std::string& key_info_path, std::vector<SubtitleRendition>& written,
                       int& left_out) {
    if (tracks.tracks().empty()) return Status{};
    const MediaSpan span = media_span(media);
    if (!span.known) return Status{};
    SegmentKey key;
    RETURN_IF_FAILED(key.read(key_info_path));
    std::vector<SubtitleTrackInfo> infos;
    for (const auto& track : tracks.tracks()) infos.push_back(track.info);
    std::vector<SubtitleRendition> renditions = subtitle_renditions(infos);
    const int64_t start = std::llround(span.start * 1000);
    const int64_t end = std::llround(span.end * 1000);
    for (size_t i = 0; i < renditions.size(); ++i) {
        const std::string base = renditions[i].playlist.substr(0, renditions[i].playlist.rfind('.'));
        const SubtitleSegments segments = webvtt_segments(tracks.tracks()[i].cues, start, end, kSegmentMs, ts_start);
        left_out += segments.left_out;
        for (size_t k = 0; k < segments.files.size(); ++k) {
            std::vector<uint8_t> bytes(segments.files[k].begin(), segments.files[k].end());
            key.encrypt(bytes, k);
            char name[64];
            std::snprintf(name, sizeof name, "_%03zu.vtt", k);
            RETURN_IF_FAILED(write_whole_file(base + name, std::string(bytes.begin(), bytes.end()), kWriting));
        }
        const std::string text = subtitle_playlist_text(segments.seconds, base, key.uri(), key.iv());
        RETURN_IF_FAILED(write_whole_file(renditions[i].playlist, text, kWriting));
    }
    written = std::move(renditions);
    return Status{};
}

}  // namespace corvane
