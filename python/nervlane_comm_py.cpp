// The Python module: a thin binding of nervlane_comm::NervlaneComms.
//
// The comms object is thread-safe, so every call that may wait (a read, zero,
// connect, close, init) lets go of the interpreter lock while it waits: other
// Python threads keep running. Long reads wait in short slices and check for
// signals between them, so Ctrl+C ends a read(10000) promptly.
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

// A parameter file name as the comms object takes it: UTF-8 on every platform.
struct FileName {
    std::string utf8;
};

}  // namespace

namespace pybind11::detail {

// Takes a str, as the plain string conversion does, and also bytes and any
// os.PathLike (pathlib.Path). A str is encoded as os.fsencode does (UTF-8 on
// Windows too), so a name Python decoded from the file system comes back byte
// for byte.
template <>
struct type_caster<FileName> {
    PYBIND11_TYPE_CASTER(FileName, io_name("str | os.PathLike[str]", "str"));

    bool load(handle src, bool) {
        auto path = reinterpret_steal<object>(PyOS_FSPath(src.ptr()));
        if (path && PyUnicode_Check(path.ptr())) {
            path = reinterpret_steal<object>(PyUnicode_EncodeFSDefault(path.ptr()));
        }
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (!path || PyBytes_AsStringAndSize(path.ptr(), &data, &size) != 0) {
            PyErr_Clear();
            return false;
        }
        value.utf8.assign(data, static_cast<std::size_t>(size));
        return true;
    }
};

}  // namespace pybind11::detail

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
        .def(
            "init", [](NervlaneComms& self, const FileName& file_name) { self.init(file_name.utf8); },
            "Initialise sensor comms", py::arg("file_name"), py::call_guard<py::gil_scoped_release>())
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
            "version", [](const py::object&) { return NervlaneComms::version(); }, "Returns the version string")
        .def("close", &NervlaneComms::close, "Disconnects from the sensor; connect may be called again",
             py::call_guard<py::gil_scoped_release>())
        .def("__enter__", [](const py::object& self) { return self; }, "Returns the object itself")
        .def(
            "__exit__", [](NervlaneComms& self, const py::args&) { self.close(); }, "Disconnects from the sensor",
            py::call_guard<py::gil_scoped_release>());
}
