// Waking the threads that wait for the reader's next frame, at the least cost
// per frame: a notify with nobody waiting makes no system call, and a woken
// waiter takes the caller's mutex back without the kernel's help.
//
// A condition variable costs a third call per wake-up on Linux: the woken
// thread takes the mutex back marked as contended, so its unlock always makes
// a wake call, whether or not anyone waits. On Linux this signal waits on a
// futex of its own with the mutex released and then takes the mutex like any
// other locker: one wait call for the waiter and one wake call for the
// notifier per frame. Elsewhere it is a condition variable that is notified
// only when someone waits.
//
// Thread safety: any number of threads may wait and notify at once. A waiter
// holds the mutex that guards its condition when it calls `wait`; whoever
// makes the condition true does so under that mutex and calls notify_all()
// after, with or without the mutex held: no wake-up is then lost.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "nervlane_comm/serial/deadline.h"

namespace nervlane_comm {

class WakeSignal {
public:
    // Waits until `ready()` (called with `lock` held) is true, or the
    // deadline passes; returns ready(). `lock` is held on return. Throws
    // std::system_error when the mutex cannot be taken back.
    template <typename Predicate>
    bool wait(std::unique_lock<std::mutex>& lock, const serial::Deadline& deadline, Predicate ready) {
        while (!ready()) {
            if (deadline.expired()) return false;
            wait_once(lock, deadline);
        }
        return true;
    }

    // Wakes every thread waiting now. Throws nothing.
    void notify_all() noexcept;

private:
    // Releases `lock`, sleeps until a notify_all() that follows this call,
    // the deadline, or a spurious wake-up, and takes `lock` back.
    void wait_once(std::unique_lock<std::mutex>& lock, const serial::Deadline& deadline);

    // Threads inside wait_once; a notify_all() with none makes no call.
    std::atomic<std::uint32_t> waiters_{0};
#ifdef __linux__
    // Advanced by each notify_all() that finds a waiter; a waiter sleeps only
    // while it still holds the value it read under the caller's mutex.
    std::atomic<std::uint32_t> generation_{0};
#else
    std::condition_variable cv_;
#endif
};

}  // namespace nervlane_comm
