// After the trailer, each rendition reads back what the muxer wrote: every
// segment the playlist names must be there, the playlist's durations must
// cover the media, and the segments' sizes give the rates that the master
// playlist states. The text itself is worked on in media_playlist.cpp.

#include "rendition/rendition.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "av/whole_file.h"
#include "rendition/media_playlist.h"

namespace corvane {

namespace {

namespace fs = std::filesystem;

Status read_playlist(const std::string& path, std::string& text) {
    std::error_code error;
    if (!fs::is_regular_file(path, error)) return Status{AVERROR(ENOENT), "writing the playlist"};
    std::ifstream in(path, std::ios::binary);
    if (!in) return Status{AVERROR(ENOENT), "writing the playlist"};
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
    return Status{};
}

// The size of every segment, in bytes; each must be a file next to the
// playlist.
Status segment_sizes(const fs::path& directory, const std::vector<std::string>& segments,
                     std::vector<uintmax_t>& sizes) {
    const char* action = "checking the written segments";
    for (const auto& segment : segments) {
        std::error_code error;
        if (!fs::is_regular_file(directory / segment, error)) return Status{AVERROR(ENOENT), action};
        sizes.push_back(fs::file_size(directory / segment, error));
        if (error) return Status{AVERROR(EIO), action};
    }
    return Status{};
}

}  // namespace

Status check_written_segments(const Rendition& r, WrittenRates& rates) {
    // The muxer does not always report a segment it could not open (an IV it
    // cannot use fails only there, and the trailer still succeeds), so the
    // finished playlist is read back.
    std::string text;
    RETURN_IF_FAILED(read_playlist(r.playlist_path, text));
    MediaPlaylist playlist = parse_media_playlist(text);
    std::vector<uintmax_t> sizes;
    RETURN_IF_FAILED(segment_sizes(fs::path(r.playlist_path).parent_path(), playlist.segments, sizes));
    if (sizes.empty() || sizes.size() != playlist.seconds.size()) {
        return Status{AVERROR_INVALIDDATA, "checking the written segments"};
    }
    const Fitting fitting = fit_media_playlist(playlist, r.outcome.handed_out);
    rates = measure_rates(sizes, playlist.seconds, fitting.target);
    if (!fitting.changed) return Status{};
    // Players reading the playlist meanwhile see the old text or the new,
    // never a part.
    return write_whole_file(r.playlist_path, media_playlist_text(playlist), "rewriting the playlist's durations");
}

}  // namespace corvane
