// The Python module: a thin binding of nervlane_comm::NervlaneComms.
//
// The comms object is thread-safe, so every call that may wait (a read, zero,
// connect, close, init, taking queued frames) lets go of the interpreter lock
// while it waits: other Python threads keep running. Long waits go in short
// slices with a check for signals between them, so Ctrl+C ends a read(10000)
// promptly.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "nervlane_comm/nervlane_comms.h"
#include "nervlane_comm/serial/deadline.h"
#include "nervlane_comm/serial/serial.h"
#include "parameter_file.h"

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
// KeyboardInterrupt is raised during a long wait.
constexpr std::int64_t kSignalCheckMs = 50;

// Calls `attempt(ms)` without the interpreter lock until it returns true or
// `timeout_ms` has passed (false then), in slices of at most kSignalCheckMs;
// a signal handler that raises (Ctrl+C) ends the wait between two slices.
// With `timeout_ms` <= 0 there is one attempt, with that time-out.
template <typename Attempt>
bool wait_interruptibly(std::int64_t timeout_ms, Attempt attempt) {
    if (timeout_ms <= 0) {
        py::gil_scoped_release release;
        return attempt(timeout_ms);
    }
    const serial::Deadline deadline = serial::Deadline::after_ms(timeout_ms);
    for (;;) {
        // Rounded up, so the last slice ends at or after the deadline and 0
        // means it has passed (a slice of 0 would not wait at all).
        const std::int64_t left = deadline.remaining_ms();
        if (left <= 0) return false;
        bool done = false;
        {
            py::gil_scoped_release release;
            done = attempt(std::min(left, kSignalCheckMs));
        }
        if (done) return true;
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
}

std::vector<double> read_values(NervlaneComms& comms, std::int32_t timeout, bool raw) {
    std::vector<double> values;
    values.reserve(100);
    // A read that waits returns values only when it took a frame: frames
    // without values are never offered, and after init every output has at
    // least one value. So an empty result means the slice timed out.
    wait_interruptibly(timeout, [&](std::int64_t wait_ms) {
        if (raw) {
            comms.read_raw(values, wait_ms);
        } else {
            comms.read(values, wait_ms);
        }
        return !values.empty();
    });
    return values;
}

double monotonic_seconds(std::chrono::steady_clock::time_point time) {
    return std::chrono::duration<double>(time.time_since_epoch()).count();
}

// A numpy array that takes over the vector's storage: no copy.
template <typename T>
py::array_t<T> adopt(std::vector<T>&& data, std::vector<py::ssize_t> shape) {
    auto owned = std::make_unique<std::vector<T>>(std::move(data));
    const T* pointer = owned->data();
    py::capsule owner(owned.get(), [](void* p) { delete static_cast<std::vector<T>*>(p); });
    owned.release();
    return py::array_t<T>(std::move(shape), pointer, owner);
}

// Queued frames as Python sees them: one numpy array per field.
struct PyFrameBatch {
    py::array_t<std::uint64_t> sequence;
    py::array_t<double> time;
    py::array_t<double> raw;
    py::array_t<double> values;
};

PyFrameBatch to_python(nervlane_comm::FrameBatch&& batch) {
    const auto n = static_cast<py::ssize_t>(batch.size());
    PyFrameBatch result;
    result.time = py::array_t<double>(n);
    double* seconds = result.time.mutable_data();
    for (py::ssize_t i = 0; i < n; ++i) seconds[i] = monotonic_seconds(batch.time[static_cast<std::size_t>(i)]);
    result.sequence = adopt(std::move(batch.sequence), {n});
    result.raw = adopt(std::move(batch.raw), {n, static_cast<py::ssize_t>(batch.readings)});
    result.values = adopt(std::move(batch.values), {n, static_cast<py::ssize_t>(batch.outputs)});
    return result;
}

std::size_t non_negative(std::int64_t value, const char* name) {
    if (value < 0) throw py::value_error(std::string(name) + " must not be negative");
    return static_cast<std::size_t>(value);
}

std::optional<nervlane_comm::Frame> read_frame(NervlaneComms& comms, std::int32_t timeout) {
    nervlane_comm::Frame frame;
    if (!wait_interruptibly(timeout, [&](std::int64_t wait_ms) { return comms.read_frame(frame, wait_ms); })) {
        return std::nullopt;
    }
    return frame;
}

PyFrameBatch take_frames(NervlaneComms& comms, std::int32_t timeout, std::int64_t max_frames) {
    const std::size_t most = non_negative(max_frames, "max_frames");
    nervlane_comm::FrameBatch batch;
    wait_interruptibly(timeout, [&](std::int64_t wait_ms) { return comms.take_frames(batch, most, wait_ms) != 0; });
    return to_python(std::move(batch));
}

py::dict stats(const NervlaneComms& comms) {
    nervlane_comm::CommsStats counts;
    {
        py::gil_scoped_release release;
        counts = comms.stats();
    }
    py::dict result;
    result["frames_decoded"] = counts.frames_decoded;
    result["frames_delivered"] = counts.frames_delivered;
    result["frames_overwritten"] = counts.frames_overwritten;
    result["frames_dropped"] = counts.frames_dropped;
    result["frames_rejected"] = counts.frames_rejected;
    result["bytes_discarded"] = counts.bytes_discarded;
    result["connects"] = counts.connects;
    result["port_errors"] = counts.port_errors;
    result["last_error"] = counts.port_errors == 0 ? py::object(py::none()) : py::object(py::str(counts.last_error));
    result["reconnects"] = counts.reconnects;
    result["realtime"] = counts.realtime;
    result["last_error_time"] = counts.port_errors == 0
                                    ? py::object(py::none())
                                    : py::object(py::float_(monotonic_seconds(counts.last_error_time)));
    result["last_reconnect_time"] = counts.reconnects == 0
                                        ? py::object(py::none())
                                        : py::object(py::float_(monotonic_seconds(counts.last_reconnect_time)));
    return result;
}

void connect(NervlaneComms& comms, const std::string& port, bool reconnect, bool realtime) {
    nervlane_comm::ConnectOptions options;
    options.reconnect = reconnect;
    options.realtime = realtime;
    py::gil_scoped_release release;
    comms.connect(port, options);
}

// A read-only attribute that knows its name, so that assigning to it raises
// "property 'raw' of 'Frame' object has no setter" rather than naming no
// property: a property put on a class after it was made learns its name only
// from __set_name__ (Python 3.11 and 3.12), or from its getter's (3.13).
template <typename Class, typename Getter>
void read_only(py::class_<Class>& cls, const char* name, Getter getter, const char* doc) {
    cls.def_property_readonly(name, py::cpp_function(getter, py::name(name), py::is_method(cls)), doc);
    py::object property = cls.attr("__dict__")[name];
    if (py::hasattr(property, "__set_name__")) property.attr("__set_name__")(cls, name);
}

// The steady clock's ticks: a frame's time crosses a pickle exactly.
std::int64_t clock_ticks(std::chrono::steady_clock::time_point time) { return time.time_since_epoch().count(); }

std::chrono::steady_clock::time_point from_clock_ticks(std::int64_t ticks) {
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(ticks));
}

