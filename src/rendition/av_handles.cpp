#include "rendition/av_handles.h"

extern "C" {
#include <libavutil/error.h>
}

namespace corvane {

void close_output(AVFormatContext* context) {
    if (!context) return;
    if (context->iformat) {
        avformat_close_input(&context);
        return;
    }
    if (context->oformat && !(context->oformat->flags & AVFMT_NOFILE) && context->pb) {
        avio_closep(&context->pb);
    }
    avformat_free_context(context);
}

std::string av_error_text(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    if (av_strerror(code, text, sizeof text) < 0) {
        return "error " + std::to_string(code);
    }
    return text;
}

}  // namespace corvane
