#include "rendition/iframe_playlist.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace corvane {

long iframe_target_duration(const std::vector<IFrameEntry>& entries) {
    double longest = 0;
    for (const auto& entry : entries) longest = std::max(longest, entry.seconds);
    return std::max(1L, static_cast<long>(std::ceil(longest - 0.0005)));
}

std::string iframe_playlist_text(const IFramePlaylist& playlist) {
    std::ostringstream text;
    text << "#EXTM3U\n#EXT-X-VERSION:4\n#EXT-X-TARGETDURATION:" << iframe_target_duration(playlist.entries)
         << "\n#EXT-X-MEDIA-SEQUENCE:0\n#EXT-X-PLAYLIST-TYPE:VOD\n#EXT-X-I-FRAMES-ONLY\n";
    // The IV is stated: once when the key-info file gives it, else before
    // each entry, its media sequence number, as the media playlists do.
    const std::string key = "#EXT-X-KEY:METHOD=AES-128,URI=\"" + playlist.key_uri + "\",IV=0x";
    if (!playlist.iv.empty()) text << key << playlist.iv << "\n";
    for (size_t i = 0; i < playlist.entries.size(); ++i) {
        const IFrameEntry& entry = playlist.entries[i];
        if (playlist.iv.empty()) {
            char sequence[40];
            std::snprintf(sequence, sizeof sequence, "%032llx", static_cast<unsigned long long>(i));
            text << key << sequence << "\n";
        }
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%f", entry.seconds);
        text << "#EXTINF:" << seconds << ",\n#EXT-X-BYTERANGE:" << entry.size << "@" << entry.offset << "\n"
             << playlist.file << "\n";
    }
    text << "#EXT-X-ENDLIST\n";
    return text.str();
}

// Each entry is fetched on its own while a player scrubs: the peak is that of
// the entry of highest rate, a short last one included (never below what
// runs of entries would give).
SegmentRates measure_iframe_rates(const std::vector<IFrameEntry>& entries) {
    std::vector<uintmax_t> bytes;
    std::vector<double> seconds;
    double peak = 0;
    for (const auto& entry : entries) {
        bytes.push_back(static_cast<uintmax_t>(entry.size));
        seconds.push_back(entry.seconds);
        if (entry.seconds > 0) peak = std::max(peak, 8.0 * static_cast<double>(entry.size) / entry.seconds);
    }
    SegmentRates rates = measure_rates(bytes, seconds, iframe_target_duration(entries));
    rates.peak = std::max(rates.peak, static_cast<int64_t>(std::ceil(peak)));
    return rates;
}

}  // namespace corvane
