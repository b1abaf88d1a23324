// The in-memory serial backend described in memory_port.h.
#include "memory_port.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "impl/serial_impl.h"

namespace nervlane_fuzz {
namespace {

// One queue per process: a fuzzer drives one port on one thread.
std::vector<std::uint8_t>& queue() {
    static std::vector<std::uint8_t>* bytes = new std::vector<std::uint8_t>();
    return *bytes;
}
std::size_t read_position = 0;

}  // namespace

void memory_port_append(const std::uint8_t* data, std::size_t size) {
    auto& bytes = queue();
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(read_position));
    read_position = 0;
    bytes.insert(bytes.end(), data, data + size);
}

std::size_t memory_port_waiting() { return queue().size() - read_position; }

}  // namespace nervlane_fuzz

namespace serial {

Serial::SerialImpl::SerialImpl(const std::string& port, std::uint64_t baudrate, ByteSize bytesize,
                               Parity parity, StopBits stopbits, FlowControl flowcontrol)
    : fd_(-1),
      baudrate_(baudrate),
      parity_(parity),
      bytesize_(bytesize),
      stopbits_(stopbits),
      flowcontrol_(flowcontrol) {
    for (char c : port) port_.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    pthread_mutex_init(&read_mutex_, nullptr);
    pthread_mutex_init(&write_mutex_, nullptr);
    if (!port_.empty()) open();
}

Serial::SerialImpl::~SerialImpl() {
    pthread_mutex_destroy(&write_mutex_);
    pthread_mutex_destroy(&read_mutex_);
}

void Serial::SerialImpl::open() {
    if (port_.empty()) throw std::invalid_argument("Empty port is invalid.");
    if (is_open_) throw SerialException("Serial port already open.");
    reconfigure();
    fd_ = 0;
    is_open_ = true;
}

void Serial::SerialImpl::close() {
    fd_ = -1;
    is_open_ = false;
}

bool Serial::SerialImpl::is_open() const { return is_open_; }

std::size_t Serial::SerialImpl::read(std::uint8_t* buffer, std::size_t n) {
    if (!is_open_) throw PortNotOpenedException("Serial::read");
    const std::size_t count = std::min(n, nervlane_fuzz::memory_port_waiting());
    if (count > 0) std::memcpy(buffer, nervlane_fuzz::queue().data() + nervlane_fuzz::read_position, count);
    nervlane_fuzz::read_position += count;
    return count;
}

void Serial::SerialImpl::flush() {
    if (!is_open_) throw PortNotOpenedException("Serial::flush");
}

void Serial::SerialImpl::set_timeouts(const SerialTimeouts& timeouts) { timeouts_ = timeouts; }

// The settings are checked as the real backends check them, and otherwise
// have no effect on a queue in memory.
void Serial::SerialImpl::reconfigure() {
    if (static_cast<int>(bytesize_) < 5 || static_cast<int>(bytesize_) > 8) throw std::invalid_argument("invalid char len");
    if (static_cast<int>(stopbits_) < 1 || static_cast<int>(stopbits_) > 3) throw std::invalid_argument("invalid stop bit");
    if (static_cast<int>(parity_) < 0 || static_cast<int>(parity_) > 4) throw std::invalid_argument("invalid parity");
    static_cast<void>(baudrate_);
    static_cast<void>(flowcontrol_);
}

void Serial::SerialImpl::lock_read() { pthread_mutex_lock(&read_mutex_); }
void Serial::SerialImpl::unlock_read() { pthread_mutex_unlock(&read_mutex_); }
void Serial::SerialImpl::lock_write() { pthread_mutex_lock(&write_mutex_); }
void Serial::SerialImpl::unlock_write() { pthread_mutex_unlock(&write_mutex_); }

}  // namespace serial
