// The comms object: one connection to a Nervlane tactile sensor.
//
// Thread-safety contract: every public operation may be called from several
// threads at once on one object. `read`, `read_raw`, `read_frame`,
// `take_frames`, `stats` and `is_connected` run concurrently with everything
// else; `connect`, `close`, `init`, `zero` and `queue_frames` may also run
// concurrently with each other and with the reads (connections are opened and
// closed one at a time; a new configuration takes effect between two frames).
// Only destruction must not overlap another call on the same object.
// ConnectOptions is a plain value, as are the Frame, FrameBatch and
// CommsStats of frame.h: a thread may use its own copy freely, a shared one
// only as any value is shared.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "nervlane_comm/frame.h"
#include "nervlane_comm/nervlane_comm_export.h"

namespace nervlane_comm {

class CommsImpl;

// How `connect` keeps the connection.
struct ConnectOptions {
    // A port error does not end the connection: the reader closes the port
    // and opens the same name again every `retry_interval` until it succeeds,
    // or close(), connect() or destruction ends the attempts. Each opening
    // applies everything connect does. Meanwhile is_connected() is false,
    // reads time out, take_frames waits and zero fails; the configuration,
    // the zero offsets and the frame queue stay, and sequence numbers go on
    // where they stopped. A frame (or text line) cut by the device going away
    // is never published; its bytes count in bytes_discarded. Give the port
    // a name that stays the device's when the system numbers it anew (on
    // Linux a link in /dev/serial/by-id).
    bool reconnect = false;
    // The reader thread asks for real-time scheduling
    // (serial::request_realtime_scheduling: SCHED_FIFO at
    // serial::kRealtimePriority on Linux), so that it drains the port on a
    // loaded machine. Without the permission it keeps its priority;
    // stats().realtime tells which.
    bool realtime = false;
    // The pause before each attempt to open the port again; must be positive.
    std::chrono::milliseconds retry_interval{250};
};

class NERVLANE_COMM_API NervlaneComms {
public:
    // An object with no configuration and no connection. Throws
    // std::bad_alloc.
    NervlaneComms();
    // Stops the reader thread and closes the port; a port that will not close
    // is dropped. Throws nothing.
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

    // connect(port) with `options`. With default options it is connect(port).
    // Throws as connect(port) does, and std::invalid_argument for a
    // retry_interval that is not positive (changing nothing). With
    // `options.realtime` it returns once the reader has asked for its
    // priority, so stats().realtime already has the answer. The first opening
    // must succeed: a port missing at connect is an error even with
    // `options.reconnect`.
    void connect(const std::string& port, const ConnectOptions& options);

    // Newest calibrated (`read`) or raw (`read_raw`) frame. With `timeout_ms`
    // <= 0 the latest values are returned at once; otherwise the call waits up
    // to `timeout_ms` for a frame not yet returned and leaves `out` empty when
    // none came. Throws std::bad_alloc and std::system_error (lock failures).
    void read(std::vector<double>& out, std::int64_t timeout_ms);
    void read_raw(std::vector<double>& out, std::int64_t timeout_ms);

    // The newest frame not yet taken, raw and calibrated values together, with
    // its sequence number and time; taking it is the same as a waiting `read`
    // taking it. Waits up to `timeout_ms` (<= 0: not at all) and returns false,
    // leaving `out` as it was, when no frame came. Throws std::bad_alloc and
    // std::system_error (lock failures).
    bool read_frame(Frame& out, std::int64_t timeout_ms);

    // Keeps every frame published from now on in a queue of `capacity` frames,
    // apart from the newest-frame hand-off of the reads. When it is full the
    // oldest frame is dropped (and counted). Called again, it keeps the newest
    // queued frames that fit; 0 stops queuing and frees the queue. Throws
    // std::invalid_argument for a capacity above kLargestQueue, std::bad_alloc
    // and std::system_error, in every case changing nothing.
    void queue_frames(std::size_t capacity);
    static constexpr std::size_t kLargestQueue = 10'000'000;

    // Moves up to `max_frames` queued frames (0: all) into `out`, oldest first,
    // stopping before the first frame of another shape; waits up to
    // `timeout_ms` for the first one. Returns the number taken (0 after a
    // time-out). Throws std::logic_error when no queue is kept (also when
    // queue_frames(0) ends it during the wait), std::bad_alloc and
    // std::system_error.
    std::size_t take_frames(FrameBatch& out, std::size_t max_frames, std::int64_t timeout_ms);

    // The counters, read together. Throws std::bad_alloc and std::system_error.
    CommsStats stats() const;

    // True while the port is open; false after the device went away (also
    // while a reconnecting object waits for it to come back). Throws
    // std::system_error (lock failures).
    bool is_connected() const;

    // Stops the reader thread and closes the port, so another program may
    // open it; `connect` may be called again later and keeps the
    // configuration. Also ends a reconnecting reader's attempts, at once.
    // Does nothing when not connected. Throws std::system_error
    // (thread and lock failures) and the serial library's IOException when
    // the port will not close (the object is disconnected all the same).
    void close();

    // Averages the 20 consecutive raw frames after the call into the zero
    // offset of the sensors whose output positions are listed (every sensor
    // when `indices` is empty). The frame waiting, or else the next one, is
    // skipped first; no read is offered the frames zero takes.
    // Throws std::runtime_error "Could not zero the sensor" when a frame does
    // not come within 50 ms or has no values (no model is changed then), the
    // models' errors ("Sensor requested zeroing is not plugged in."),
    // std::bad_alloc and std::system_error.
    void zero(std::vector<int> indices);

    // The library's version text. Throws std::bad_alloc.
    static std::string version();

private:
    std::unique_ptr<CommsImpl> impl;
};

}  // namespace nervlane_comm
