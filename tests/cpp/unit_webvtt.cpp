// Subtitles as WebVTT: cue text, segments on the output clock, the tracks'
// playlists and their description in the master playlist.

#include <string>
#include <vector>

#include "subtitles/webvtt.h"
#include "unit.h"

using corvane::Cue;

UNIT_CASE("webvtt", times_and_cue_text) {
    CHECK_EQ(corvane::webvtt_time(0), std::string("00:00:00.000"));
    CHECK_EQ(corvane::webvtt_time(3723004), std::string("01:02:03.004"));
    CHECK_EQ(corvane::webvtt_time(-40), std::string("00:00:00.000"));
    // Blank lines would end the cue, an arrow would start another.
    CHECK_EQ(corvane::webvtt_cue_text("one\r\n\r\n  \ntwo --> three\n"), std::string("one\ntwo --&gt; three"));
    CHECK_EQ(corvane::webvtt_cue_text(" \n\t\n"), std::string(""));
}

UNIT_CASE("webvtt", text_becomes_utf8) {
    CHECK_EQ(corvane::utf8_text("rep\xc3\xa8re \xe2\x80\x9cok\xe2\x80\x9d"), std::string("rep\xc3\xa8re \xe2\x80\x9cok\xe2\x80\x9d"));
    // Windows-1252: Latin-1 letters and the typographic quotes of 0x80-0x9f.
    CHECK_EQ(corvane::utf8_text("rep\xe8re \x93ok\x94"), std::string("rep\xc3\xa8re \xe2\x80\x9cok\xe2\x80\x9d"));
    // An overlong form is no UTF-8; nor is a character cut short.
    CHECK_EQ(corvane::utf8_text("\xc0\xaf"), std::string("\xc3\x80\xc2\xaf"));
    CHECK_EQ(corvane::utf8_text("a\xe2\x80"), std::string("a\xc3\xa2\xe2\x82\xac"));
}

UNIT_CASE("webvtt", open_cues_end_at_the_next_or_after_five_seconds) {
    std::vector<Cue> cues = {{1000, 1000, "a"}, {3000, 4000, "b"}, {9000, 0, "c"}};
    corvane::close_open_cues(cues, 5000);
    CHECK_EQ(cues[0].end, int64_t{3000});
    CHECK_EQ(cues[1].end, int64_t{4000});
    CHECK_EQ(cues[2].end, int64_t{14000});
}

UNIT_CASE("webvtt", segments_of_the_media_with_the_clock_map) {
    const std::vector<Cue> cues = {{500, 1500, "early"}, {5500, 6500, "across"}, {13000, 14000, "late"}};
    const corvane::SubtitleSegments s = corvane::webvtt_segments(cues, 200, 12700, 6000, 132000);
    CHECK_EQ(s.files.size(), size_t{3});
    CHECK_EQ(s.seconds.size() == 3 && s.seconds[0] == 6.0 && s.seconds[2] == 0.5, true);
    const std::string header = "WEBVTT\nX-TIMESTAMP-MAP=MPEGTS:132000,LOCAL:00:00:00.000\n\n";
    CHECK_EQ(s.files[0], header + "00:00:00.500 --> 00:00:01.500\nearly\n\n00:00:05.500 --> 00:00:06.500\nacross\n\n");
    CHECK_EQ(s.files[1], header + "00:00:05.500 --> 00:00:06.500\nacross\n\n");
    // A cue after the media's end is in no segment.
    CHECK_EQ(s.files[2], header);
    CHECK_EQ(s.left_out, 0);
}

UNIT_CASE("webvtt", a_full_segment_leaves_cues_out) {
    const std::string long_text(100 * 1024, 'x');
    const std::vector<Cue> cues = {{0, 9000, long_text}, {0, 9000, long_text}, {0, 9000, long_text}};
    const corvane::SubtitleSegments s = corvane::webvtt_segments(cues, 0, 9000, 6000, 0);
    CHECK_EQ(s.left_out, 2);
    CHECK_EQ(s.files[0].size() <= corvane::kSegmentTextBytes, true);
}

UNIT_CASE("webvtt", playlists_state_the_key_as_the_media_playlists_do) {
    const std::string head = "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:6\n#EXT-X-MEDIA-SEQUENCE:0\n"
                             "#EXT-X-PLAYLIST-TYPE:VOD\n";
    CHECK_EQ(corvane::subtitle_playlist_text({6.0, 2.5}, "subtitles_0", "enc.key", ""),
             head + "#EXT-X-KEY:METHOD=AES-128,URI=\"enc.key\",IV=0x00000000000000000000000000000000\n"
                    "#EXTINF:6.000000,\nsubtitles_0_000.vtt\n"
                    "#EXT-X-KEY:METHOD=AES-128,URI=\"enc.key\",IV=0x00000000000000000000000000000001\n"
                    "#EXTINF:2.500000,\nsubtitles_0_001.vtt\n#EXT-X-ENDLIST\n");
    CHECK_EQ(corvane::subtitle_playlist_text({6.0, 2.5}, "subtitles_1", "k", "0123456789abcdef0123456789abcdef"),
             head + "#EXT-X-KEY:METHOD=AES-128,URI=\"k\",IV=0x0123456789abcdef0123456789abcdef\n"
                    "#EXTINF:6.000000,\nsubtitles_1_000.vtt\n#EXTINF:2.500000,\nsubtitles_1_001.vtt\n#EXT-X-ENDLIST\n");
}

UNIT_CASE("webvtt", renditions_named_and_chosen) {
    struct Row {
        const char* id;
        corvane::SubtitleTrackInfo track;
        const char* name;
        const char* language;
        bool is_default;
        bool autoselect;
    };
    // Two tracks, the second marked default; then a track alone.
    const std::vector<corvane::SubtitleTrackInfo> pair = {{"English", "eng", false, true}, {"", "fra", true, false}};
    const auto chosen = corvane::subtitle_renditions(pair);
    CHECK_EQ(chosen[0].name + "|" + chosen[1].name, std::string("English|fra"));
    CHECK_EQ(chosen[0].is_default, false);
    CHECK_EQ(chosen[1].is_default, true);
    CHECK_EQ(chosen[0].forced, true);
    CHECK_EQ(chosen[1].playlist, std::string("subtitles_1.m3u8"));
    const Row rows[] = {
        {"title", {"Director's \"cut\"\n", "en-US", false, false}, "Director's 'cut'", "en-US", true, true},
        {"no-title", {"", "de", false, false}, "de", "de", true, true},
        {"nothing", {"", "", false, false}, "Subtitles 1", "", true, true},
        {"bad-tag", {"", "en US", false, false}, "Subtitles 1", "", true, true},
        {"latin1-title", {"Fran\xe7" "ais", "", false, false}, "Fran\xc3\xa7" "ais", "", true, true},
    };
    for (const Row& row : rows) {
        unit::Row at(row.id);
        const auto r = corvane::subtitle_renditions({row.track})[0];
        CHECK_EQ(r.name, std::string(row.name));
        CHECK_EQ(r.language, std::string(row.language));
        CHECK_EQ(r.is_default, row.is_default);
        CHECK_EQ(r.autoselect, row.autoselect);
    }
    // Names are unique in the group; tracks without a language are not chosen by one.
    const auto same = corvane::subtitle_renditions({{"", "eng", false, false}, {"", "eng", false, false},
                                                    {"", "", false, false}});
    CHECK_EQ(same[1].name, std::string("eng (2)"));
    CHECK_EQ(same[2].autoselect, false);
}