// A batch rebuilt from its pickled arrays, checked to fit together.
PyFrameBatch batch_from_state(const py::tuple& state) {
    if (state.size() != 4) throw py::value_error("a FrameBatch state holds four arrays");
    PyFrameBatch batch;
    batch.sequence = py::array_t<std::uint64_t, py::array::c_style | py::array::forcecast>::ensure(state[0]);
    batch.time = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(state[1]);
    batch.raw = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(state[2]);
    batch.values = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(state[3]);
    if (!batch.sequence || !batch.time || !batch.raw || !batch.values) throw py::error_already_set();
    const py::ssize_t n = batch.sequence.ndim() == 1 ? batch.sequence.shape(0) : -1;
    const bool fits = n >= 0 && batch.time.ndim() == 1 && batch.time.shape(0) == n && batch.raw.ndim() == 2 &&
                      batch.raw.shape(0) == n && batch.values.ndim() == 2 && batch.values.shape(0) == n;
    if (!fits) throw py::value_error("a FrameBatch state needs n sequence numbers and times, n x r raw, n x o values");
    return batch;
}

// The frame types, and the comms methods that hand frames over whole: the
// newest frame with its sequence and time, the frame queue, the counters.
// Both frame types pickle (and so copy, and cross a multiprocessing queue).
void bind_frames(py::module_& m) {
    using nervlane_comm::Frame;
    auto comms = py::reinterpret_borrow<py::class_<NervlaneComms>>(m.attr("NervlaneComms"));
    py::class_<Frame> frame(m, "Frame", "One frame: sequence number, decode time, raw and calibrated values");
    read_only(
        frame, "sequence", [](const Frame& f) { return f.sequence; },
        "1 for the first frame the object decoded; a gap means frames not seen");
    read_only(
        frame, "time", [](const Frame& f) { return monotonic_seconds(f.time); },
        "When the frame was decoded, in seconds on the clock of time.monotonic()");
    read_only(
        frame, "raw", [](const Frame& f) { return f.raw; }, "The frame's raw readings");
    read_only(
        frame, "values", [](const Frame& f) { return f.values; }, "The frame's calibrated values");
    frame.def(
        py::pickle([](const Frame& f) { return py::make_tuple(f.sequence, clock_ticks(f.time), f.raw, f.values); },
                   [](const py::tuple& state) {
                       if (state.size() != 4) throw py::value_error("a Frame state holds four values");
                       Frame f;
                       f.sequence = state[0].cast<std::uint64_t>();
                       f.time = from_clock_ticks(state[1].cast<std::int64_t>());
                       f.raw = state[2].cast<std::vector<double>>();
                       f.values = state[3].cast<std::vector<double>>();
                       return f;
                   }));

    py::class_<PyFrameBatch> batch(m, "FrameBatch", "Queued frames of one shape, oldest first, as numpy arrays");
    read_only(
        batch, "sequence", [](const PyFrameBatch& b) { return b.sequence; }, "Sequence numbers (uint64, n)");
    read_only(
        batch, "time", [](const PyFrameBatch& b) { return b.time; },
        "Decode times, seconds on the clock of time.monotonic() (n)");
    read_only(
        batch, "raw", [](const PyFrameBatch& b) { return b.raw; }, "Raw readings (n x readings)");
    read_only(
        batch, "values", [](const PyFrameBatch& b) { return b.values; }, "Calibrated values (n x outputs)");
    batch.def("__len__", [](const PyFrameBatch& b) { return b.sequence.size(); })
        .def(py::pickle([](const PyFrameBatch& b) { return py::make_tuple(b.sequence, b.time, b.raw, b.values); },
                        &batch_from_state));

    comms
        .def("read_frame", &read_frame,
             "Reads the newest unread frame with its sequence number and time; None after the time-out",
             py::arg("timeout") = 500)
        .def(
            "queue_frames",
            [](NervlaneComms& self, std::int64_t capacity) {
                const std::size_t frames = non_negative(capacity, "capacity");
                py::gil_scoped_release release;
                self.queue_frames(frames);
            },
            "Keeps every frame from now on in a queue of `capacity` frames, dropping the oldest when full; "
            "0 stops and frees it",
            py::arg("capacity"))
        .def("take_frames", &take_frames,
             "Takes the queued frames (up to max_frames, 0 = all), waiting up to `timeout` ms for the first",
             py::arg("timeout") = 500, py::arg("max_frames") = 0)
        .def("stats", &stats,
             "Counters since the object was made: frames_decoded, frames_delivered, frames_overwritten, "
             "frames_dropped, frames_rejected, bytes_discarded, connects, port_errors, last_error "
             "(why the last connection ended, or why a reconnect waits on; None before any port error), "
             "reconnects (ports opened again after a port error), "
             "realtime (whether the reader thread runs at real-time priority), "
             "last_error_time and last_reconnect_time (when the last port error happened and when the port "
             "was last opened again, on the clock of time.monotonic(); None before any)");
}

}  // namespace

