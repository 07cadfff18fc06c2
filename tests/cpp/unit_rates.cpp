// A written media playlist read back: its EXTINF durations fitted to the
// media, its target duration raised to cover them, and the peak and average
// rates that the master playlist states.

#include <cstdint>
#include <string>
#include <vector>

#include "rendition/media_playlist.h"
#include "unit.h"

namespace {

using corvane::MediaPlaylist;
using corvane::HandedOut;

// A playlist as the muxer writes it, with these EXTINF lines.
std::string playlist_text(long target, const std::vector<std::string>& extinfs) {
    std::string text = "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:" + std::to_string(target) +
                       "\n#EXT-X-MEDIA-SEQUENCE:0\n#EXT-X-KEY:METHOD=AES-128,URI=\"enc.key\",IV=0x0\n";
    for (size_t i = 0; i < extinfs.size(); ++i) {
        text += extinfs[i] + "\n360p_00" + std::to_string(i) + ".ts\n";
    }
    return text + "#EXT-X-ENDLIST\n";
}

HandedOut video(double start, double end) {
    HandedOut media;
    media.first_video_pts = static_cast<int64_t>(start * 30 + 0.5);
    media.video_end_pts = static_cast<int64_t>(end * 30 + 0.5);
    return media;
}

HandedOut with_audio(HandedOut media, double start, double end) {
    media.audio_clock_started = true;
    media.audio_first_sample = static_cast<int64_t>(start * 44100 + 0.5);
    media.audio_samples = static_cast<int64_t>(end * 44100 + 0.5);
    return media;
}

}  // namespace

UNIT_CASE("rates", playlist_read_and_written_back) {
    const std::string text = playlist_text(6, {"#EXTINF:6.000000,", "#EXTINF:2.500000,"});
    const MediaPlaylist playlist = corvane::parse_media_playlist(text);
    CHECK_EQ(playlist.lines.size(), size_t{10});
    CHECK_EQ(playlist.target_line, size_t{2});
    CHECK_EQ(playlist.target, 6L);
    CHECK_EQ(playlist.extinf_lines, (std::vector<size_t>{5, 7}));
    CHECK_EQ(playlist.seconds, (std::vector<double>{6.0, 2.5}));
    CHECK_EQ(playlist.segments, (std::vector<std::string>{"360p_000.ts", "360p_001.ts"}));
    CHECK_EQ(corvane::media_playlist_text(playlist), text);
    // A last line without its line feed gets one.
    CHECK_EQ(corvane::media_playlist_text(corvane::parse_media_playlist("#EXTM3U\n#EXT-X-ENDLIST")),
             std::string("#EXTM3U\n#EXT-X-ENDLIST\n"));
    const MediaPlaylist none = corvane::parse_media_playlist("#EXTM3U\n");
    CHECK_EQ(none.target_line, std::string::npos);
    CHECK(none.segments.empty() && none.seconds.empty());
}

// The muxer's first EXTINF starts at the first picture and its last counts
// pictures as 1/30 s each: both are fitted to where the media starts and ends.
UNIT_CASE("rates", first_and_last_extinf_fitted_to_the_media) {
    struct FitRow {
        const char* id;
        std::vector<std::string> extinfs;
        HandedOut media;
        std::vector<std::string> fitted;  // the EXTINF lines after fitting
        bool changed;
    };
    const FitRow rows[] = {
        {"audio-before-the-first-picture", {"#EXTINF:6.000000,", "#EXTINF:2.000000,"},
         with_audio(video(0.5, 8.5), 0, 8.5), {"#EXTINF:6.500000,", "#EXTINF:2.000000,"}, true},
        {"audio-after-the-last-picture", {"#EXTINF:6.000000,", "#EXTINF:2.000000,"},
         with_audio(video(0, 8), 0, 10.07), {"#EXTINF:6.000000,", "#EXTINF:4.070000,"}, true},
        {"a-last-picture-that-lasts", {"#EXTINF:6.000000,", "#EXTINF:0.033333,"},
         video(0, 7), {"#EXTINF:6.000000,", "#EXTINF:1.000000,"}, true},
        {"within-aac-framing", {"#EXTINF:6.000000,", "#EXTINF:2.000000,"},
         with_audio(video(0, 8), 0.04, 8.04), {"#EXTINF:6.000000,", "#EXTINF:2.000000,"}, false},
        {"one-segment-both-ends", {"#EXTINF:1.500000,"}, with_audio(video(0.5, 2), 0, 2.5),
         {"#EXTINF:2.500000,"}, true},
        {"middle-segments-kept", {"#EXTINF:6.000000,", "#EXTINF:6.100000,", "#EXTINF:2.000000,"},
         with_audio(video(1, 15), 0, 15), {"#EXTINF:7.000000,", "#EXTINF:6.100000,", "#EXTINF:1.900000,"},
         true},
        {"title-after-the-comma-kept", {"#EXTINF:6.000000,first", "#EXTINF:2.000000,last"},
         with_audio(video(0, 8), 0, 9), {"#EXTINF:6.000000,first", "#EXTINF:3.000000,last"}, true},
        {"no-comma", {"#EXTINF:6.000000,", "#EXTINF:2"}, with_audio(video(0, 8), 0, 9),
         {"#EXTINF:6.000000,", "#EXTINF:3.000000,"}, true},
        {"nothing-handed-out", {"#EXTINF:6.000000,", "#EXTINF:2.000000,"}, HandedOut{},
         {"#EXTINF:6.000000,", "#EXTINF:2.000000,"}, false},
        {"audio-clock-not-started", {"#EXTINF:6.000000,", "#EXTINF:2.000000,"},
         [] { HandedOut m = with_audio(video(0, 8), 0, 12); m.audio_clock_started = false; return m; }(),
         {"#EXTINF:6.000000,", "#EXTINF:2.000000,"}, false},
        {"no-audio-samples", {"#EXTINF:6.000000,", "#EXTINF:2.000000,"}, with_audio(video(0, 8), 3, 3),
         {"#EXTINF:6.000000,", "#EXTINF:2.000000,"}, false},
        {"sound-only-span", {"#EXTINF:6.000000,", "#EXTINF:2.000000,"}, with_audio(HandedOut{}, 0, 9),
         {"#EXTINF:6.000000,", "#EXTINF:3.000000,"}, true},
        // A last segment that would end before the media's start is left.
        {"end-before-the-rest", {"#EXTINF:6.000000,", "#EXTINF:2.000000,"}, video(0, 5),
         {"#EXTINF:6.000000,", "#EXTINF:2.000000,"}, false},
    };
    for (const auto& row : rows) {
        unit::Row at(row.id);
        MediaPlaylist playlist = corvane::parse_media_playlist(playlist_text(9, row.extinfs));
        const corvane::Fitting fitting = corvane::fit_media_playlist(playlist, row.media);
        CHECK_EQ(fitting.changed, row.changed);
        std::vector<std::string> lines;
        for (const size_t line : playlist.extinf_lines) lines.push_back(playlist.lines[line]);
        CHECK_EQ(lines, row.fitted);
        // The rates are measured from the durations as written.
        for (size_t i = 0; i < lines.size(); ++i) {
            CHECK_EQ(playlist.seconds[i], std::stod(lines[i].substr(8)));
        }
        CHECK_EQ(corvane::media_playlist_text(playlist), playlist_text(9, row.fitted));
    }
}

