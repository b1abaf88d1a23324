#include "nervlane_comms.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "frame_queue.h"
#include "parameter_file.h"
#include "protocol.h"
#include "protocol_factory.h"
#include "sensor_model.h"
#include "sensor_parameters.h"
#include "serial/deadline.h"
#include "serial/serial.h"
#include "wake_signal.h"

namespace nervlane_comm {

namespace {

void close_quietly(std::unique_ptr<serial::Serial>& port) noexcept {
    if (!port) return;
    try {
        if (port->is_open()) port->close();
    } catch (...) {
        // Nothing can be done about a port that will not close; dropping the
        // object still releases what the process holds.
    }
    port.reset();
}

// Opens `name` as every connection of the comms object is opened: 115200
// baud, 8N1, no flow control, reads that wait up to 100 ms; the serial library
// adds exclusive access and low latency and purges what arrived before.
std::unique_ptr<serial::Serial> open_port(const std::string& name) {
    serial::SerialTimeouts timeouts;
    timeouts.inter_byte_ms = serial::SerialTimeouts::kMaxTimeout;
    timeouts.read_constant_ms = 100;
    timeouts.read_per_byte_ms = 0;
    timeouts.write_constant_ms = 100;
    timeouts.write_per_byte_ms = 0;
    return std::make_unique<serial::Serial>(name, 115200, timeouts, serial::ByteSize::eight_bits, serial::Parity::none,
                                            serial::StopBits::one, serial::FlowControl::none);
}

}  // namespace

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
    void reader_loop(const std::string& port_name, const ConnectOptions& options,
                     std::promise<void>& priority_known) noexcept;
    void decode_and_publish();
    bool reopen(const std::string& port_name, std::chrono::milliseconds interval);
    bool publish_locked(const std::vector<double>& frame, std::chrono::steady_clock::time_point decoded);
    void hand_to_zero_locked();
    void end_connection(const char* reason) noexcept;
    void collect_decoder_counts() noexcept;
    // new_data goes false either way; each frame is counted once, as taken or
    // as lost.
    bool take_unread_locked();
    void withdraw_unread_locked();

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

CommsImpl::~CommsImpl() {
    try {
        disconnect();
    } catch (...) {
        // A destructor must not throw; the reader has been joined by now.
    }
}

void CommsImpl::init(const std::string& file_name) {
    // Everything is read, decoded, checked and built into locals first; the
    // object changes only in the final locked step, so any error leaves it as
    // it was.
    std::vector<char> bytes = read_parameter_file(file_name);
    const ParameterFile decoded = decode_parameter_file(bytes.data(), bytes.size());
    bytes = {};
    validate_parameter_file(decoded);

    std::unique_ptr<Protocol> new_protocol = make_protocol(decoded.protocol);

    std::lock_guard<std::mutex> init_lock(init_mutex);
    std::vector<std::shared_ptr<SensorParameters>> records;
    {
        std::lock_guard<std::mutex> lock(state_mutex);
        records = parameter_records;
    }
    records.insert(records.end(), decoded.triaxial.begin(), decoded.triaxial.end());
    records.insert(records.end(), decoded.taxel.begin(), decoded.taxel.end());

    // Every model is rebuilt, the earlier files' too; their records keep the
    // offsets that zeroing wrote into them.
    ModelSet built = build_models(records);
    std::vector<double> new_output(built.outputs, 0.0);

    {
        std::lock_guard<std::mutex> lock(state_mutex);
        parameter_records.swap(records);
        models.swap(built.models);
        latest_output.swap(new_output);
        // A frame still waiting was calibrated by the old models, and its
        // values are gone with the old output: the next read waits for a frame
        // of the new configuration.
        withdraw_unread_locked();
        if (new_protocol) {
            pending_protocol.swap(new_protocol);
            protocol_pending = true;
            config_changed.notify_all();
        }
    }
    // The replaced objects (and a decoder that was still pending) are released
    // here, outside the lock.
}

void CommsImpl::connect(const std::string& port_name, const ConnectOptions& options) {
    // Refused before anything changes: an empty name would give a port that
    // never opens, and an interval of 0 a reader that never rests.
    if (port_name.empty()) throw std::invalid_argument("Empty port is invalid.");
    if (options.retry_interval.count() <= 0) throw std::invalid_argument("retry_interval must be positive");

    std::lock_guard<std::mutex> connection_lock(connection_mutex);
    disconnect_locked();

    // Kept by the thread for its whole life; the reader fulfils it once it
    // has asked for its priority.
    auto priority_known = std::make_shared<std::promise<void>>();
    std::future<void> asked = priority_known->get_future();
    auto new_port = open_port(port_name);
    {
        std::lock_guard<std::mutex> lock(state_mutex);
        port = std::move(new_port);
        ++connects;
    }
    running = true;
    try {
        reader_thread = std::make_unique<std::thread>(
            [this, port_name, options, priority_known] { reader_loop(port_name, options, *priority_known); });
    } catch (...) {
        // Without a reader the open port would only hold the device hostage.
        running = false;
        std::unique_ptr<serial::Serial> dead;
        {
            std::lock_guard<std::mutex> lock(state_mutex);
            dead = std::move(port);
            --connects;
        }
        close_quietly(dead);
        throw;
    }
    // The reader asks as it starts; waiting for it here means stats() has the
    // answer as soon as connect returns.
    if (options.realtime) asked.wait();
}

void CommsImpl::disconnect() {
    std::lock_guard<std::mutex> connection_lock(connection_mutex);
    disconnect_locked();
}

void CommsImpl::disconnect_locked() {
    running = false;
    {
        // Taking the lock orders this wake-up after a reader that is about to
        // wait (for a decoder, or before opening its port again) has started
        // waiting.
        std::lock_guard<std::mutex> lock(state_mutex);
        config_changed.notify_all();
    }
    if (reader_thread) {
        if (reader_thread->joinable()) {
            if (reader_thread->get_id() == std::this_thread::get_id()) {
                throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur),
                                        "NervlaneComms cannot disconnect from its own reader thread");
            }
            reader_thread->join();
        }
        reader_thread.reset();
    }
    std::unique_ptr<serial::Serial> old_port;
    {
        std::lock_guard<std::mutex> lock(state_mutex);
        old_port = std::move(port);
    }
    if (old_port && old_port->is_open()) old_port->close();
}

