// The master playlist's text, and the URIs by which it names the media
// playlists from its own folder.

#include <string>
#include <vector>

#include "ladder/master_playlist.h"
#include "unit.h"

namespace {

using corvane::Variant;

Variant variant(const char* name, int width, int height, int64_t peak, int64_t average, const char* codec) {
    Variant v;
    v.planned = corvane::PlannedRendition{name, width, height, 0};
    v.peak_rate = peak;
    v.average_rate = average;
    v.video_codec = codec;
    return v;
}

}  // namespace

UNIT_CASE("master", without_renditions_only_the_header) {
    CHECK_EQ(corvane::master_playlist_text({}, "/work/job", "/work/job"), std::string("#EXTM3U\n#EXT-X-VERSION:3\n"));
}

UNIT_CASE("master", one_entry_per_rendition_in_order) {
    const std::vector<Variant> variants = {
        variant("1080p", 1920, 1080, 5296107, 5280182, "avc1.640028"),
        variant("360p", 360, 640, 530001, 498000, "avc1.64001e"),
    };
    CHECK_EQ(corvane::master_playlist_text(variants, "/work/job", "/work/job"),
             std::string("#EXTM3U\n"
                         "#EXT-X-VERSION:3\n"
                         "#EXT-X-INDEPENDENT-SEGMENTS\n"
                         "#EXT-X-STREAM-INF:BANDWIDTH=5296107,AVERAGE-BANDWIDTH=5280182,"
                         "CODECS=\"avc1.640028,mp4a.40.2\",RESOLUTION=1920x1080,FRAME-RATE=30.000,CLOSED-CAPTIONS=NONE\n"
                         "1080p.m3u8\n"
                         "#EXT-X-STREAM-INF:BANDWIDTH=530001,AVERAGE-BANDWIDTH=498000,"
                         "CODECS=\"avc1.64001e,mp4a.40.2\",RESOLUTION=360x640,FRAME-RATE=30.000,CLOSED-CAPTIONS=NONE\n"
                         "360p.m3u8\n"));
}

// Players would take a list without the video codec to mean there is none.
UNIT_CASE("master", an_unknown_codec_leaves_codecs_out) {
    CHECK_EQ(corvane::master_playlist_text({variant("720p", 1280, 720, 2700000, 2600000, "")}, "/w", "/w"),
             std::string("#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-INDEPENDENT-SEGMENTS\n"
                         "#EXT-X-STREAM-INF:BANDWIDTH=2700000,AVERAGE-BANDWIDTH=2600000,"
                         "RESOLUTION=1280x720,FRAME-RATE=30.000,CLOSED-CAPTIONS=NONE\n720p.m3u8\n"));
}

UNIT_CASE("master", entries_name_the_media_playlists_from_the_masters_folder) {
    CHECK_EQ(corvane::master_playlist_text({variant("720p", 1280, 720, 2, 1, "avc1.64001f"),
                                            variant("360p", 640, 360, 2, 1, "avc1.64001e")},
                                           "/work/job/public", "/work/job"),
             std::string("#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-INDEPENDENT-SEGMENTS\n"
                         "#EXT-X-STREAM-INF:BANDWIDTH=2,AVERAGE-BANDWIDTH=1,"
                         "CODECS=\"avc1.64001f,mp4a.40.2\",RESOLUTION=1280x720,FRAME-RATE=30.000,CLOSED-CAPTIONS=NONE\n"
                         "../720p.m3u8\n"
                         "#EXT-X-STREAM-INF:BANDWIDTH=2,AVERAGE-BANDWIDTH=1,"
                         "CODECS=\"avc1.64001e,mp4a.40.2\",RESOLUTION=640x360,FRAME-RATE=30.000,CLOSED-CAPTIONS=NONE\n"
                         "../360p.m3u8\n"));
}

