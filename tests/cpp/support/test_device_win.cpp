// The Windows TestDevice. Under wine the far end of a COM port is a Linux pty
// owned by tests/wine/device_server.py; this side asks it, over a loopback TCP
// socket whose address is in NERVLANE_DEVICE_SERVER ("host:port"), for a fresh
// port, for bytes to be sent, and for the hang-up.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>

#include "test_device.h"

namespace testing_support {

namespace {

constexpr const char* kAddressVariable = "NERVLANE_DEVICE_SERVER";
// How long a write may make no progress (nobody reading) before it fails.
constexpr unsigned kWritePatienceMs = 10000;
constexpr unsigned kStreamPatienceMs = 50;

// One lock for every device's control socket: the streaming thread and the
// test thread must not interleave their requests and replies.
std::mutex& control_mutex() {
    static std::mutex m;
    return m;
}

void start_winsock() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
            throw std::runtime_error("WSAStartup failed");
        }
    });
}

SOCKET as_socket(std::intptr_t handle) { return static_cast<SOCKET>(handle); }

SOCKET connect_to_server() {
    start_winsock();
    const char* address = std::getenv(kAddressVariable);
    if (address == nullptr || *address == '\0') {
        throw std::runtime_error(std::string(kAddressVariable) +
                                 " is not set: run the Windows tests through scripts/test-windows.sh");
    }
    const std::string text(address);
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) {
        throw std::runtime_error(std::string(kAddressVariable) + " must be host:port, not " + text);
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    if (getaddrinfo(text.substr(0, colon).c_str(), text.substr(colon + 1).c_str(), &hints, &found) != 0) {
        throw std::runtime_error("cannot resolve the device server address " + text);
    }
    SOCKET s = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    if (s == INVALID_SOCKET) {
        freeaddrinfo(found);
        throw std::runtime_error("cannot make a socket for the device server");
    }
    const int rc = connect(s, found->ai_addr, static_cast<int>(found->ai_addrlen));
    freeaddrinfo(found);
    if (rc != 0) {
        closesocket(s);
        throw std::runtime_error("cannot reach the device server at " + text);
    }
    // Requests are small and each waits for its reply: Nagle would add delay.
    BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on));
    return s;
}

void send_all(SOCKET s, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const int n = send(s, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
        if (n <= 0) {
            throw std::runtime_error("lost the device server (send)");
        }
        sent += static_cast<std::size_t>(n);
    }
}

std::string receive_line(SOCKET s) {
    std::string line;
    char c = 0;
    while (true) {
        const int n = recv(s, &c, 1, 0);
        if (n <= 0) {
            throw std::runtime_error("lost the device server (recv)");
        }
        if (c == '\n') {
            return line;
        }
        line.push_back(c);
    }
}

// Sends one request and returns the reply; "ERR ..." replies become exceptions.
std::string exchange(SOCKET s, const std::string& request) {
    std::lock_guard<std::mutex> lock(control_mutex());
    send_all(s, request);
    std::string reply = receive_line(s);
    if (reply.rfind("ERR", 0) == 0) {
        throw std::runtime_error("test device: " + reply.substr(reply.size() > 4 ? 4 : 3));
    }
    return reply;
}

// Sends bytes[from..] and returns how many of them the device wrote: all, or
// fewer when the port stayed full for patience_ms.
std::size_t send_some(SOCKET s, const std::vector<std::uint8_t>& bytes, std::size_t from, unsigned patience_ms) {
    std::string request = "W " + std::to_string(bytes.size() - from) + " " + std::to_string(patience_ms) + "\n";
    request.append(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end());
    const std::string reply = exchange(s, request);
    if (reply.rfind("PART ", 0) == 0) return static_cast<std::size_t>(std::stoul(reply.substr(5)));
    return bytes.size() - from;
}

void send_bytes(SOCKET s, const std::vector<std::uint8_t>& bytes, unsigned patience_ms) {
    if (send_some(s, bytes, 0, patience_ms) != bytes.size()) {
        throw std::runtime_error("test device: write made no progress for " + std::to_string(patience_ms) +
                                 " ms (nobody reading?)");
    }
}

}  // namespace

TestDevice::TestDevice() {
    const SOCKET s = connect_to_server();
    std::string greeting;
    try {
        std::lock_guard<std::mutex> lock(control_mutex());
        greeting = receive_line(s);
    } catch (...) {
        closesocket(s);
        throw;
    }
    if (greeting.rfind("PORT ", 0) != 0) {
        closesocket(s);
        throw std::runtime_error("test device: " + greeting);
    }
    handle_ = static_cast<std::intptr_t>(s);
    port_ = greeting.substr(5);
}

TestDevice::~TestDevice() {
    stop_stream();
    // Closing the connection hangs the device up and unmaps its COM port.
    closesocket(as_socket(handle_));
}

void TestDevice::write(const std::vector<std::uint8_t>& bytes) {
    if (hung_up_) {
        throw std::runtime_error("test device: write after hang_up()");
    }
    send_bytes(as_socket(handle_), bytes, kWritePatienceMs);
}

void TestDevice::hang_up() {
    stop_stream();
    if (hung_up_.exchange(true)) {
        return;
    }
    exchange(as_socket(handle_), "H\n");
}

void TestDevice::plug_in() {
    if (!hung_up_) throw std::runtime_error("test device: plug_in() without hang_up()");
    // The helper makes a new pty and points the same COM port's link at it.
    const std::string reply = exchange(as_socket(handle_), "P\n");
    if (reply.rfind("PORT ", 0) != 0) throw std::runtime_error("test device: " + reply);
    port_ = reply.substr(5);
    hung_up_ = false;
}

const std::string& TestDevice::stable_port() { return port_; }

bool TestDevice::stream_write(const std::vector<std::uint8_t>& bytes) {
    // Short attempts keep stop_stream() prompt; each resumes where the last
    // one stopped.
    std::size_t done = 0;
    while (streaming_.load() && done < bytes.size()) {
        try {
            done += send_some(as_socket(handle_), bytes, done, kStreamPatienceMs);
        } catch (const std::exception&) {
            return false;
        }
    }
    return done == bytes.size();
}

bool running_under_wine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace testing_support