bool CommsImpl::is_connected() {
    std::lock_guard<std::mutex> lock(state_mutex);
    return port && port->is_open();
}

void CommsImpl::reader_loop(const std::string& port_name, const ConnectOptions& options,
                            std::promise<void>& priority_known) noexcept {
    // Nothing may leave this thread: an escaping exception would end the
    // process. Whatever stops the reading ends the connection instead.
    const bool granted = options.realtime && serial::request_realtime_scheduling();
    try {
        std::lock_guard<std::mutex> lock(state_mutex);
        realtime = granted;
    } catch (...) {
        // The lock failed: stats() keeps saying false.
    }
    try {
        priority_known.set_value();
    } catch (...) {
        // Only a promise already fulfilled refuses, and nobody else holds it.
    }

    for (;;) {
        try {
            decode_and_publish();
        } catch (const serial::SerialError& e) {
            // The description without the source file and line: the text a
            // user reads in stats()["last_error"].
            end_connection(e.description().c_str());
        } catch (const std::exception& e) {
            end_connection(e.what());
        } catch (...) {
            end_connection("unknown error");
        }
        bool reopened = false;
        try {
            reopened = options.reconnect && reopen(port_name, options.retry_interval);
        } catch (...) {
            // A lock that fails ends the attempts: the connection is over.
        }
        if (!reopened) break;
    }
    try {
        std::lock_guard<std::mutex> lock(state_mutex);
        realtime = false;
    } catch (...) {
        // stats() may go on saying true for a reader that has ended.
    }
    running = false;
}

bool CommsImpl::reopen(const std::string& port_name, std::chrono::milliseconds interval) {
    for (;;) {
        {
            // A wait rather than a sleep: close(), connect() and destruction
            // end it at once.
            std::unique_lock<std::mutex> lock(state_mutex);
            config_changed.wait_for(lock, interval, [this] { return !running; });
            if (!running) return false;
        }
        std::unique_ptr<serial::Serial> reopened;
        try {
            reopened = open_port(port_name);
        } catch (...) {
            continue;  // not back yet (or held elsewhere): the outage goes on
        }
        std::lock_guard<std::mutex> lock(state_mutex);
        // Taken even when a stop came meanwhile: the stopping disconnect
        // closes it after joining this thread.
        port = std::move(reopened);
        if (!running) return false;
        ++reconnects;
        return true;
    }
}

