// The inside of the comms object, in two halves that share this state: the
// facade (nervlane_comms.cpp: configuration, connecting and closing, the
// reads, zeroing, the frame queue and the counters) and the reader thread
// (comms_reader.cpp: reading frames, reconnecting, publishing each frame to
// the reads, the queue and a zero call that collects samples).
//
// Lock order: connection_mutex, init_mutex and zero_mutex are each taken
// before state_mutex (and never two of them together); the frame queue's own
// lock is taken inside state_mutex or alone, never the other way round. The
// reader reads the port holding none of them and takes state_mutex only to
// publish.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frame_queue.h"
#include "nervlane_comm/nervlane_comms.h"
#include "nervlane_comm/serial/device_identity.h"
#include "nervlane_comm/serial/serial.h"
#include "protocol.h"
#include "sensor_model.h"
#include "sensor_parameters.h"
#include "wake_signal.h"

namespace nervlane_comm {

// Opens `name` as every connection of the comms object is opened: 115200
// baud, 8N1, no flow control, reads that wait up to 100 ms; the serial library
// adds exclusive access and low latency and purges what arrived before.
// Throws the serial library's errors.
std::unique_ptr<serial::Serial> open_port(const std::string& name);

// Closes and drops `port`; a port that will not close is dropped all the same.
void close_quietly(std::unique_ptr<serial::Serial>& port) noexcept;

class CommsImpl {
public:
    CommsImpl() = default;
    ~CommsImpl();

    void init(const std::string& file_name);
    void connect(const std::string& port_name, const ConnectOptions& options);
    void disconnect();
    void read(std::vector<double>& out, std::int64_t timeout_ms, bool raw);
    bool read_frame(Frame& out, std::int64_t timeout_ms);
    bool is_connected();
    void zero(std::vector<int> indices);
    void queue_frames(std::size_t capacity);
    std::size_t take_frames(FrameBatch& out, std::size_t max_frames, std::int64_t timeout_ms);
    CommsStats stats();

private:
    void disconnect_locked();
    // new_data goes false either way; each frame is counted once, as taken or
    // as lost.
    bool take_unread_locked();
    void withdraw_unread_locked();

    // The reader thread (comms_reader.cpp).
    void reader_loop(const std::string& port_name, const ConnectOptions& options, const serial::DeviceIdentity& device,
                     std::promise<void>& priority_known) noexcept;
    void decode_and_publish();
    // Opens `port_name` again once `device` (the one connect opened) is back
    // there; false when a stop ends the attempts.
    bool reopen(const std::string& port_name, const serial::DeviceIdentity& device, std::chrono::milliseconds interval);
    // Whether the device at `port_name` may be `device`. A different one
    // keeps the outage going, and last_error says so.
    bool device_is_back(const std::string& port_name, const serial::DeviceIdentity& device);
    bool publish_locked(const std::vector<double>& frame, std::chrono::steady_clock::time_point decoded);
    void hand_to_zero_locked();
    void end_connection(const char* reason) noexcept;
    void collect_decoder_counts() noexcept;

    // Replaced under state_mutex; between those points only the reader uses it.
    std::unique_ptr<serial::Serial> port;
    // Guarded by connection_mutex.
    std::unique_ptr<std::thread> reader_thread;
    std::mutex state_mutex;
    // The decoder in use. Touched only by the reader thread while one runs, and
    // by nobody otherwise: init hands a new decoder over through
    // pending_protocol, so a decoder is never replaced in the middle of a frame.
    std::unique_ptr<Protocol> protocol;
    // Guarded by state_mutex.
    std::vector<std::shared_ptr<SensorModel>> models;
    std::vector<std::shared_ptr<SensorParameters>> parameter_records;
    std::vector<double> latest_raw;
    std::vector<double> latest_output;
    const std::int32_t zero_sample_count = 20;
    // Wakes the threads that wait for a frame (reads, zero, take_frames) or
    // for the queue to stop; notified after a change under state_mutex.
    WakeSignal data_ready;
    bool new_data = false;
    // Guarded by state_mutex: frames published so far, which is also the
    // sequence number of the newest one.
    std::uint64_t frames_published = 0;
    // A zero call collecting its frames. The reader hands it every frame it
    // publishes, so the samples are consecutive frames however late the
    // zeroing thread wakes, and no other reader can take them first.
    struct ZeroSampling {
        bool retire_next = false;  // the next frame is taken, unused
        std::vector<std::vector<double>> samples;
        std::size_t taken = 0;
        bool empty_frame = false;  // a frame without values came among the samples
    };
    // Guarded by state_mutex; set while a zero call samples.
    ZeroSampling* sampling = nullptr;
    // Zero calls take turns.
    std::mutex zero_mutex;
    // Guarded by state_mutex: when the newest frame was decoded.
    std::chrono::steady_clock::time_point latest_time{};
    // Filled by the reader under state_mutex, so that a take_frames waiting
    // on data_ready sees each frame; it has a lock of its own for the rest.
    FrameQueue queue;
    // Guarded by state_mutex.
    std::uint64_t frames_delivered = 0;
    std::uint64_t frames_overwritten = 0;
    std::uint64_t connects = 0;
    std::uint64_t reconnects = 0;
    std::uint64_t port_errors = 0;
    std::string last_error;
    // Guarded by state_mutex, set with port_errors and reconnects.
    std::chrono::steady_clock::time_point last_error_time{};
    std::chrono::steady_clock::time_point last_reconnect_time{};
    // Guarded by state_mutex: whether the running reader was granted
    // real-time scheduling.
    bool realtime = false;
    // Written by the reader after every decoder call, without state_mutex.
    std::atomic<std::uint64_t> frames_rejected{0};
    std::atomic<std::uint64_t> bytes_discarded{0};
    std::atomic<bool> running{false};

    // Guarded by state_mutex: a decoder chosen by init, installed by the reader
    // between two frames.
    std::unique_ptr<Protocol> pending_protocol;
    // Set with pending_protocol (under state_mutex), cleared when the reader
    // installs it: the reader looks at this flag between frames instead of
    // taking state_mutex, so a caller copying a frame never makes the reader
    // queue for the lock (nor the other way round).
    std::atomic<bool> protocol_pending{false};
    // Wakes a reader that waits for a decoder, for the next attempt to reopen
    // its port, or to stop.
    std::condition_variable config_changed;
    // Serialises connect and disconnect, so only one reader thread exists.
    std::mutex connection_mutex;
    // Serialises init calls: each one extends the records of the one before.
    std::mutex init_mutex;
};

}  // namespace nervlane_comm
