#include "subtitles/webvtt.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <sstream>

namespace corvane {

namespace {

// Text for a quoted-string attribute: no double quote, no control
// character, at most `limit` bytes (never in the middle of a UTF-8 character).
std::string attribute_text(const std::string& text, size_t limit) {
    std::string out;
    for (const unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) continue;
        out += c == '"' ? '\'' : static_cast<char>(c);
    }
    if (out.size() > limit) {
        size_t cut = limit;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xc0) == 0x80) --cut;
        out.resize(cut);
    }
    return out;
}

// A language tag as HLS states it: letters, digits and hyphens only.
std::string language_tag(const std::string& tag) {
    if (tag.empty() || tag.size() > 35) return "";
    for (const char c : tag) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
        if (!allowed) return "";
    }
    return tag;
}

}  // namespace

std::string webvtt_time(int64_t milliseconds) {
    const int64_t ms = std::max<int64_t>(milliseconds, 0);
    char text[40];
    std::snprintf(text, sizeof text, "%02" PRId64 ":%02" PRId64 ":%02" PRId64 ".%03" PRId64, ms / 3600000,
                  ms / 60000 % 60, ms / 1000 % 60, ms % 1000);
    return text;
}

std::string webvtt_cue_text(const std::string& text) {
    std::string lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
        for (size_t at; (at = line.find("-->")) != std::string::npos;) line.replace(at, 3, "--&gt;");
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        lines += (lines.empty() ? "" : "\n") + line;
    }
    return lines;
}

void close_open_cues(std::vector<Cue>& cues, int64_t longest) {
    for (size_t i = 0; i < cues.size(); ++i) {
        if (cues[i].end > cues[i].start) continue;
        int64_t end = cues[i].start + longest;
        for (size_t j = i + 1; j < cues.size(); ++j) {
            if (cues[j].start > cues[i].start) {
                end = std::min(end, cues[j].start);
                break;
            }
        }
        cues[i].end = end;
    }
}

SubtitleSegments webvtt_segments(const std::vector<Cue>& cues, int64_t start, int64_t end, int64_t segment_ms,
                                 int64_t ts_start) {
    SubtitleSegments segments;
    const std::string header =
        "WEBVTT\nX-TIMESTAMP-MAP=MPEGTS:" + std::to_string(ts_start) + ",LOCAL:00:00:00.000\n\n";
    for (int64_t from = start; from < end || segments.files.empty(); from += segment_ms) {
        const int64_t to = std::min(from + segment_ms, end);
        std::string file = header;
        for (const Cue& cue : cues) {
            if (cue.end <= from || cue.start >= to) continue;
            file += webvtt_time(cue.start) + " --> " + webvtt_time(cue.end) + "\n" + cue.text + "\n\n";
        }
        segments.files.push_back(std::move(file));
        segments.seconds.push_back(static_cast<double>(std::max<int64_t>(to - from, 1)) / 1000.0);
    }
    return segments;
}

std::string key_line(const std::string& key_uri, const std::string& iv, uint64_t sequence) {
    std::string line = "#EXT-X-KEY:METHOD=AES-128,URI=\"" + key_uri + "\",IV=0x";
    if (!iv.empty()) return line + iv;
    char number[40];
    std::snprintf(number, sizeof number, "%032" PRIx64, sequence);
    return line + number;
}

std::string subtitle_playlist_text(const std::vector<double>& seconds, const std::string& base,
                                   const std::string& key_uri, const std::string& iv) {
    double longest = 1;
    for (const double s : seconds) longest = std::max(longest, s);
    std::ostringstream text;
    text << "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:" << static_cast<long>(longest + 0.9995)
         << "\n#EXT-X-MEDIA-SEQUENCE:0\n#EXT-X-PLAYLIST-TYPE:VOD\n";
    for (size_t i = 0; i < seconds.size(); ++i) {
        if (!key_uri.empty() && (i == 0 || iv.empty())) text << key_line(key_uri, iv, i) << "\n";
        char line[80];
        std::snprintf(line, sizeof line, "#EXTINF:%f,\n%s_%03zu.vtt\n", seconds[i], base.c_str(), i);
        text << line;
    }
    text << "#EXT-X-ENDLIST\n";
    return text.str();
}

std::vector<SubtitleRendition> subtitle_renditions(const std::vector<SubtitleTrackInfo>& tracks) {
    std::vector<SubtitleRendition> renditions;
    size_t chosen = 0;
    for (size_t i = 0; i < tracks.size(); ++i) {
        if (tracks[i].is_default) {
            chosen = i;
            break;
        }
    }
    for (size_t i = 0; i < tracks.size(); ++i) {
        SubtitleRendition r;
        r.language = language_tag(tracks[i].language);
        std::string name = attribute_text(tracks[i].title, 120);
        if (name.empty()) name = r.language;
        if (name.empty()) name = "Subtitles " + std::to_string(i + 1);
        r.name = name;
        for (int n = 2; std::any_of(renditions.begin(), renditions.end(),
                                    [&r](const SubtitleRendition& o) { return o.name == r.name; });
             ++n) {
            r.name = name + " (" + std::to_string(n) + ")";
        }
        r.is_default = i == chosen;
        r.forced = tracks[i].forced;
        r.autoselect = r.is_default || !r.language.empty();
        r.playlist = "subtitles_" + std::to_string(i) + ".m3u8";
        renditions.push_back(std::move(r));
    }
    return renditions;
}

}  // namespace corvane
