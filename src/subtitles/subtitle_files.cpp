#include "subtitles/subtitle_files.h"

#include <cerrno>
#include <cmath>
#include <cstdio>

#include "av/segment_key.h"
#include "rendition/media_playlist.h"

namespace corvane {

namespace {

constexpr const char* kWriting = "writing the subtitles";
// As long as the renditions' segments are meant to be.
constexpr int64_t kSegmentMs = 6000;

// Writes `bytes` to `path` whole: beside it first, then renamed.
Status write_whole(const std::string& path, const std::vector<uint8_t>& bytes) {
    const std::string temporary = path + ".tmp";
    errno = 0;
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file) return Status{AVERROR(errno ? errno : EIO), kWriting};
    const bool whole = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const bool closed = std::fclose(file) == 0;
    if (!whole || !closed || std::rename(temporary.c_str(), path.c_str()) != 0) {
        const int code = errno ? errno : EIO;
        std::remove(temporary.c_str());
        return Status{AVERROR(code), kWriting};
    }
    return Status{};
}

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
            RETURN_IF_FAILED(write_whole(base + name, bytes));
        }
        const std::string text = subtitle_playlist_text(segments.seconds, base, key.uri(), key.iv());
        RETURN_IF_FAILED(write_whole(renditions[i].playlist, std::vector<uint8_t>(text.begin(), text.end())));
    }
    written = std::move(renditions);
    return Status{};
}

}  // namespace corvane
