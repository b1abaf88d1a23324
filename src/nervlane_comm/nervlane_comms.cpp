#include "nervlane_comms.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "parameter_file.h"
#include "protocol.h"
#include "sensor_model.h"
#include "sensor_parameters.h"
#include "serial/serial.h"

namespace nervlane_comm {

namespace {

// Longer waits are capped so that the deadline arithmetic cannot overflow; a
// century is as good as forever for a read.
constexpr std::int64_t kLongestWaitMs = std::int64_t{100} * 365 * 24 * 3600 * 1000;

std::unique_ptr<Protocol> make_protocol(std::int32_t selector) {
    switch (selector) {
        case 0:
            return std::make_unique<ProtocolString>();
        case 1:
            return std::make_unique<ProtocolBinary>();
        case 2:
            return std::make_unique<ProtocolBinaryEncrypt>();
        default:
            return nullptr;  // the decoder already configured stays
    }
}

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

}  // namespace

class CommsImpl {
public:
    CommsImpl() = default;
    ~CommsImpl();

    void init(const std::string& file_name);
    void connect(const std::string& port_name);
    void disconnect();
    void read(std::vector<double>& out, std::int64_t timeout_ms, bool raw);
    bool next_raw_frame(std::vector<double>& out, std::int64_t timeout_ms, std::uint64_t& seen);
    bool is_connected();
    void zero(std::vector<int> indices);

private:
    void disconnect_locked();
    void reader_loop();

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
    std::condition_variable data_ready;
    bool new_data = false;
    // Guarded by state_mutex: counts published frames, so zeroing can wait for
    // the next frame without racing other readers for new_data.
    std::uint64_t frames_published = 0;
    std::atomic<bool> running{false};

    // Guarded by state_mutex: a decoder chosen by init, installed by the reader
    // between two frames.
    std::unique_ptr<Protocol> pending_protocol;
    // Set with pending_protocol (under state_mutex), cleared when the reader
    // installs it: the reader looks at this flag between frames instead of
    // taking state_mutex, so a caller copying a frame never makes the reader
    // queue for the lock (nor the other way round).
    std::atomic<bool> protocol_pending{false};
    // Wakes a reader that waits for a decoder (or to stop).
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
    std::vector<std::shared_ptr<SensorModel>> new_models;
    new_models.reserve(records.size());
    std::int32_t largest_position = 0;
    for (const auto& record : records) {
        std::shared_ptr<SensorModel> model;
        if (record->sensor_type == 1) {
            model.reset(new TaxelPolyfitModel());
        } else {
            model.reset(new TriaxialPolyfitModel());
        }
        model->set_parameters(record);
        for (const auto& entry : record->output_map) largest_position = std::max(largest_position, entry.second);
        new_models.push_back(std::move(model));
    }
    std::vector<double> new_output(static_cast<std::size_t>(largest_position) + 1, 0.0);

