#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "ladder/ladder.h"

namespace py = pybind11;

namespace {

// The job takes minutes to hours and never calls into Python: the
// interpreter lock is released while it runs, so the interpreter's other
// threads go on. About every 100 ms the job asks whether a signal handler
// raised (Ctrl-C's KeyboardInterrupt, a service's SystemExit on SIGTERM); if
// one did, the job stops and its exception reaches the caller.
void hls_encoder(std::string input, std::string output, std::vector<std::string> resolution,
                 std::vector<int> bitrate, std::string key) {
    bool interrupted = false;
    {
        py::gil_scoped_release release;
        corvane::HlsLadderJob(std::move(input), std::move(output), std::move(resolution),
                              std::move(bitrate), std::move(key), [&interrupted] {
                                  py::gil_scoped_acquire hold;
                                  // The exception stays set for the caller.
                                  interrupted = PyErr_CheckSignals() != 0;
                                  return interrupted;
                              });
    }
    if (interrupted) throw py::error_already_set();
}

}  // namespace

PYBIND11_MODULE(_engine, m) {
    m.doc() = "HLS Video Transcoding C++ Engine Binding that gave the real power of c++ in python";
    m.def("hls_encoder", &hls_encoder, "Transcode video to HLS with dynamic ABR",
          py::arg("input"), py::arg("output"),
          py::arg("resolution") = corvane::default_resolutions(),
          py::arg("bitrate") = corvane::default_bitrates(),
          py::arg("key") = std::string("enc.keyinfo"));
}