PYBIND11_MODULE(nervlane_comm_py, m) {
    m.attr("__version__") = NERVLANE_VERSION;
    // The largest parameter file init reads, for tools that read one themselves.
    m.attr("MAX_PARAMETER_FILE_BYTES") = nervlane_comm::kMaxParameterFileBytes;

    // Every error of the serial port library is a PortError: a RuntimeError
    // with the library's message; `reason` is the one word that tells a
    // missing port from a busy one or a device that went away, `description`
    // the message without its framing and the raising source file and line.
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> port_error;
    port_error.call_once_and_store_result([&m] {
        py::object type = py::reinterpret_steal<py::object>(
            PyErr_NewExceptionWithDoc("nervlane_comm_py.PortError",
                                      "A serial port error; `reason` is not_found, busy, access_denied, "
                                      "disconnected or other; `description` is the message without the "
                                      "source file and line.",
                                      PyExc_RuntimeError, nullptr));
        if (!type) throw py::error_already_set();
        m.attr("PortError") = type;
        return type;
    });
    py::register_exception_translator([](std::exception_ptr error) {
        if (!error) return;
        try {
            std::rethrow_exception(error);
        } catch (const serial::SerialError& e) {
            const py::object& type = port_error.get_stored();
            py::object value = type(e.what());
            value.attr("reason") = serial::reason_name(e.reason());
            // What went wrong without the library's framing and source place:
            // the text to show a person.
            value.attr("description") = e.description();
            py::set_error(type, value);
        }
    });

    py::class_<NervlaneComms>(m, "NervlaneComms", "NervlaneComms wrapper")
        .def(py::init<>(), "Constructs NervlaneComms object")
        .def(
            "init", [](NervlaneComms& self, const FileName& file_name) { self.init(file_name.utf8); },
            "Initialise sensor comms", py::arg("file_name"), py::call_guard<py::gil_scoped_release>())
        .def("connect", &connect,
             "Connects to the sensor. With reconnect=True a port error does not end the connection: the port is "
             "opened again under the same name every 250 ms until it comes back or close() is called (on Linux "
             "only when the USB device first opened is behind the name again). With "
             "realtime=True the reader thread asks for real-time priority; stats()['realtime'] says whether it "
             "got it",
             py::arg("port"), py::kw_only(), py::arg("reconnect") = false, py::arg("realtime") = false)
        .def(
            "read", [](NervlaneComms& self, std::int32_t timeout) { return read_values(self, timeout, false); },
            "Reads and returns data", py::arg("timeout") = 500)
        .def(
            "read_raw", [](NervlaneComms& self, std::int32_t timeout) { return read_values(self, timeout, true); },
            "Reads and returns raw data", py::arg("timeout") = 500)
        .def("is_connected", &NervlaneComms::is_connected, "Is sensor connected?")
        .def("zero", &NervlaneComms::zero, "Zeroes the sensor", py::call_guard<py::gil_scoped_release>())
        .def_property_readonly_static(
            "version", [](const py::object&) { return NervlaneComms::version(); }, "Returns the version string")
        .def("close", &NervlaneComms::close, "Disconnects from the sensor; connect may be called again",
             py::call_guard<py::gil_scoped_release>())
        .def(
            "__enter__", [](const py::object& self) { return self; }, "Returns the object itself")
        .def(
            "__exit__", [](NervlaneComms& self, const py::args&) { self.close(); }, "Disconnects from the sensor",
            py::call_guard<py::gil_scoped_release>());
    bind_frames(m);
}
