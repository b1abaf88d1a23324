// The comms object: one connection to a Nervlane tactile sensor.
//
// Thread-safety contract: every public operation may be called from several
// threads at once on one object. `read`, `read_raw` and `is_connected` run
// concurrently with everything else; `connect`, `close`, `init` and `zero` may
// also run concurrently with each other and with the reads (connections are
// opened and closed one at a time; a new configuration takes effect between
// two frames).
// Only destruction must not overlap another call on the same object.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nervlane_comm {

class CommsImpl;

class NervlaneComms {
public:
    NervlaneComms();
    virtual ~NervlaneComms();

    NervlaneComms(const NervlaneComms&) = delete;
    NervlaneComms& operator=(const NervlaneComms&) = delete;

    // Loads a sensor parameter file: chooses the frame decoder and builds one
    // calibration model per sensor, adding to what earlier calls configured.
    // All or nothing: on any error the object is left exactly as it was.
    // `file_name` is UTF-8 on every platform; only a regular file is read.
    // Throws std::runtime_error ("Cannot find sensor parameter file", "Sensor
    // parameter file is larger than 64 MiB", a record that no model can use,
    // "Invalid output map for the sensor type") and msgpack's errors
    // ("insufficient bytes", "parse error", "bad cast").
    void init(const std::string& file_name);

    // Opens `port` at 115200 baud, 8N1, no flow control, and starts the reader
    // thread; an open connection is closed first. Throws std::invalid_argument
    // "Empty port is invalid." (and keeps the current connection), the serial
    // library's exceptions when the port cannot be opened (the object is then
    // disconnected), and std::system_error when no thread can be started.
    void connect(const std::string& port);

    // Newest calibrated (`read`) or raw (`read_raw`) frame. With `timeout_ms`
    // <= 0 the latest values are returned at once; otherwise the call waits up
    // to `timeout_ms` for a frame not yet returned and leaves `out` empty when
    // none came. Throws only std::system_error (lock failures).
    void read(std::vector<double>& out, std::int64_t timeout_ms);
    void read_raw(std::vector<double>& out, std::int64_t timeout_ms);

    // True while the port is open; false after the device went away.
    bool is_connected() const;

    // Stops the reader thread and closes the port, so another program may
    // open it; `connect` may be called again later and keeps the
    // configuration. Does nothing when not connected. Throws std::system_error
    // (thread and lock failures) and the serial library's IOException when
    // the port will not close (the object is disconnected all the same).
    void close();

    // Averages 20 fresh raw frames into the zero offset of the sensors whose
    // output positions are listed (every sensor when `indices` is empty).
    // Throws std::runtime_error "Could not zero the sensor" when a frame does
    // not come within 50 ms (no model is changed then), and the models'
    // errors ("Sensor requested zeroing is not plugged in.").
    void zero(std::vector<int> indices);

    static std::string version();

private:
    std::unique_ptr<CommsImpl> impl;
};

}  // namespace nervlane_comm