void CommsImpl::decode_and_publish() {
    std::vector<double> frame_values(1024, 0.0);
    // Only this thread replaces the port while it runs (dropping it on a port
    // error, setting it when it reopens one), and disconnect takes it only
    // after joining this thread.
    serial::Serial* const device = port.get();
    std::unique_ptr<Protocol> retired;
    bool stream_start = true;

    if (device && device->is_open()) device->flush();
    while (running) {
        if (!protocol || protocol_pending) {
            std::unique_lock<std::mutex> lock(state_mutex);
            if (!protocol && !pending_protocol) {
                // Connected before init: wait, without reading, for a decoder.
                config_changed.wait(lock, [this] { return pending_protocol || !running; });
            }
            if (!running) break;
            if (pending_protocol) {
                retired = std::move(protocol);
                protocol = std::move(pending_protocol);
                protocol_pending = false;
                stream_start = true;
            }
        }
        retired.reset();
        if (stream_start) {
            protocol->begin_stream();
            stream_start = false;
        }

        const bool decoded = protocol->parse(frame_values, *device);
        collect_decoder_counts();
        if (!decoded) continue;
        const auto decoded_at = std::chrono::steady_clock::now();

        bool published = false;
        {
            std::lock_guard<std::mutex> lock(state_mutex);
            // A frame read by a decoder that init has just replaced belongs
            // to the old configuration; the next one will not.
            if (pending_protocol) continue;
            published = publish_locked(frame_values, decoded_at);
        }
        // Woken after the unlock: a waiter woken while the lock is still
        // held would only go back to sleep on the mutex, one more context
        // switch per frame. Waiters test their condition under the lock, so
        // no wake-up is lost; this object outlives the thread that notifies.
        if (published) data_ready.notify_all();
    }
}

// Returns whether a waiting thread may have something to see.
bool CommsImpl::publish_locked(const std::vector<double>& frame, std::chrono::steady_clock::time_point decoded) {
    latest_raw.assign(frame.begin(), frame.end());
    if (latest_raw.empty()) {
        // A frame without values is offered to nobody; the one still waiting
        // is gone with the raw values it had.
        withdraw_unread_locked();
        if (!sampling || sampling->retire_next || sampling->taken == sampling->samples.size()) return false;
        sampling->empty_frame = true;
        return true;
    }
    std::fill(latest_output.begin(), latest_output.end(), 0.0);
    for (const auto& model : models) model->calibrate(latest_output, latest_raw);
    withdraw_unread_locked();
    new_data = true;
    ++frames_published;
    latest_time = decoded;
    if (sampling) hand_to_zero_locked();
    queue.push(frames_published, decoded, latest_raw, latest_output);
    return true;
}

void CommsImpl::hand_to_zero_locked() {
    if (sampling->retire_next) {
        sampling->retire_next = false;
    } else if (sampling->taken < sampling->samples.size()) {
        sampling->samples[sampling->taken++].assign(latest_raw.begin(), latest_raw.end());
    } else {
        return;  // zero has all it needs: the frame is the reads'
    }
    // Taken as read_raw would take it: no later read is offered it.
    take_unread_locked();
}

void CommsImpl::collect_decoder_counts() noexcept {
    if (!protocol) return;
    const DecoderCounts counts = protocol->take_counts();
    if (counts.bytes_discarded != 0) bytes_discarded.fetch_add(counts.bytes_discarded, std::memory_order_relaxed);
    if (counts.frames_rejected != 0) frames_rejected.fetch_add(counts.frames_rejected, std::memory_order_relaxed);
}

