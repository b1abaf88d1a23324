// Watches and steers the system calls that the serial library makes on the
// calling thread (Linux test builds only: the test program is linked with
// --wrap for open, read, poll, ioctl and close). It reaches the paths that a
// pseudo-terminal cannot: a hang-up that poll() reports without POLLIN or
// with bytes still to read, an
// open(), read() or close() that fails with a chosen error, and the question
// of how many calls a read costs.
// Everything here is per thread, so the device's and gtest's own calls on
// other threads pass untouched.
#pragma once

#include <vector>

namespace testing_support {
namespace syscall_spy {

struct Counts {
    int reads = 0;
    int empty_reads = 0;  // reads that failed with EAGAIN: nothing was there
    int polls = 0;
};

// Starts counting read() and poll() calls on this thread from zero.
void start_counting();
// What was counted since start_counting(); counting goes on.
Counts counted();

// While on, every poll() for input on this thread reports POLLHUP alone at
// once, as some drivers do when their device goes away.
void report_hang_up_in_poll(bool on);

// While on, every poll() for input on this thread reports POLLIN|POLLHUP at
// once, and a read() that finds nothing waiting reports end of file: a
// terminal whose device went away after sending what is still queued (a pty
// drops its queue at the hang-up, so it cannot show this).
void report_hang_up_with_input(bool on);

// The next open() on this thread fails with `error` without opening anything.
void fail_next_open(int error);

// The next read() on this thread fails with `error` without reading.
void fail_next_read(int error);

// The next close() on this thread closes the descriptor and then reports
// `error`, as Linux can (the number is released all the same).
void fail_next_close(int error);
// close() calls on this thread so far.
int closes();

// The ioctl() requests made on this thread since the last call, in order.
std::vector<unsigned long> take_ioctl_requests();

}  // namespace syscall_spy
}  // namespace testing_support
