// The comms object's reader thread: it reads frames from the port, publishes
// each one to the reads, the frame queue and a zero call collecting samples,
// and, when asked to, opens the port again after the device went away.
#include <atomic>
#include <chrono>
#include <exception>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "comms_impl.h"
#include "nervlane_comm/serial/device_identity.h"
#include "nervlane_comm/serial/serial.h"

namespace nervlane_comm {

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

void CommsImpl::reader_loop(const std::string& port_name, const ConnectOptions& options,
                            const serial::DeviceIdentity& device, std::promise<void>& priority_known) noexcept {
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
            collect_decoder_counts();  // what the stream's end discarded
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
            reopened = options.reconnect && reopen(port_name, device, options.retry_interval);
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

bool CommsImpl::reopen(const std::string& port_name, const serial::DeviceIdentity& device,
                       std::chrono::milliseconds interval) {
    // Told again once the device is back: a different device met meanwhile
    // said why the outage went on, not what ended the connection.
    std::string ended_by;
    {
        std::lock_guard<std::mutex> lock(state_mutex);
        ended_by = last_error;
    }
    for (;;) {
        {
            // A wait rather than a sleep: close(), connect() and destruction
            // end it at once.
            std::unique_lock<std::mutex> lock(state_mutex);
            config_changed.wait_for(lock, interval, [this] { return !running; });
            if (!running) return false;
        }
        // Looked at before the open, not only after it: opening another
        // program's device even for a moment can keep its owner out, and
        // many boards reset when their port is opened.
        if (!device_is_back(port_name, device)) continue;
        std::unique_ptr<serial::Serial> reopened;
        try {
            reopened = open_port(port_name);
        } catch (...) {
            continue;  // not back yet (or held elsewhere): the outage goes on
        }
        const auto opened_at = std::chrono::steady_clock::now();
        // The name may have passed to another device between the look and
        // the open.
        if (!device_is_back(port_name, device)) {
            close_quietly(reopened);
            continue;
        }
        std::lock_guard<std::mutex> lock(state_mutex);
        // Taken even when a stop came meanwhile: the stopping disconnect
        // closes it after joining this thread.
        port = std::move(reopened);
        if (!running) return false;
        ++reconnects;
        last_reconnect_time = opened_at;
        last_error.swap(ended_by);
        return true;
    }
}

bool CommsImpl::device_is_back(const std::string& port_name, const serial::DeviceIdentity& device) {
    // Without an identity the name is the only guard: whatever answers to it
    // is taken for the device.
    if (!device.known()) return true;
    const std::optional<serial::DeviceIdentity> found = serial::identify_device(port_name);
    if (!found) return false;  // nothing there yet
    if (device.same_device(*found)) return true;
    // Named with their IDs when the short forms alone would read the same.
    const bool ids = found->describe() == device.describe();
    std::string reason = "a different device is at " + port_name + " (" + found->describe(ids) + ", expected " +
                         device.describe(ids) + ")";
    std::lock_guard<std::mutex> lock(state_mutex);
    last_error.swap(reason);
    return false;
}

void CommsImpl::decode_and_publish() {
    std::vector<double> frame_values(1024, 0.0);
    // Only this thread replaces the port while it runs (dropping it on a port
    // error, setting it when it reopens one), and disconnect takes it only
    // after joining this thread.
    serial::Serial* const device = port.get();
    std::unique_ptr<Protocol> retired;
    bool stream_start = true;
    // However reading stops (a stop, a port error), what the decoder holds of
    // an unfinished frame can no longer be finished: it is discarded, counted.
    struct EndStream {
        std::unique_ptr<Protocol>& decoder;
        ~EndStream() {
            if (decoder) decoder->end_stream();
        }
    } end_stream{protocol};

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
                if (protocol) protocol->end_stream();
                collect_decoder_counts();
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
    const auto failed_at = std::chrono::steady_clock::now();
    collect_decoder_counts();
    std::unique_ptr<serial::Serial> dead;
    try {
        std::lock_guard<std::mutex> lock(state_mutex);
        dead = std::move(port);
        withdraw_unread_locked();
        ++port_errors;
        last_error_time = failed_at;
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

}  // namespace nervlane_comm