    {
        std::lock_guard<std::mutex> lock(state_mutex);
        parameter_records.swap(records);
        models.swap(new_models);
        latest_output.swap(new_output);
        // A frame still waiting was calibrated by the old models, and its
        // values are gone with the old output: the next read waits for a frame
        // of the new configuration.
        new_data = false;
        if (new_protocol) {
            pending_protocol.swap(new_protocol);
            protocol_pending = true;
            config_changed.notify_all();
        }
    }
    // The replaced objects (and a decoder that was still pending) are released
    // here, outside the lock.
}

void CommsImpl::connect(const std::string& port_name) {
    // Refused before anything changes: an empty name would give a port that
    // never opens.
    if (port_name.empty()) throw std::invalid_argument("Empty port is invalid.");

    std::lock_guard<std::mutex> connection_lock(connection_mutex);
    disconnect_locked();

    serial::SerialTimeouts timeouts;
    timeouts.inter_byte_ms = serial::SerialTimeouts::kMaxTimeout;
    timeouts.read_constant_ms = 100;
    timeouts.read_per_byte_ms = 0;
    timeouts.write_constant_ms = 100;
    timeouts.write_per_byte_ms = 0;
    auto new_port = std::make_unique<serial::Serial>(port_name, 115200, timeouts, serial::ByteSize::eight_bits,
                                                     serial::Parity::none, serial::StopBits::one,
                                                     serial::FlowControl::none);
    {
        std::lock_guard<std::mutex> lock(state_mutex);
        port = std::move(new_port);
    }
    running = true;
    try {
        reader_thread = std::make_unique<std::thread>(&CommsImpl::reader_loop, this);
    } catch (...) {
        // Without a reader the open port would only hold the device hostage.
        running = false;
        std::unique_ptr<serial::Serial> dead;
        {
            std::lock_guard<std::mutex> lock(state_mutex);
            dead = std::move(port);
        }
        close_quietly(dead);
        throw;
    }
}

void CommsImpl::disconnect() {
    std::lock_guard<std::mutex> connection_lock(connection_mutex);
    disconnect_locked();
}

void CommsImpl::disconnect_locked() {
    running = false;
    {
        // Taking the lock orders this wake-up after a reader that is about to
        // wait for a decoder has started waiting.
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

void CommsImpl::reader_loop() {
    std::vector<double> frame_values(1024, 0.0);
    // Only this thread drops the port while it runs (on a port error), and
    // disconnect replaces it only after joining this thread.
    serial::Serial* const device = port.get();
    std::unique_ptr<Protocol> retired;
    bool stream_start = true;

    try {
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

            if (!protocol->parse(frame_values, *device)) continue;

            bool published = false;
            {
                std::lock_guard<std::mutex> lock(state_mutex);
                // A frame read by a decoder that init has just replaced belongs
                // to the old configuration; the next one will not.
                if (pending_protocol) continue;
                latest_raw.assign(frame_values.begin(), frame_values.end());
                if (!latest_raw.empty()) {
                    std::fill(latest_output.begin(), latest_output.end(), 0.0);
                    for (const auto& model : models) model->calibrate(latest_output, latest_raw);
                    new_data = true;
                    ++frames_published;
                    published = true;
                }
            }
            // Woken after the unlock: a waiter woken while the lock is still
            // held would only go back to sleep on the mutex, one more context
            // switch per frame. Waiters test new_data under the lock, so no
            // wake-up is lost; this object outlives the thread that notifies.
            if (published) data_ready.notify_all();
        }
    } catch (const std::exception&) {
        // The device went away or the port failed: drop the connection. The
        // unread frame goes with it, in the same step, so no read sees the
        // port gone and an old frame still offered.
        std::unique_ptr<serial::Serial> dead;
        {
            std::lock_guard<std::mutex> lock(state_mutex);
            dead = std::move(port);
            new_data = false;
        }
        close_quietly(dead);
    }
    running = false;
}

void CommsImpl::read(std::vector<double>& out, std::int64_t timeout_ms, bool raw) {
    std::unique_lock<std::mutex> lock(state_mutex);
    const std::vector<double>& source = raw ? latest_raw : latest_output;
    if (timeout_ms <= 0) {
        out.assign(source.begin(), source.end());
        return;
    }
    const auto wait = std::chrono::milliseconds(std::min(timeout_ms, kLongestWaitMs));
    if (data_ready.wait_for(lock, wait, [this] { return new_data; })) {
        out.assign(source.begin(), source.end());
        new_data = false;
    } else {
        out.clear();
    }
}

bool CommsImpl::next_raw_frame(std::vector<double>& out, std::int64_t timeout_ms, std::uint64_t& seen) {
    std::unique_lock<std::mutex> lock(state_mutex);
    if (!data_ready.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return frames_published != seen; })) {
        return false;
    }
    out.assign(latest_raw.begin(), latest_raw.end());
    seen = frames_published;
    new_data = false;
    return true;
}

void CommsImpl::zero(std::vector<int> indices) {
    // Frames are taken like read_raw takes them (each one is no longer offered
    // to a later read), but by their publication count rather than by
    // new_data: a thread that keeps reading cannot snatch them from zeroing.
    std::vector<std::vector<double>> samples(static_cast<std::size_t>(zero_sample_count));
    std::vector<double> frame;
    std::uint64_t seen = 0;
    bool frame_waiting = false;
    {
        std::lock_guard<std::mutex> lock(state_mutex);
        seen = frames_published;
        frame_waiting = new_data;
        new_data = false;
    }
    // The frame already waiting, or else the next one, is retired unused: the
    // samples must be frames that arrive after this call.
    if (!frame_waiting) next_raw_frame(frame, 500, seen);
    for (auto& sample : samples) {
        if (!next_raw_frame(frame, 50, seen)) throw std::runtime_error("Could not zero the sensor");
        sample = frame;
    }

    std::vector<std::shared_ptr<SensorModel>> chosen_models;
    std::vector<std::shared_ptr<SensorParameters>> records;
    {
        std::lock_guard<std::mutex> lock(state_mutex);
        chosen_models = models;
        records = parameter_records;
    }
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

void NervlaneComms::connect(const std::string& port) { impl->connect(port); }

void NervlaneComms::read(std::vector<double>& out, std::int64_t timeout_ms) { impl->read(out, timeout_ms, false); }

void NervlaneComms::read_raw(std::vector<double>& out, std::int64_t timeout_ms) {
    impl->read(out, timeout_ms, true);
}

bool NervlaneComms::is_connected() const { return impl->is_connected(); }

void NervlaneComms::close() { impl->disconnect(); }

void NervlaneComms::zero(std::vector<int> indices) { impl->zero(std::move(indices)); }

std::string NervlaneComms::version() { return "dev"; }

}  // namespace nervlane_comm
