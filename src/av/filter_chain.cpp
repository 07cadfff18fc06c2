#include "av/filter_chain.h"

namespace corvane {

int build_filter_chain(AVFilterGraph* graph, const char* source_filter, const char* args,
                       const char* chain, const char* sink_filter, AVFilterContext** source,
                       AVFilterContext** sink) {
    const AVFilter* buffer = avfilter_get_by_name(source_filter);
    const AVFilter* buffersink = avfilter_get_by_name(sink_filter);
    if (!buffer || !buffersink) return AVERROR_FILTER_NOT_FOUND;
    int ret = avfilter_graph_create_filter(source, buffer, "in", args, nullptr, graph);
    if (ret >= 0) ret = avfilter_graph_create_filter(sink, buffersink, "out", nullptr, nullptr, graph);
    if (ret < 0) return ret;

    // The chain's open ends: its input is fed by "in", its output feeds "out".
    FilterInOutPtr outputs(avfilter_inout_alloc());
    FilterInOutPtr inputs(avfilter_inout_alloc());
    if (!outputs || !inputs) return AVERROR(ENOMEM);
    outputs->name = av_strdup("in");
    outputs->filter_ctx = *source;
    inputs->name = av_strdup("out");
    inputs->filter_ctx = *sink;
    if (!outputs->name || !inputs->name) return AVERROR(ENOMEM);
    AVFilterInOut* in_list = inputs.release();
    AVFilterInOut* out_list = outputs.release();
    ret = avfilter_graph_parse_ptr(graph, chain, &in_list, &out_list, nullptr);
    inputs.reset(in_list);
    outputs.reset(out_list);
    if (ret < 0) return ret;
    return avfilter_graph_config(graph, nullptr);
}

}  // namespace corvane
