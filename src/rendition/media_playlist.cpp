#include "rendition/media_playlist.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <utility>

#include "av/output.h"

namespace corvane {

namespace {

// Writes `duration` into the EXTINF line `line`, keeping what follows its comma.
void set_duration(std::string& line, double duration) {
    const size_t comma = line.find(',');
    char number[32];
    std::snprintf(number, sizeof number, "%f", duration);
    line = "#EXTINF:" + std::string(number) + (comma == std::string::npos ? "," : line.substr(comma));
}

// The EXTINF lines fitted to the media. Says whether any changed.
bool fit_durations(const MediaSpan& span, MediaPlaylist& playlist) {
    // The muxer measures segments by their pictures only: its first EXTINF
    // starts at the first picture, and its last one counts every picture as
    // one tick of 1/30 s, short for sources of fewer pictures per second and
    // for a last picture that lasts longer; the ones between are exact. Audio
    // before the first picture (a camera that started after its microphone)
    // or after the last would be left out, and players would misjudge the
    // presentation's length and end it early. So the first EXTINF is made to
    // start where the media starts and the last to end where it ends.
    // Differences below kFraming are AAC framing.
    constexpr double kFraming = 0.05;
    std::vector<double>& seconds = playlist.seconds;
    if (!span.known || seconds.empty()) return false;
    std::vector<double> exact = seconds;
    exact.front() += span.video_start - span.start;
    double before_last = 0;
    for (size_t i = 0; i + 1 < exact.size(); ++i) before_last += exact[i];
    if (span.end - span.start - before_last > 0) exact.back() = span.end - span.start - before_last;
    bool changed = false;
    for (size_t i = 0; i < exact.size(); ++i) {
        if (std::fabs(exact[i] - seconds[i]) <= kFraming) continue;
        // As the playlist states it (six decimals): the rates are measured
        // from the durations players read.
        seconds[i] = std::round(exact[i] * 1e6) / 1e6;
        set_duration(playlist.lines[playlist.extinf_lines[i]], seconds[i]);
        changed = true;
    }
    return changed;
}

}  // namespace

MediaSpan media_span(const HandedOut& media) {
    MediaSpan span;
    auto take = [&span](double start, double end) {
        span.start = span.known ? std::min(span.start, start) : start;
        span.end = span.known ? std::max(span.end, end) : end;
        span.known = true;
    };
    if (media.audio_clock_started && media.audio_samples > media.audio_first_sample) {
        const double sample = av_q2d(kAudioTimeBase);
        take(sample * static_cast<double>(media.audio_first_sample),
             sample * static_cast<double>(media.audio_samples));
    }
    span.video_start = span.start;
    if (media.first_video_pts != AV_NOPTS_VALUE) {
        const double tick = av_q2d(kVideoTimeBase);
        span.video_start = tick * static_cast<double>(media.first_video_pts);
        take(span.video_start, tick * static_cast<double>(media.video_end_pts));
    }
    return span;
}

MediaPlaylist parse_media_playlist(const std::string& text) {
    MediaPlaylist playlist;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("#EXT-X-TARGETDURATION:", 0) == 0) {
            playlist.target_line = playlist.lines.size();
            playlist.target = std::strtol(line.c_str() + 22, nullptr, 10);
        } else if (line.rfind("#EXTINF:", 0) == 0) {
            playlist.extinf_lines.push_back(playlist.lines.size());
            playlist.seconds.push_back(std::strtod(line.c_str() + 8, nullptr));
        } else if (!line.empty() && line[0] != '#') {
            playlist.segments.push_back(line);
        }
        playlist.lines.push_back(std::move(line));
    }
    return playlist;
}

std::string media_playlist_text(const MediaPlaylist& playlist) {
    std::string text;
    for (const auto& line : playlist.lines) text += line + "\n";
    return text;
}

Fitting fit_media_playlist(MediaPlaylist& playlist, const HandedOut& media) {
    Fitting fitting;
    fitting.changed = fit_durations(media_span(media), playlist);
    double longest = 0;
    for (const double seconds : playlist.seconds) longest = std::max(longest, seconds);
    // The muxer rounds the target duration to the nearest second, so a 7.2 s
    // segment (25 fps sources: 60 pictures last 2.4 s) would outlast it.
    // Players expect no segment to be longer than the target.
    const long needed = static_cast<long>(std::ceil(longest - 0.0005));
    if (playlist.target_line != std::string::npos && needed > playlist.target) {
        playlist.lines[playlist.target_line] = "#EXT-X-TARGETDURATION:" + std::to_string(needed);
        fitting.changed = true;
    }
    fitting.target = std::max(playlist.target, needed);
    return fitting;
}

// As players read BANDWIDTH and AVERAGE-BANDWIDTH: the peak is the highest
// rate of any run of contiguous segments that lasts 0.5 to 1.5 times the
// target duration. A rendition too short for any such run (shorter than half
// the target) has one rate, its average.
SegmentRates measure_rates(const std::vector<uintmax_t>& bytes, const std::vector<double>& seconds,
                           long target) {
    double all_bits = 0, all_seconds = 0, peak = 0;
    for (size_t first = 0; first < bytes.size(); ++first) {
        double bits = 0, length = 0;
        for (size_t last = first; last < bytes.size() && length <= 1.5 * target; ++last) {
            bits += 8.0 * static_cast<double>(bytes[last]);
            length += seconds[last];
            if (length > 0 && length >= 0.5 * target && length <= 1.5 * target) {
                peak = std::max(peak, bits / length);
            }
        }
        all_bits += 8.0 * static_cast<double>(bytes[first]);
        all_seconds += seconds[first];
    }
    const double average = all_seconds > 0 ? all_bits / all_seconds : 0;
    if (peak == 0) peak = average;
    return SegmentRates{static_cast<int64_t>(std::ceil(peak)), static_cast<int64_t>(std::ceil(average))};
}

}  // namespace corvane