void CommsImpl::end_connection(const char* reason) noexcept {
    // The device went away or the port failed: drop the connection. The
    // unread frame goes with it, in the same step, so no read sees the port
    // gone and an old frame still offered.
    collect_decoder_counts();
    std::unique_ptr<serial::Serial> dead;
    try {
        std::lock_guard<std::mutex> lock(state_mutex);
        dead = std::move(port);
        withdraw_unread_locked();
        ++port_errors;
        try {
            last_error = reason;
        } catch (...) {
            // Short enough for the string's own buffer: never allocates.
            last_error = "out of memory";
        }
    } catch (...) {
        // The lock itself failed: the port cannot be taken from under the
        // callers that read it, so it stays until disconnect closes it.
    }
    close_quietly(dead);
}

bool CommsImpl::take_unread_locked() {
    if (!new_data) return false;
    new_data = false;
    ++frames_delivered;
    return true;
}

void CommsImpl::withdraw_unread_locked() {
    if (!new_data) return;
    new_data = false;
    ++frames_overwritten;
}

void CommsImpl::read(std::vector<double>& out, std::int64_t timeout_ms, bool raw) {
    std::unique_lock<std::mutex> lock(state_mutex);
    const std::vector<double>& source = raw ? latest_raw : latest_output;
    if (timeout_ms <= 0) {
        out.assign(source.begin(), source.end());
        return;
    }
    const serial::Deadline deadline = serial::Deadline::after_ms(timeout_ms);
    if (data_ready.wait(lock, deadline, [this] { return new_data; })) {
        out.assign(source.begin(), source.end());
        take_unread_locked();
    } else {
        out.clear();
    }
}

bool CommsImpl::read_frame(Frame& out, std::int64_t timeout_ms) {
    const serial::Deadline deadline = serial::Deadline::after_ms(timeout_ms);
    std::unique_lock<std::mutex> lock(state_mutex);
    if (!data_ready.wait(lock, deadline, [this] { return new_data; })) return false;
    out.raw.assign(latest_raw.begin(), latest_raw.end());
    out.values.assign(latest_output.begin(), latest_output.end());
    out.sequence = frames_published;
    out.time = latest_time;
    take_unread_locked();
    return true;
}

void CommsImpl::zero(std::vector<int> indices) {
    std::lock_guard<std::mutex> turn(zero_mutex);
    ZeroSampling collected;
    collected.samples.resize(static_cast<std::size_t>(zero_sample_count));
    std::vector<std::shared_ptr<SensorModel>> chosen_models;
    std::vector<std::shared_ptr<SensorParameters>> records;
    {
        std::unique_lock<std::mutex> lock(state_mutex);
        for (auto& sample : collected.samples) sample.reserve(latest_raw.size());
        // The frame already waiting, or else the next one, is retired unused:
        // the samples are frames that arrive after this call.
        collected.retire_next = !take_unread_locked();
        sampling = &collected;
        struct Detach {
            ZeroSampling*& sampling;
            ~Detach() { sampling = nullptr; }  // with state_mutex held: `lock` outlives this
        } detach{sampling};

        if (collected.retire_next) {
            data_ready.wait(lock, serial::Deadline::after_ms(500), [&] { return !collected.retire_next; });
            // After a silent half second the next frame is a sample.
            collected.retire_next = false;
        }
        for (std::size_t i = 0; i < collected.samples.size(); ++i) {
            // Each frame must follow the one before within 50 ms.
            const bool came = data_ready.wait(lock, serial::Deadline::after_ms(50),
                                              [&] { return collected.taken > i || collected.empty_frame; });
            if (!came || collected.empty_frame) throw std::runtime_error("Could not zero the sensor");
        }
        chosen_models = models;
        records = parameter_records;
    }
    const auto& samples = collected.samples;
    // Frames published since the last sample were calibrated with the old
    // offsets: the one still waiting is withdrawn, also after a model refused,
    // so that the next read returns values of the new zero.
    auto withdraw_stale = [this] {
        std::lock_guard<std::mutex> lock(state_mutex);
        withdraw_unread_locked();
    };
    try {
        for (std::size_t k = 0; k < chosen_models.size(); ++k) {
            if (indices.empty()) {
                chosen_models[k]->zero(samples);
                continue;
            }
            for (const auto& entry : records[k]->output_map) {
                if (std::find(indices.begin(), indices.end(), entry.second) != indices.end()) {
                    chosen_models[k]->zero(samples);
                }
            }
        }
    } catch (...) {
        withdraw_stale();
        throw;
    }
    withdraw_stale();
}

