// The I-frame playlist's text and rates.

#include <string>
#include <vector>

#include "rendition/iframe_playlist.h"
#include "unit.h"

namespace {

corvane::IFramePlaylist two_entries(const char* iv) {
    return corvane::IFramePlaylist{"360p_iframes.ts", "https://keys.example/k?id=1", iv,
                                   {{0, 5840, 2.0}, {5840, 9600, 1.0093425}}};
}

}  // namespace

UNIT_CASE("iframes", byte_ranges_with_the_stated_iv_once) {
    CHECK_EQ(corvane::iframe_playlist_text(two_entries("0123456789abcdef0123456789abcdef")),
             std::string("#EXTM3U\n#EXT-X-VERSION:4\n#EXT-X-TARGETDURATION:2\n#EXT-X-MEDIA-SEQUENCE:0\n"
                         "#EXT-X-PLAYLIST-TYPE:VOD\n#EXT-X-I-FRAMES-ONLY\n"
                         "#EXT-X-KEY:METHOD=AES-128,URI=\"https://keys.example/k?id=1\","
                         "IV=0x0123456789abcdef0123456789abcdef\n"
                         "#EXTINF:2.000000,\n#EXT-X-BYTERANGE:5840@0\n360p_iframes.ts\n"
                         "#EXTINF:1.009343,\n#EXT-X-BYTERANGE:9600@5840\n360p_iframes.ts\n"
                         "#EXT-X-ENDLIST\n"));
}

UNIT_CASE("iframes", without_an_iv_each_entry_states_its_sequence_number) {
    const std::string text = corvane::iframe_playlist_text(two_entries(""));
    CHECK_EQ(text.find("IV=0x00000000000000000000000000000000\n#EXTINF:2.000000,") != std::string::npos, true);
    CHECK_EQ(text.find("IV=0x00000000000000000000000000000001\n#EXTINF:1.009343,") != std::string::npos, true);
}

UNIT_CASE("iframes", target_and_rates) {
    using corvane::IFrameEntry;
    // target: the longest entry rounded up, at least 1
    CHECK_EQ(corvane::iframe_target_duration({}), 1L);
    CHECK_EQ(corvane::iframe_target_duration({{0, 1, 2.0}, {1, 1, 2.0004}}), 2L);
    CHECK_EQ(corvane::iframe_target_duration({{0, 1, 2.0}, {1, 1, 4.2}}), 5L);
    // a short last entry counts on its own
    const std::vector<IFrameEntry> entries = {{0, 10000, 2.0}, {10000, 10000, 2.0}, {20000, 10000, 0.5}};
    const corvane::SegmentRates rates = corvane::measure_iframe_rates(entries);
    CHECK_EQ(rates.peak, int64_t{160000});
    CHECK_EQ(rates.average, int64_t{53334});
}
