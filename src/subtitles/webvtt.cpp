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
    for (const unsigned char c : utf8_text(text)) {
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

namespace {

// The length of the UTF-8 character that starts at `at`, 0 when there is none.
size_t utf8_length(const std::string& text, size_t at) {
    const auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char first = byte(at);
    if (first < 0x80) return 1;
    size_t length = first >= 0xf0 && first <= 0xf4 ? 4 : first >= 0xe0 ? 3 : first >= 0xc2 && first < 0xe0 ? 2 : 0;
    if (length == 0 || at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xc0) != 0x80) return 0;
    }
    // No overlong forms, no surrogates, nothing past U+10FFFF.
    if ((first == 0xe0 && byte(at + 1) < 0xa0) || (first == 0xed && byte(at + 1) >= 0xa0) ||
        (first == 0xf0 && byte(at + 1) < 0x90) || (first == 0xf4 && byte(at + 1) >= 0x90)) {
        return 0;
    }
    return length;
}

void append_utf8(std::string& out, unsigned code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xc0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3f));
    } else {
        out += static_cast<char>(0xe0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (code & 0x3f));
    }
}

}  // namespace

std::string utf8_text(const std::string& text) {
    bool valid = true;
    for (size_t at = 0; at < text.size() && valid;) {
        const size_t length = utf8_length(text, at);
        valid = length > 0;
        at += length;
    }
    if (valid) return text;
    // Windows-1252's 0x80-0x9f; the rest of its upper half is Latin-1's.
    static const unsigned kHigh[32] = {0x20ac, 0xfffd, 0x201a, 0x0192, 0x201e, 0x2026, 0x2020, 0x2021,
                                       0x02c6, 0x2030, 0x0160, 0x2039, 0x0152, 0xfffd, 0x017d, 0xfffd,
                                       0xfffd, 0x2018, 0x2019, 0x201c, 0x201d, 0x2022, 0x2013, 0x2014,
                                       0x02dc, 0x2122, 0x0161, 0x203a, 0x0153, 0xfffd, 0x017e, 0x0178};
    std::string out;
    for (const unsigned char c : text) append_utf8(out, c >= 0x80 && c < 0xa0 ? kHigh[c - 0x80] : c);
    return out;
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
            std::string text = webvtt_time(cue.start) + " --> " + webvtt_time(cue.end) + "\n" + cue.text + "\n\n";
            if (file.size() + text.size() > kSegmentTextBytes) {
                ++segments.left_out;
                continue;
            }
            file += text;
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
