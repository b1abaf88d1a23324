// The in-memory serial backend described in memory_port.h.
#include "memory_port.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "impl/serial_impl.h"

namespace nervlane_fuzz {
namespace {

// One queue per process: a fuzzer drives one port on one thread. Like a
// buffering backend, the port hands out a view of the bytes it holds.
struct Queue {
    std::vector<std::uint8_t> bytes;
    std::size_t read_position = 0;

    std::size_t waiting() const { return bytes.size() - read_position; }
};

Queue& queue() {
    static Queue* instance = new Queue();  // never destroyed: the fuzzer exits from anywhere
    return *instance;
}

class MemoryPort final : public serial::PortBackend {
public:
    void open(const std::u16string&) override { open_ = true; }
    bool has_handle() const noexcept override { return open_; }
    void configure(const serial::LineSettings& settings, const serial::SerialTimeouts&) override {
        serial::check_line_settings(settings);
        Queue& q = queue();
        q.read_position = q.bytes.size();  // a configuration purges input, as on a real port
    }
    std::size_t read(std::uint8_t* buffer, std::size_t n) override {
        const Bytes held = buffered();
        const std::size_t count = std::min(n, held.size);
        if (count > 0) std::memcpy(buffer, held.data, count);
        consume(count);
        return count;
    }
    // Nothing arrives while the one thread waits.
    bool wait_readable(const serial::Deadline&) override { return false; }
    Bytes buffered() const noexcept override {
        Queue& q = queue();
        return {q.bytes.data() + q.read_position, q.waiting()};
    }
    void consume(std::size_t n) noexcept override { queue().read_position += std::min(n, queue().waiting()); }
    void flush() override {}
    void close() override { open_ = false; }

private:
    bool open_ = false;
};

}  // namespace

void memory_port_append(const std::uint8_t* data, std::size_t size) {
    Queue& q = queue();
    q.bytes.erase(q.bytes.begin(), q.bytes.begin() + static_cast<std::ptrdiff_t>(q.read_position));
    q.read_position = 0;
    q.bytes.insert(q.bytes.end(), data, data + size);
}

std::size_t memory_port_waiting() { return queue().waiting(); }

}  // namespace nervlane_fuzz

std::unique_ptr<serial::PortBackend> serial::make_backend() { return std::make_unique<nervlane_fuzz::MemoryPort>(); }

// A fuzzer has no use for a real-time thread.
bool serial::request_realtime_scheduling() noexcept { return false; }
