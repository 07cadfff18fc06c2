#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "chunk/chunk.h"
#include "chunk/chunk_plan.h"
#include "chunk/stitch.h"
#include "ladder/job_steps.h"
#include "ladder/ladder.h"
#include "ladder/progress.h"
#include "log/log.h"

namespace py = pybind11;

namespace {

// Whether a job must stop, asked by the job about every 100 ms: when a
// signal handler raised (Ctrl-C's KeyboardInterrupt, a service's SystemExit
// on SIGTERM). Python runs signal handlers on its main thread only, so a
// call on any other thread never sees one itself: the first call that does
// stops every call running in the process, and each of their callers gets
// the same kind of exception. Its state is read and written with the
// interpreter lock held.
class Interrupts {
public:
    Interrupts() : seen_(raised_) {}

    // With the interpreter lock held.
    bool check() {
        if (PyErr_CheckSignals() != 0) {
            // The exception stays set for this call's caller.
            PyObject* kind = PyErr_Occurred();
            Py_XINCREF(kind);
            Py_XDECREF(kind_);
            kind_ = kind;
            ++raised_;
            stopped_ = raised_here_ = true;
        } else if (raised_ != seen_) {
            stopped_ = true;
        }
        return stopped_;
    }
    std::function<bool()> asker() {
        return [this] {
            py::gil_scoped_acquire hold;
            return check();
        };
    }
    // After the job, with the interpreter lock held: the exception of a job
    // that was stopped reaches its caller.
    void raise_if_stopped() const {
        if (!stopped_) return;
        if (!raised_here_) PyErr_SetNone(kind_ ? kind_ : PyExc_KeyboardInterrupt);
        throw py::error_already_set();
    }

private:
    static inline long raised_ = 0;            // signals seen by any call so far
    static inline PyObject* kind_ = nullptr;  // the last one's exception type
    const long seen_;
    bool stopped_ = false;
    bool raised_here_ = false;
};

// The job takes minutes to hours and never calls into Python: the
// interpreter lock is released while it runs, so the interpreter's other
// threads go on, calls of other threads among them.
void hls_encoder(std::string input, std::string output, std::vector<std::string> resolution,
                 std::vector<int> bitrate, std::string key) {
    Interrupts interrupts;
    {
        py::gil_scoped_release release;
        corvane::HlsLadderJob(std::move(input), std::move(output), std::move(resolution),
                              std::move(bitrate), std::move(key), interrupts.asker());
    }
    interrupts.raise_if_stopped();
}

// The chunked job's steps, for corvane.parallel: small values in and out
// (tuples of numbers and text), so that a chunk's task and its result travel
// to a worker process and back as they are.

using StatusTuple = std::tuple<int, std::string, std::string>;
using RenditionTuple = std::tuple<std::string, int, int, int>;
using HandedTuple = std::tuple<int64_t, int64_t, bool, int64_t, int64_t>;
using OutcomeTuple = std::tuple<std::string, StatusTuple, HandedTuple>;

StatusTuple status_tuple(const corvane::Status& s) { return {s.code, s.action, s.reason}; }

corvane::Status status_from(const StatusTuple& t) {
    corvane::Status s{std::get<0>(t), std::get<1>(t)};
    s.reason = std::get<2>(t);
    return s;
}

std::vector<corvane::PlannedRendition> renditions_from(const std::vector<RenditionTuple>& tuples) {
    std::vector<corvane::PlannedRendition> planned;
    for (const auto& [name, width, height, bitrate] : tuples) planned.push_back({name, width, height, bitrate});
    return planned;
}

OutcomeTuple outcome_tuple(const corvane::SourceOutcome& o) {
    const corvane::HandedOut& h = o.handed_out;
    return {o.read_warning, status_tuple(o.status),
            {h.first_video_pts, h.video_end_pts, h.audio_clock_started, h.audio_first_sample, h.audio_samples}};
}

corvane::SourceOutcome outcome_from(const OutcomeTuple& t) {
    corvane::SourceOutcome o;
    o.read_warning = std::get<0>(t);
    o.status = status_from(std::get<1>(t));
    const HandedTuple& h = std::get<2>(t);
    o.handed_out = {std::get<0>(h), std::get<1>(h), std::get<2>(h), std::get<3>(h), std::get<4>(h)};
    return o;
}

py::object plan_chunks(std::string input, std::string output, std::vector<std::string> resolution,
                       std::vector<int> bitrate, double chunk_seconds) {
    std::optional<corvane::ChunkedPlan> plan;
    {
        py::gil_scoped_release release;
        plan = corvane::plan_chunked_job(input, output, resolution, std::move(bitrate), chunk_seconds);
    }
    if (!plan) return py::none();
    std::vector<RenditionTuple> renditions;
    for (const auto& r : plan->renditions) renditions.emplace_back(r.name, r.width, r.height, r.bitrate);
    py::dict result;
    result["input"] = plan->input;
    result["renditions"] = renditions;
    result["starts"] = plan->starts;
    result["length"] = plan->length;
    result["origin"] = plan->origin;
    return result;
}

py::tuple encode_chunk(std::string input, std::string folder, std::vector<RenditionTuple> renditions, int index,
                       int64_t from, int64_t to, int64_t origin, bool whole_source, bool exact,
                       bool keep_audio) {
    corvane::ChunkTask task{std::move(input), std::move(folder), renditions_from(renditions), index, from, to,
                            origin, whole_source, exact, keep_audio};
    corvane::ChunkResult result;
    {
        py::gil_scoped_release release;
        result = corvane::encode_chunk(task);
    }
    std::vector<StatusTuple> statuses;
    for (const auto& s : result.renditions) statuses.push_back(status_tuple(s));
    std::vector<std::tuple<int, std::string>> lines;
    for (const auto& line : result.lines) lines.emplace_back(line.level, line.text);
    return py::make_tuple(statuses, outcome_tuple(result.outcome), lines);
}

void stitch(std::string output, std::string key, std::string folder, int chunks,
            std::vector<RenditionTuple> renditions, std::vector<StatusTuple> encoded, OutcomeTuple outcome) {
    corvane::StitchTask task{std::move(output), std::move(key), std::move(folder), chunks,
                             renditions_from(renditions), {}, outcome_from(outcome)};
    for (const auto& s : encoded) task.encoded.push_back(status_from(s));
    task.encoded.resize(task.renditions.size());
    Interrupts interrupts;
    {
        py::gil_scoped_release release;
        corvane::stitch_job(task, interrupts.asker());
    }
    interrupts.raise_if_stopped();
}

}  // namespace

PYBIND11_MODULE(_engine, m) {
    m.doc() = "HLS Video Transcoding C++ Engine Binding that gave the real power of c++ in python";
    m.def("hls_encoder", &hls_encoder, "Transcode video to HLS with dynamic ABR",
          py::arg("input"), py::arg("output"),
          py::arg("resolution") = corvane::default_resolutions(),
          py::arg("bitrate") = corvane::default_bitrates(),
          py::arg("key") = std::string("enc.keyinfo"));

    // Private: the steps of corvane.parallel's chunked job.
    m.def("_plan_chunks", &plan_chunks);
    m.def("_encode_chunk", &encode_chunk);
    m.def("_chunks_join", &corvane::chunks_join, py::call_guard<py::gil_scoped_release>());
    m.def("_stitch", &stitch);
    m.def("_log", &corvane::log_message);
    m.def("_report_interrupted", [](const std::string& output) { corvane::report(output, {}, {}, true); });
    m.def("_progress_line", [](int64_t total, int64_t done, double since_start, double since_line, int steps) {
        const std::string line = corvane::progress_line(total, done, since_start, since_line, steps);
        return std::make_tuple(line, steps);
    });
}
