#pragma once

// How every stage reports the way it ended: one type, passed up by value.
// A failure carries FFmpeg's error code and what was being done when it came
// ("writing the HLS header"), or, where no error code says enough, the cause
// in words ("the source has no decodable pictures."). The one place where
// either becomes the text of a log line is `Status::cause`.

#include <string>
#include <utility>

namespace corvane {

// FFmpeg's text for an error code, e.g. "No such file or directory".
std::string av_error_text(int code);

struct Status {
    Status() = default;
    Status(int error, std::string doing) : code(error), action(std::move(doing)) {}

    int code = 0;        // negative: a failure (an FFmpeg error code)
    std::string action;  // what was being done when it failed
    std::string reason;  // the cause in words, when the code alone does not say it

    bool failed() const { return code < 0; }
    bool ok() const { return code >= 0; }
    // The cause: `reason` when there is one, else FFmpeg's text for `code`.
    std::string cause() const { return reason.empty() ? av_error_text(code) : reason; }
};

// The status of an FFmpeg call's result: ok for 0 and above. The words are
// made only for a failure.
inline Status status_of(int code, const char* action) { return code < 0 ? Status{code, action} : Status{}; }

// A failure that words describe better than an error code.
inline Status failure_because(int code, std::string reason) {
    Status status{code, ""};
    status.reason = std::move(reason);
    return status;
}

}  // namespace corvane

// Evaluates `expr` (a Status) and returns it from the calling function when it
// failed.
#define RETURN_IF_FAILED(expr)                        \
    do {                                              \
        ::corvane::Status status_once_ = (expr);      \
        if (status_once_.failed()) return status_once_; \
    } while (0)
