// The source stage alone: reads a file, decodes and normalises it once, as a
// job does, and hands everything to renditions that only take what they are
// given. Prints how many pictures it handed out and how fast, so that its
// headroom over the encoders shows on any number of cores.
//
//   source_rate FILE [RENDITIONS [filters]]
//
// With "filters", HDR pictures are tone-mapped by FFmpeg's filters (zscale
// and tonemap) instead of the source's own conversion: the figures before it.
//
// The pictures are brought down to the default ladder's largest rendition,
// turned like the source, as in a job with the default ladder. Prints one
// line: "pictures N wall_s W cpu_s C pictures_per_s R".

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "ladder/ladder.h"
#include "source/source.h"

namespace {

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace corvane;
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: %s FILE [RENDITIONS [filters]]\n", argv[0]);
        return 2;
    }
    const int renditions = argc >= 3 ? std::atoi(argv[2]) : 4;
    if (renditions < 1) return 2;
    av_log_set_level(AV_LOG_ERROR);

    auto source = std::make_unique<Source>();
    const Status probed = open_source_input(source->input, argv[1]);
    if (probed.failed()) {
        std::fprintf(stderr, "%s\n", probed.reason.c_str());
        return 1;
    }
    int width = 0, height = 0;
    shown_size(source->input, width, height);
    const bool landscape = width >= height;
    source->largest_width = landscape ? kLadder[0].long_side : kLadder[0].short_side;
    source->largest_height = landscape ? kLadder[0].short_side : kLadder[0].long_side;
    const Status opened = open_source(*source);
    if (argc == 4 && std::string(argv[3]) == "filters") source->video.convert_hdr_with_filters();
    if (opened.failed()) {
        std::fprintf(stderr, "the source could not be opened (%s)\n", opened.action.c_str());
        return 1;
    }

    std::vector<std::unique_ptr<MediaQueue>> feeds;
    std::vector<MediaQueue*> taking;
    for (int i = 0; i < renditions; ++i) {
        feeds.push_back(std::make_unique<MediaQueue>(8));
        taking.push_back(feeds.back().get());
    }
    std::atomic<long> pictures{0};
    std::vector<std::thread> takers;
    for (auto& feed : feeds) {
        takers.emplace_back([&pictures, &feed, first = takers.empty()] {
            MediaItem item;
            item.picture.reset(av_frame_alloc());
            item.packet.reset(av_packet_alloc());
            while (true) {
                const ItemKind kind = feed->pop(item);
                if (kind == ItemKind::picture && first) ++pictures;
                av_frame_unref(item.picture.get());
                av_packet_unref(item.packet.get());
                if (kind == ItemKind::end || kind == ItemKind::abandoned) return;
            }
        });
    }
    std::atomic<int64_t> read_position{0};
    const double cpu_start = cpu_seconds();
    const auto start = std::chrono::steady_clock::now();
    run_source(*source, taking, read_position);
    for (auto& taker : takers) taker.join();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = cpu_seconds() - cpu_start;
    std::printf("pictures %ld wall_s %.3f cpu_s %.3f pictures_per_s %.2f\n", pictures.load(), wall, cpu,
                wall > 0 ? pictures.load() / wall : 0.0);
    return 0;
}
