#pragma once

// One filter chain: a libavfilter graph from a buffer source through a chain
// of filters (in libavfilter's text form) to a buffer sink, and the input it
// was built for. A stream whose frames change (size, pixel format, sample
// rate, layout) needs the chain drained and built again: its owner compares
// every frame with `built_for`.

#include <cstdint>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
}

#include <utility>

#include "av/av_handles.h"

namespace corvane {

// Builds `source_filter` (a "buffer" or "abuffer" made with `args`) ->
// `chain` -> `sink_filter` (a "buffersink" or "abuffersink") in `graph` and
// configures it; the two ends are returned. An FFmpeg error code on failure.
int build_filter_chain(AVFilterGraph* graph, const char* source_filter, const char* args,
                       const char* chain, const char* sink_filter, AVFilterContext** source,
                       AVFilterContext** sink);

template <class Input>
class FilterChain {
public:
    // Builds the chain in place of the one before (which must have been
    // drained); `input` is what it is built for. An FFmpeg error code on
    // failure, and no chain.
    int build(const char* source_filter, const char* args, const char* chain, const char* sink_filter,
              Input input) {
        release();
        FilterGraphPtr graph(avfilter_graph_alloc());
        if (!graph) return AVERROR(ENOMEM);
        // Its filters' messages are of the job whose memory the chain is
        // (see FfmpegLogRoute), whichever thread writes them.
        graph->opaque = this;
        const int ret = build_filter_chain(graph.get(), source_filter, args, chain, sink_filter,
                                           &source_, &sink_);
        if (ret < 0) {
            source_ = sink_ = nullptr;
            return ret;
        }
        graph_ = std::move(graph);
        built_for_ = std::move(input);
        return 0;
    }
    bool built() const { return graph_ != nullptr; }
    const Input& built_for() const { return built_for_; }

    // Gives the chain `in` (null: the end of its input, which drains it) and
    // hands every frame it then has ready to `take(out)`, which returns a
    // Status; `out` is emptied after each. `action` names the chain's work in
    // a failure.
    template <class Take>
    Status filter(AVFrame* in, int flags, AVFrame* out, const char* action, Take take) {
        int ret = av_buffersrc_add_frame_flags(source_, in, flags);
        if (ret < 0) return Status{ret, action};
        while (true) {
            ret = av_buffersink_get_frame(sink_, out);
            if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return Status{};
            if (ret < 0) return Status{ret, action};
            Status status = take(out);
            av_frame_unref(out);
            RETURN_IF_FAILED(status);
        }
    }
    // Drains the chain into `take` and releases it.
    template <class Take>
    Status drain(AVFrame* out, const char* action, Take take) {
        Status status = filter(nullptr, 0, out, action, take);
        release();
        return status;
    }
    AVRational output_time_base() const { return av_buffersink_get_time_base(sink_); }

    void release() {
        source_ = sink_ = nullptr;
        graph_.reset();
    }

private:
    FilterGraphPtr graph_;
    AVFilterContext* source_ = nullptr;  // owned by graph_
    AVFilterContext* sink_ = nullptr;    // owned by graph_
    Input built_for_{};
};

}  // namespace corvane