// After every variant, its I-frame playlist in the same order, named like
// the media playlists; a variant without one is left out.
UNIT_CASE("master", iframe_playlists_follow_the_variants) {
    std::vector<Variant> variants = {variant("720p", 1280, 720, 2, 1, "avc1.64001f"),
                                     variant("480p", 854, 480, 2, 1, "avc1.64001e"),
                                     variant("360p", 640, 360, 2, 1, "")};
    variants[0].iframe_peak_rate = 200000;
    variants[0].iframe_average_rate = 101000;
    variants[2].iframe_peak_rate = 70000;
    variants[2].iframe_average_rate = 40000;
    const std::string text = corvane::master_playlist_text(variants, "/work/job/public", "/work/job");
    CHECK_EQ(text.substr(text.find("../360p.m3u8\n") + 13),
             std::string("#EXT-X-I-FRAME-STREAM-INF:BANDWIDTH=200000,AVERAGE-BANDWIDTH=101000,"
                         "CODECS=\"avc1.64001f\",RESOLUTION=1280x720,URI=\"../720p_iframes.m3u8\"\n"
                         "#EXT-X-I-FRAME-STREAM-INF:BANDWIDTH=70000,AVERAGE-BANDWIDTH=40000,"
                         "RESOLUTION=640x360,URI=\"../360p_iframes.m3u8\"\n"));
}

// Subtitle tracks come first, in one group that every variant names.
UNIT_CASE("master", subtitle_tracks_in_one_group) {
    corvane::SubtitleRendition english{"English", "eng", true, true, false, "subtitles_0.m3u8"};
    corvane::SubtitleRendition signs{"Signs", "", false, false, true, "subtitles_1.m3u8"};
    CHECK_EQ(corvane::master_playlist_text({variant("360p", 640, 360, 2, 1, "avc1.64001e")}, "/w/public", "/w",
                                           {english, signs}),
             std::string("#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-INDEPENDENT-SEGMENTS\n"
                         "#EXT-X-MEDIA:TYPE=SUBTITLES,GROUP-ID=\"subs\",NAME=\"English\",LANGUAGE=\"eng\","
                         "DEFAULT=YES,AUTOSELECT=YES,FORCED=NO,URI=\"../subtitles_0.m3u8\"\n"
                         "#EXT-X-MEDIA:TYPE=SUBTITLES,GROUP-ID=\"subs\",NAME=\"Signs\","
                         "DEFAULT=NO,AUTOSELECT=NO,FORCED=YES,URI=\"../subtitles_1.m3u8\"\n"
                         "#EXT-X-STREAM-INF:BANDWIDTH=2,AVERAGE-BANDWIDTH=1,CODECS=\"avc1.64001e,mp4a.40.2\","
                         "RESOLUTION=640x360,FRAME-RATE=30.000,CLOSED-CAPTIONS=NONE,SUBTITLES=\"subs\"\n"
                         "../360p.m3u8\n"));
}

UNIT_CASE("master", media_playlist_uris) {
    struct UriRow {
        const char* id;
        const char* master_folder;
        const char* working_directory;
        const char* uri;
    };
    const UriRow rows[] = {
        {"same-folder", "/work/job", "/work/job", "720p.m3u8"},
        {"subfolder", "/work/job/public", "/work/job", "../720p.m3u8"},
        {"deeper-subfolder", "/work/job/a/b", "/work/job", "../../720p.m3u8"},
        {"sibling", "/work/site", "/work/job", "../job/720p.m3u8"},
        {"parent", "/work", "/work/job", "job/720p.m3u8"},
        {"root-master", "/", "/work/job", "work/job/720p.m3u8"},
        {"root-working", "/work/job", "/", "../../720p.m3u8"},
        {"blank-and-hash", "/work/site", "/work/job #1", "../job%20%231/720p.m3u8"},
        {"percent-and-query", "/work/site", "/work/50%?", "../50%25%3F/720p.m3u8"},
        {"utf-8", "/srv/www", "/srv/vid\xc3\xa9o", "../vid%C3%A9o/720p.m3u8"},
        {"kept-as-they-are", "/w/site", "/w/a+b=c;d@e:f~g!$&'()*,-._", "../a+b=c;d@e:f~g!$&'()*,-._/720p.m3u8"},
        {"quote-backslash-brackets", "/w/site", "/w/\"\\[]{}<>^`|", "../%22%5C%5B%5D%7B%7D%3C%3E%5E%60%7C/720p.m3u8"},
        {"control-characters", "/w/site", "/w/a\tb\nc\x7f", "../a%09b%0Ac%7F/720p.m3u8"},
        {"unknown-master-folder", "", "/work/job", "720p.m3u8"},
        {"unknown-working-directory", "/work/site", "", "720p.m3u8"},
    };
    for (const auto& row : rows) {
        unit::Row at(row.id);
        CHECK_EQ(corvane::media_playlist_uri(row.master_folder, row.working_directory, "720p.m3u8"),
                 std::string(row.uri));
    }
}
