#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "ladder/ladder.h"

namespace py = pybind11;

PYBIND11_MODULE(corvane, m) {
    m.doc() = "HLS Video Transcoding C++ Engine Binding that gave the real power of c++ in python";
    m.def("hls_encoder", &corvane::HlsLadderJob, "Transcode video to HLS with dynamic ABR",
          py::arg("input"), py::arg("output"),
          py::arg("resolution") = std::vector<std::string>{"1080p", "720p", "480p", "360p"},
          py::arg("bitrate") = std::vector<int>{5000000, 2500000, 1000000, 400000},
          py::arg("key") = std::string("enc.keyinfo"),
          // The job takes minutes to hours and never calls into Python: the
          // interpreter's other threads go on while it runs.
          py::call_guard<py::gil_scoped_release>());
}
