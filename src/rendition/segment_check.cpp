// After the trailer, each rendition reads back what the muxer wrote: every
// segment the playlist names must be there, the playlist's durations must
// cover the media, and the segments' sizes give the rates that the master
// playlist states.

#include "rendition/rendition.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <utility>
#include <vector>

namespace corvane {

namespace {

// Where the encoded pictures and samples begin and end, in seconds of the
// output clock that both streams share.
struct MediaSpan {
    bool known = false;
    double start = 0;
    double end = 0;
    double video_start = 0;
};

MediaSpan media_span(const HandedOut& r) {
    MediaSpan span;
    auto take = [&span](double start, double end) {
        span.start = span.known ? std::min(span.start, start) : start;
        span.end = span.known ? std::max(span.end, end) : end;
        span.known = true;
    };
    if (r.audio_clock_started && r.audio_samples > r.audio_first_sample) {
        const double sample = av_q2d(kAudioTimeBase);
        take(sample * static_cast<double>(r.audio_first_sample), sample * static_cast<double>(r.audio_samples));
    }
    span.video_start = span.start;
    if (r.first_video_pts != AV_NOPTS_VALUE) {
        const double tick = av_q2d(kVideoTimeBase);
        span.video_start = tick * static_cast<double>(r.first_video_pts);
        take(span.video_start, tick * static_cast<double>(r.video_end_pts));
    }
    return span;
}

// Writes `duration` into the EXTINF line `line`, keeping what follows its comma.
void set_duration(std::string& line, double duration) {
    const size_t comma = line.find(',');
    char number[32];
    std::snprintf(number, sizeof number, "%f", duration);
    line = "#EXTINF:" + std::string(number) + (comma == std::string::npos ? "," : line.substr(comma));
}

// The EXTINF lines `durations` (line, value) of `lines`, fitted to the media.
// Says whether any changed.
bool fit_durations(const MediaSpan& span, std::vector<std::string>& lines,
                   std::vector<std::pair<size_t, double>>& durations) {
    // The muxer measures segments by their pictures only: its first EXTINF
    // starts at the first picture, and its last one counts every picture as
    // one tick of 1/30 s, short for sources of fewer pictures per second and
    // for a last picture that lasts longer; the ones between are exact. Audio before the first picture (a camera that
    // started after its microphone) or after the last would be left out, and
    // players would misjudge the presentation's length and end it early. So
    // the first EXTINF is made to start where the media starts and the last
    // to end where it ends. Differences below kFraming are AAC framing.
    constexpr double kFraming = 0.05;
    bool changed = false;
    if (span.known && !durations.empty()) {
        std::vector<double> exact;
        for (const auto& entry : durations) exact.push_back(entry.second);
        exact.front() += span.video_start - span.start;
        double before_last = 0;
        for (size_t i = 0; i + 1 < exact.size(); ++i) before_last += exact[i];
        if (span.end - span.start - before_last > 0) exact.back() = span.end - span.start - before_last;
        for (size_t i = 0; i < exact.size(); ++i) {
            if (std::fabs(exact[i] - durations[i].second) <= kFraming) continue;
            // As the playlist states it (six decimals): the rates are measured
            // from the durations players read.
            durations[i].second = std::round(exact[i] * 1e6) / 1e6;
            set_duration(lines[durations[i].first], durations[i].second);
            changed = true;
        }
    }
    return changed;
}

// The peak and average rate of segments of `bytes` and `seconds`, in bit/s,
// as players read BANDWIDTH and AVERAGE-BANDWIDTH: the peak is the highest
// rate of any run of contiguous segments that lasts 0.5 to 1.5 times the
// target duration. A rendition too short for any such run (shorter than half
// the target) has one rate, its average.
WrittenRates measure_rates(const std::vector<uintmax_t>& bytes, const std::vector<double>& seconds,
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
    return WrittenRates{static_cast<int64_t>(std::ceil(peak)), static_cast<int64_t>(std::ceil(average))};
}

}  // namespace

Status check_written_segments(const Rendition& r, WrittenRates& rates) {
    // The muxer does not always report a segment it could not open (an IV it
    // cannot use fails only there, and the trailer still succeeds), so the
    // finished playlist is read back.
    const char* action = "checking the written segments";
    std::error_code error;
    if (!std::filesystem::is_regular_file(r.playlist_path, error)) {
        return Status{AVERROR(ENOENT), "writing the playlist"};
    }
    std::ifstream in(r.playlist_path);
    if (!in) return Status{AVERROR(ENOENT), "writing the playlist"};
    const std::filesystem::path directory = std::filesystem::path(r.playlist_path).parent_path();
    std::vector<std::string> lines;
    std::vector<uintmax_t> sizes;  // of every segment, in bytes
    double longest = 0;
    size_t target_line = std::string::npos;
    long target = 0;
    std::vector<std::pair<size_t, double>> durations;  // EXTINF line, value
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("#EXT-X-TARGETDURATION:", 0) == 0) {
            target_line = lines.size();
            target = std::strtol(line.c_str() + 22, nullptr, 10);
        } else if (line.rfind("#EXTINF:", 0) == 0) {
            durations.emplace_back(lines.size(), std::strtod(line.c_str() + 8, nullptr));
        } else if (!line.empty() && line[0] != '#') {
            if (!std::filesystem::is_regular_file(directory / line, error)) {
                return Status{AVERROR(ENOENT), action};
            }
            sizes.push_back(std::filesystem::file_size(directory / line, error));
            if (error) return Status{AVERROR(EIO), action};
        }
        lines.push_back(std::move(line));
    }
    in.close();
    if (sizes.empty() || sizes.size() != durations.size()) return Status{AVERROR_INVALIDDATA, action};

    bool changed = fit_durations(media_span(r.outcome.handed_out), lines, durations);
    for (const auto& entry : durations) longest = std::max(longest, entry.second);

    // The muxer rounds the target duration to the nearest second, so a 7.2 s
    // segment (25 fps sources: 60 pictures last 2.4 s) would outlast it.
    // Players expect no segment to be longer than the target.
    const long needed = static_cast<long>(std::ceil(longest - 0.0005));
    if (target_line != std::string::npos && needed > target) {
        lines[target_line] = "#EXT-X-TARGETDURATION:" + std::to_string(needed);
        changed = true;
    }
    std::vector<double> seconds;
    for (const auto& entry : durations) seconds.push_back(entry.second);
    rates = measure_rates(sizes, seconds, std::max(target, needed));
    if (!changed) return Status{};

    const char* rewriting = "rewriting the playlist's durations";
    const std::string temporary = r.playlist_path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc | std::ios::binary);
        for (const auto& line : lines) out << line << "\n";
        out.close();
        if (out.fail()) return Status{AVERROR(EIO), rewriting};
    }
    std::filesystem::rename(temporary, r.playlist_path, error);
    if (error) return Status{AVERROR(error.value()), rewriting};
    return Status{};
}

}  // namespace corvane
