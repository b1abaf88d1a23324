// The Python module: a thin binding of nervlane_comm::NervlaneComms.
//
// The comms object is thread-safe, so every call that may wait (a read, zero,
// connect, init) lets go of the interpreter lock while it waits: other Python
// threads keep running. Long reads wait in short slices and check for signals
// between them, so Ctrl+C ends a read(10000) promptly.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "nervlane_comms.h"

namespace py = pybind11;
using nervlane_comm::NervlaneComms;

namespace {

// How long one uninterruptible wait may last: the bound on how late a
// KeyboardInterrupt is raised during a long read.
constexpr std::int64_t kSignalCheckMs = 50;

std::vector<double> read_frame(NervlaneComms& comms, std::int32_t timeout, bool raw) {
    std::vector<double> values;
    values.reserve(100);
    auto read_once = [&](std::int64_t wait_ms) {
        py::gil_scoped_release release;
        if (raw) {
            comms.read_raw(values, wait_ms);
        } else {
            comms.read(values, wait_ms);
        }
    };
    if (timeout <= 0) {
        read_once(timeout);
        return values;
    }
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(timeout);
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now()).count();
        if (left <= 0) {
            values.clear();
            return values;
        }
        // A frame is only ever published with values, so an empty result
        // means this slice timed out.
        read_once(std::min<std::int64_t>(left, kSignalCheckMs));
        if (!values.empty()) return values;
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
}

}  // namespace

PYBIND11_MODULE(nervlane_comm_py, m) {
    m.attr("__version__") = NERVLANE_VERSION;

    py::class_<NervlaneComms>(m, "NervlaneComms", "NervlaneComms wrapper")
        .def(py::init<>(), "Constructs NervlaneComms object")
        .def("init", &NervlaneComms::init, "Initialise sensor comms", py::arg("file_name"),
             py::call_guard<py::gil_scoped_release>())
        .def("connect", &NervlaneComms::connect, "Connects to the sensor", py::arg("port"),
             py::call_guard<py::gil_scoped_release>())
        .def(
            "read", [](NervlaneComms& self, std::int32_t timeout) { return read_frame(self, timeout, false); },
            "Reads and returns data", py::arg("timeout") = 500)
        .def(
            "read_raw", [](NervlaneComms& self, std::int32_t timeout) { return read_frame(self, timeout, true); },
            "Reads and returns raw data", py::arg("timeout") = 500)
        .def("is_connected", &NervlaneComms::is_connected, "Is sensor connected?")
        .def("zero", &NervlaneComms::zero, "Zeroes the sensor", py::call_guard<py::gil_scoped_release>())
        .def_property_readonly_static(
            "version", [](const py::object&) { return NervlaneComms::version(); }, "Returns the version string");
}
