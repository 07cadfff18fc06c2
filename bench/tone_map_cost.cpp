// What the HDR conversion costs per picture: the source's own (on one
// thread, and split among its threads) against FFmpeg's filter chain that
// did it before (zscale to linear light, tonemap, zscale back, on one
// thread), on a noisy 10-bit PQ picture of each size; then the source's own
// on one thread with each kernel this processor runs. Prints a line per
// size: "conversion WxH own_ms A own_sliced_ms B filters_ms C plain_ms D
// avx2_ms E avx512_ms F" (medians; a kernel the processor lacks left out).
//
//   tone_map_cost [RUNS]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/log.h>
}

#include "av/av_handles.h"
#include "av/filter_chain.h"
#include "source/hdr_converter.h"
#include "source/tone_map.h"

namespace {

using namespace corvane;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

template <class Step>
double median_ms(int runs, Step step) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        step();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    return median(times);
}

// A noisy PQ picture: grey levels up to 1,000 cd/m² and colours around them.
FramePtr hdr_picture(int width, int height) {
    FramePtr picture(av_frame_alloc());
    picture->format = AV_PIX_FMT_YUV420P10;
    picture->width = width;
    picture->height = height;
    picture->color_trc = AVCOL_TRC_SMPTE2084;
    picture->color_primaries = AVCOL_PRI_BT2020;
    picture->colorspace = AVCOL_SPC_BT2020_NCL;
    picture->color_range = AVCOL_RANGE_MPEG;
    if (av_frame_get_buffer(picture.get(), 0) < 0) std::abort();
    std::mt19937 random(7);
    for (int plane = 0; plane < 3; ++plane) {
        const int rows = plane ? (height + 1) / 2 : height;
        const int columns = plane ? (width + 1) / 2 : width;
        std::uniform_int_distribution<int> value(plane ? 440 : 64, plane ? 584 : 723);
        for (int y = 0; y < rows; ++y) {
            auto* row = reinterpret_cast<uint16_t*>(picture->data[plane] + y * picture->linesize[plane]);
            for (int x = 0; x < columns; ++x) row[x] = static_cast<uint16_t>(value(random));
        }
    }
    return picture;
}

double filters_ms(const AVFrame* picture, int runs) {
    FilterGraphPtr graph(avfilter_graph_alloc());
    graph->nb_threads = 1;
    char args[160];
    std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=1/30:pixel_aspect=1/1", picture->width,
                  picture->height, picture->format);
    AVFilterContext* source = nullptr;
    AVFilterContext* sink = nullptr;
    const char* chain =
        "zscale=tin=smpte2084:pin=bt2020:min=bt2020nc:rin=tv:t=linear:p=bt709:npl=203,format=gbrpf32le,"
        "tonemap=tonemap=mobius:param=0.7:desat=0:peak=4.926,zscale=t=bt709:m=bt709:r=tv,format=yuv420p";
    if (build_filter_chain(graph.get(), "buffer", args, chain, "buffersink", &source, &sink) < 0) return -1;
    FramePtr in(av_frame_alloc());
    FramePtr out(av_frame_alloc());
    int64_t pts = 0;
    return median_ms(runs, [&] {
        av_frame_ref(in.get(), picture);
        in->pts = pts++;
        if (av_buffersrc_add_frame(source, in.get()) < 0) std::abort();
        while (av_buffersink_get_frame(sink, out.get()) >= 0) av_frame_unref(out.get());
    });
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    av_log_set_level(AV_LOG_ERROR);
    for (const auto& [width, height] : {std::pair{1920, 1080}, std::pair{3840, 2160}}) {
        const FramePtr picture = hdr_picture(width, height);
        const ToneMapTables tables(HdrTransfer::kPq, false);
        ToneMapRows rows(width);
        FramePtr out(av_frame_alloc());
        out->format = AV_PIX_FMT_YUV420P;
        out->width = width;
        out->height = height;
        if (av_frame_get_buffer(out.get(), 0) < 0) return 1;
        const HdrPlanes in = hdr_planes(picture.get());
        const SdrPlanes sdr = sdr_planes(out.get());
        auto one_thread = [&](const ToneMapTables& tables, int runs) {
            return median_ms(runs, [&] { tone_map_rows(tables, in, sdr, width, height, 0, (height + 1) / 2, rows); });
        };
        const double own = one_thread(tables, runs);
        // (The converter makes its own picture: `sdr` stays on `out`.)
        HdrConverter converter;
        FramePtr converted(av_frame_alloc());
        const double sliced = median_ms(runs, [&] {
            if (converter.convert(picture.get(), AVCOL_TRC_SMPTE2084, PictureArea{}, converted.get()).failed()) {
                std::abort();
            }
        });
        std::printf("conversion %dx%d own_ms %.2f own_sliced_ms %.2f filters_ms %.2f", width, height, own, sliced,
                    filters_ms(picture.get(), std::max(3, runs / 3)));
        for (const auto& [kernel, name] : {std::pair{ToneMapKernel::kPlain, "plain"}, std::pair{ToneMapKernel::kAvx2, "avx2"},
                                           std::pair{ToneMapKernel::kAvx512, "avx512"}}) {
            if (!tone_map_kernel_runs(kernel)) continue;
            const int kernel_runs = kernel == ToneMapKernel::kPlain ? std::max(3, runs / 5) : runs;
            std::printf(" %s_ms %.2f", name, one_thread(ToneMapTables(HdrTransfer::kPq, false, kernel), kernel_runs));
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    return 0;
}
