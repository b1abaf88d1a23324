// The comms object's facade: configuration, connecting and closing, the
// reads, zeroing, the frame queue and the counters. The reader thread that
// fills what the reads take is in comms_reader.cpp.
#include "nervlane_comm/nervlane_comms.h"

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "comms_impl.h"
#include "nervlane_comm/serial/deadline.h"
#include "nervlane_comm/serial/device_identity.h"
#include "nervlane_comm/serial/serial.h"
#include "parameter_file.h"

namespace nervlane_comm {

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

    // The new file's models, each built from its own record; the earlier
    // files' models stay as they are, with the offsets zeroing gave them.
    ModelSet built = build_models(decoded.triaxial, decoded.taxel);

    std::lock_guard<std::mutex> init_lock(init_mutex);
    std::vector<std::shared_ptr<SensorParameters>> records;
    std::vector<std::shared_ptr<SensorModel>> new_models;
    std::size_t outputs = built.outputs;
    {
        std::lock_guard<std::mutex> lock(state_mutex);
        records = parameter_records;
        new_models = models;
        outputs = std::max(outputs, latest_output.size());
    }
    records.insert(records.end(), built.records.begin(), built.records.end());
    new_models.insert(new_models.end(), built.models.begin(), built.models.end());
    std::vector<double> new_output(outputs, 0.0);

    {
        std::lock_guard<std::mutex> lock(state_mutex);
        parameter_records.swap(records);
        models.swap(new_models);
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
    // The device a reconnect must find again; read while the port is held,
    // so that it is the device just opened.
    const serial::DeviceIdentity device = options.reconnect
                                              ? serial::identify_device(port_name).value_or(serial::DeviceIdentity())
                                              : serial::DeviceIdentity();
    {
        std::lock_guard<std::mutex> lock(state_mutex);
        port = std::move(new_port);
        ++connects;
    }
    running = true;
    try {
        reader_thread = std::make_unique<std::thread>([this, port_name, options, device, priority_known] {
            reader_loop(port_name, options, device, *priority_known);
        });
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
        result.last_error_time = last_error_time;
        result.last_reconnect_time = last_reconnect_time;
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