void CommsImpl::queue_frames(std::size_t capacity) {
    if (capacity > NervlaneComms::kLargestQueue) {
        throw std::invalid_argument("queue capacity " + std::to_string(capacity) + " is above the largest supported, " +
                                    std::to_string(NervlaneComms::kLargestQueue));
    }
    std::size_t readings = 0;
    std::size_t outputs = 0;
    {
        std::lock_guard<std::mutex> lock(state_mutex);
        readings = latest_raw.size();
        outputs = latest_output.size();
    }
    // Room for frames like the latest one.
    queue.resize(capacity, readings, outputs);
    if (capacity == 0) {
        // Wakes a take_frames waiting on a queue that has just been stopped;
        // taking the lock orders the wake-up after a waiter that has looked
        // at the queue and is about to wait.
        std::lock_guard<std::mutex> lock(state_mutex);
        data_ready.notify_all();
    }
}

std::size_t CommsImpl::take_frames(FrameBatch& out, std::size_t max_frames, std::int64_t timeout_ms) {
    const serial::Deadline deadline = serial::Deadline::after_ms(timeout_ms);
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(state_mutex);
            const bool came = data_ready.wait(lock, deadline, [this] { return queue.size() != 0 || !queue.active(); });
            if (!queue.active()) throw std::logic_error("Frames are not being queued: call queue_frames first");
            if (!came) {
                out = FrameBatch();
                return 0;
            }
        }
        // The copy runs under the queue's lock alone.
        const std::size_t taken = queue.take(out, max_frames);
        if (taken != 0) return taken;
        // The frames seen went meanwhile (dropped, or the queue stopped): look again.
    }
}

CommsStats CommsImpl::stats() {
    CommsStats result;
    {
        std::lock_guard<std::mutex> lock(state_mutex);
        result.frames_decoded = frames_published;
        result.frames_delivered = frames_delivered;
        result.frames_overwritten = frames_overwritten;
        // Frames are pushed under state_mutex: the count agrees with the others.
        result.frames_dropped = queue.dropped();
        result.connects = connects;
        result.reconnects = reconnects;
        result.port_errors = port_errors;
        result.last_error = last_error;
        result.realtime = realtime;
    }
    result.frames_rejected = frames_rejected.load(std::memory_order_relaxed);
    result.bytes_discarded = bytes_discarded.load(std::memory_order_relaxed);
    return result;
}

NervlaneComms::NervlaneComms() : impl(std::make_unique<CommsImpl>()) {}

NervlaneComms::~NervlaneComms() {
    try {
        impl->disconnect();
    } catch (...) {
        // A destructor must not throw (a port that refuses to close).
    }
}

void NervlaneComms::init(const std::string& file_name) { impl->init(file_name); }

void NervlaneComms::connect(const std::string& port) { impl->connect(port, ConnectOptions()); }

void NervlaneComms::connect(const std::string& port, const ConnectOptions& options) { impl->connect(port, options); }

void NervlaneComms::read(std::vector<double>& out, std::int64_t timeout_ms) { impl->read(out, timeout_ms, false); }

void NervlaneComms::read_raw(std::vector<double>& out, std::int64_t timeout_ms) { impl->read(out, timeout_ms, true); }

bool NervlaneComms::is_connected() const { return impl->is_connected(); }

void NervlaneComms::close() { impl->disconnect(); }

void NervlaneComms::zero(std::vector<int> indices) { impl->zero(std::move(indices)); }

bool NervlaneComms::read_frame(Frame& out, std::int64_t timeout_ms) { return impl->read_frame(out, timeout_ms); }

void NervlaneComms::queue_frames(std::size_t capacity) { impl->queue_frames(capacity); }

std::size_t NervlaneComms::take_frames(FrameBatch& out, std::size_t max_frames, std::int64_t timeout_ms) {
    return impl->take_frames(out, max_frames, timeout_ms);
}

CommsStats NervlaneComms::stats() const { return impl->stats(); }

std::string NervlaneComms::version() { return "dev"; }

}  // namespace nervlane_comm