// The muxer rounds the target duration; players expect no segment to outlast it.
UNIT_CASE("rates", target_duration_covers_the_longest_segment) {
    struct TargetRow {
        const char* id;
        long target;
        std::vector<std::string> extinfs;
        long written;   // in the text after fitting
        long measured;  // what the rates are measured against
        bool changed;
    };
    const TargetRow rows[] = {
        {"7.2-s-segments", 7, {"#EXTINF:7.200000,", "#EXTINF:7.200000,"}, 8, 8, true},
        {"within-rounding", 7, {"#EXTINF:7.000400,", "#EXTINF:2.000000,"}, 7, 7, false},
        {"just-over", 7, {"#EXTINF:7.000600,", "#EXTINF:2.000000,"}, 8, 8, true},
        {"never-lowered", 6, {"#EXTINF:2.000000,", "#EXTINF:2.000000,"}, 6, 6, false},
    };
    for (const auto& row : rows) {
        unit::Row at(row.id);
        MediaPlaylist playlist = corvane::parse_media_playlist(playlist_text(row.target, row.extinfs));
        const corvane::Fitting fitting = corvane::fit_media_playlist(playlist, HandedOut{});
        CHECK_EQ(fitting.changed, row.changed);
        CHECK_EQ(fitting.target, row.measured);
        CHECK_EQ(playlist.lines[playlist.target_line], "#EXT-X-TARGETDURATION:" + std::to_string(row.written));
    }
    // Without a target line, the rates are still measured against the longest.
    MediaPlaylist untargeted = corvane::parse_media_playlist("#EXTINF:7.200000,\na.ts\n");
    const corvane::Fitting fitting = corvane::fit_media_playlist(untargeted, HandedOut{});
    CHECK(!fitting.changed);
    CHECK_EQ(fitting.target, 8L);
}

// The peak is the highest rate of a run of contiguous segments lasting 0.5
// to 1.5 times the target duration; the average is over every segment.
UNIT_CASE("rates", peak_and_average) {
    struct RateRow {
        const char* id;
        std::vector<uintmax_t> bytes;
        std::vector<double> seconds;
        long target;
        int64_t peak;
        int64_t average;
    };
    const RateRow rows[] = {
        {"one-segment-per-run", {600000, 1200000, 300000}, {6, 6, 6}, 6, 1600000, 933334},
        // A 2 s segment alone is shorter than half the target: its rate does
        // not count, only runs of 2 to 4 of them (4 to 8 s) do.
        {"short-segments-in-runs", {1000, 100000, 1000, 1000, 1000}, {2, 2, 2, 2, 2}, 6, 202000, 83200},
        // A run of exactly 1.5 times the target counts; longer ones do not.
        {"run-of-1.5-targets", {450000, 450000}, {2, 7}, 6, 800000, 800000},
        // Segments longer than that: no run counts, the peak is the average.
        {"runs-over-1.5-targets", {100, 900000}, {9.5, 9.5}, 6, 378990, 378990},
        // Shorter than half the target: one rate, the average.
        {"short-rendition", {100000}, {1}, 6, 800000, 800000},
        {"short-rendition-two-segments", {100000, 50000}, {1, 1}, 6, 600000, 600000},
        {"nothing", {}, {}, 6, 0, 0},
        {"rounded-up", {1}, {3}, 6, 3, 3},
    };
    for (const auto& row : rows) {
        unit::Row at(row.id);
        const corvane::SegmentRates rates = corvane::measure_rates(row.bytes, row.seconds, row.target);
        CHECK_EQ(rates.peak, row.peak);
        CHECK_EQ(rates.average, row.average);
    }
}
