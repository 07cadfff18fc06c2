#pragma once

// The master playlist's text, from the renditions that were created and
// where the master playlist and the media playlists are: no FFmpeg, no files.
// The job resolves the folders and writes the text.

#include <cstdint>
#include <string>
#include <vector>

#include "ladder/plan.h"
#include "subtitles/webvtt.h"

namespace corvane {

// A rendition that was created, as the master playlist lists it: what was
// planned, and what was measured of what it wrote.
struct Variant {
    PlannedRendition planned;
    int64_t peak_rate = 0;     // bit/s, of its segments as written
    int64_t average_rate = 0;  // bit/s
    std::string video_codec;   // as "avc1.64001f"; empty when unknown
    // Of its I-frame playlist ("<name>_iframes.m3u8"); 0: it has none.
    int64_t iframe_peak_rate = 0;
    int64_t iframe_average_rate = 0;
};

// The URI by which a master playlist in `master_folder` names the media
// playlist `playlist` written in `working_directory` (both absolute, as the
// file system resolves them): its bare name when the two folders are one,
// else the way from the master playlist's folder, escaped as a URI path.
// Either folder empty (unknown): the bare name.
std::string media_playlist_uri(const std::string& master_folder, const std::string& working_directory,
                               const std::string& playlist);

// The whole master playlist: the header, then one entry per variant in
// order, naming its media playlist ("<name>.m3u8") by media_playlist_uri,
// then the I-frame playlists in the same order. With `subtitles`, each is
// listed first, in one group that every variant names.
std::string master_playlist_text(const std::vector<Variant>& variants, const std::string& master_folder,
                                 const std::string& working_directory,
                                 const std::vector<SubtitleRendition>& subtitles = {});

}  // namespace corvane
