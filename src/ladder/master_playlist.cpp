#include "ladder/master_playlist.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>

namespace corvane {

namespace {

// Every rendition's AAC stream comes from the one AAC encoder: AAC-LC.
constexpr const char* kAudioCodec = "mp4a.40.2";
constexpr const char* kSubtitleGroup = "subs";

// `path` as a URI path: bytes other than unreserved and sub-delimiter
// characters, '/', ':' and '@' are percent-escaped.
std::string escaped_uri_path(const std::string& path) {
    std::string uri;
    for (const unsigned char c : path) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (plain || (c != 0 && std::strchr("-._~/!$&'()*+,;=:@", c))) {
            uri += static_cast<char>(c);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            uri += escaped;
        }
    }
    return uri;
}

}  // namespace

std::string media_playlist_uri(const std::string& master_folder, const std::string& working_directory,
                               const std::string& playlist) {
    namespace fs = std::filesystem;
    if (master_folder.empty() || working_directory.empty()) return escaped_uri_path(playlist);
    const fs::path way = (fs::path(working_directory) / playlist).lexically_relative(master_folder);
    return escaped_uri_path(way.empty() ? playlist : way.generic_string());
}

// The master playlist states what each rendition's segments hold, measured
// from what was written: players choose by BANDWIDTH (the peak rate), and
// set up their decoders from CODECS before they load a segment. Every
// segment starts with a key frame, so each can be decoded on its own.
std::string master_playlist_text(const std::vector<Variant>& variants, const std::string& master_folder,
                                 const std::string& working_directory,
                                 const std::vector<SubtitleRendition>& subtitles) {
    std::ostringstream text;
    text << "#EXTM3U\n#EXT-X-VERSION:3\n";
    if (!variants.empty()) text << "#EXT-X-INDEPENDENT-SEGMENTS\n";
    const bool with_subtitles = !variants.empty() && !subtitles.empty();
    for (size_t i = 0; with_subtitles && i < subtitles.size(); ++i) {
        const SubtitleRendition& s = subtitles[i];
        text << "#EXT-X-MEDIA:TYPE=SUBTITLES,GROUP-ID=\"" << kSubtitleGroup << "\",NAME=\"" << s.name << "\"";
        if (!s.language.empty()) text << ",LANGUAGE=\"" << s.language << "\"";
        text << ",DEFAULT=" << (s.is_default ? "YES" : "NO") << ",AUTOSELECT=" << (s.autoselect ? "YES" : "NO")
             << ",FORCED=" << (s.forced ? "YES" : "NO") << ",URI=\""
             << media_playlist_uri(master_folder, working_directory, s.playlist) << "\"\n";
    }
    for (const auto& variant : variants) {
        text << "#EXT-X-STREAM-INF:BANDWIDTH=" << variant.peak_rate
             << ",AVERAGE-BANDWIDTH=" << variant.average_rate;
        // A list without the video codec would tell players there is none.
        if (!variant.video_codec.empty()) {
            text << ",CODECS=\"" << variant.video_codec << "," << kAudioCodec << "\"";
        }
        text << ",RESOLUTION=" << variant.planned.width << "x" << variant.planned.height
             << ",FRAME-RATE=30.000"
             // The renditions carry no closed captions: players need not look for any.
             << ",CLOSED-CAPTIONS=NONE";
        if (with_subtitles) text << ",SUBTITLES=\"" << kSubtitleGroup << "\"";
        text << "\n"
             << media_playlist_uri(master_folder, working_directory, variant.planned.name + ".m3u8")
             << "\n";
    }
    // Players scrub and fast-forward with the I-frame playlists: one key
    // frame every 2 s, each decodable on its own.
    for (const auto& variant : variants) {
        if (variant.iframe_peak_rate <= 0) continue;
        text << "#EXT-X-I-FRAME-STREAM-INF:BANDWIDTH=" << variant.iframe_peak_rate
             << ",AVERAGE-BANDWIDTH=" << variant.iframe_average_rate;
        if (!variant.video_codec.empty()) text << ",CODECS=\"" << variant.video_codec << "\"";
        text << ",RESOLUTION=" << variant.planned.width << "x" << variant.planned.height << ",URI=\""
             << media_playlist_uri(master_folder, working_directory, variant.planned.name + "_iframes.m3u8")
             << "\"\n";
    }
    return text.str();
}

}  // namespace corvane
