#include "av/status.h"

extern "C" {
#include <libavutil/error.h>
}

namespace corvane {

std::string av_error_text(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    if (av_strerror(code, text, sizeof text) < 0) {
        return "error " + std::to_string(code);
    }
    return text;
}

}  // namespace corvane
