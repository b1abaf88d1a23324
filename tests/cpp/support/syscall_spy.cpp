// The wrappers behind syscall_spy.h. The linker sends the serial library's
// calls of open, read, poll, ioctl and close here (--wrap=NAME) and the real
// functions are reached as __real_NAME.
#include "syscall_spy.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdarg.h>
#include <sys/types.h>
#include <unistd.h>

extern "C" {
int __real_open(const char* path, int flags, ...);
ssize_t __real_read(int fd, void* buffer, size_t n);
int __real_poll(pollfd* fds, nfds_t count, int timeout);
int __real_ioctl(int fd, unsigned long request, void* argument);
int __real_close(int fd);
}

namespace testing_support {
namespace syscall_spy {
namespace {

thread_local Counts counts;
thread_local bool hang_up_in_poll = false;
thread_local bool hang_up_with_input = false;
thread_local int open_error = 0;
thread_local int read_error = 0;
thread_local int close_error = 0;
thread_local int close_calls = 0;
thread_local std::vector<unsigned long> ioctl_requests;

}  // namespace

void start_counting() { counts = Counts{}; }
Counts counted() { return counts; }
void report_hang_up_in_poll(bool on) { hang_up_in_poll = on; }
void report_hang_up_with_input(bool on) { hang_up_with_input = on; }
void fail_next_open(int error) { open_error = error; }
void fail_next_read(int error) { read_error = error; }
void fail_next_close(int error) { close_error = error; }
int closes() { return close_calls; }

std::vector<unsigned long> take_ioctl_requests() {
    std::vector<unsigned long> taken;
    taken.swap(ioctl_requests);
    return taken;
}

}  // namespace syscall_spy
}  // namespace testing_support

using namespace testing_support::syscall_spy;

// A mode follows the flags only when the call creates a file.
extern "C" int __wrap_open(const char* path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & (O_CREAT | O_TMPFILE)) != 0) {
        va_list arguments;
        va_start(arguments, flags);
        mode = static_cast<mode_t>(va_arg(arguments, int));
        va_end(arguments);
    }
    if (open_error != 0) {
        errno = open_error;
        open_error = 0;
        return -1;
    }
    return __real_open(path, flags, mode);
}

extern "C" ssize_t __wrap_read(int fd, void* buffer, size_t n) {
    ++counts.reads;
    if (read_error != 0) {
        errno = read_error;
        read_error = 0;
        return -1;
    }
    const ssize_t result = __real_read(fd, buffer, n);
    if (result == -1 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        ++counts.empty_reads;
        if (hang_up_with_input) return 0;
    }
    return result;
}

extern "C" int __wrap_poll(pollfd* fds, nfds_t count, int timeout) {
    ++counts.polls;
    if (hang_up_in_poll && count == 1 && (fds[0].events & POLLIN) != 0) {
        fds[0].revents = POLLHUP;
        return 1;
    }
    if (hang_up_with_input && count == 1 && (fds[0].events & POLLIN) != 0) {
        fds[0].revents = POLLIN | POLLHUP;
        return 1;
    }
    return __real_poll(fds, count, timeout);
}

// Every request the library makes takes at most one argument, a pointer or
// nothing; passing on whatever the argument slot holds is what the C library
// does for a request without one.
extern "C" int __wrap_ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    ioctl_requests.push_back(request);
    return __real_ioctl(fd, request, argument);
}

extern "C" int __wrap_close(int fd) {
    ++close_calls;
    const int result = __real_close(fd);
    if (close_error != 0 && result == 0) {
        errno = close_error;
        close_error = 0;
        return -1;
    }
    return result;
}
