// The platform half of WakeSignal: a futex on Linux, a condition variable
// elsewhere.
#include "wake_signal.h"

#include <chrono>
#include <climits>

#ifdef __linux__
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#endif

namespace nervlane_comm {

#ifdef __linux__

namespace {

// The futex word of an atomic: std::atomic<std::uint32_t> is the 32-bit value
// itself on Linux, as the futex call needs.
std::uint32_t* futex_word(std::atomic<std::uint32_t>& value) {
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t), "an atomic with a lock inside");
    return reinterpret_cast<std::uint32_t*>(&value);
}

}  // namespace

void WakeSignal::wait_once(std::unique_lock<std::mutex>& lock, const serial::Deadline& deadline) {
    // Read under the caller's mutex: a notify_all() after the condition was
    // found false advances it, and the futex then returns at once instead of
    // sleeping through the change.
    const std::uint32_t seen = generation_.load();
    waiters_.fetch_add(1);
    lock.unlock();
    // steady_clock is CLOCK_MONOTONIC, the clock of FUTEX_WAIT_BITSET's
    // absolute time-out.
    timespec until{};
    const timespec* limit = nullptr;
    if (!deadline.unlimited()) {
        const auto since_boot = deadline.when().time_since_epoch();
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_boot);
        until.tv_sec = static_cast<time_t>(seconds.count());
        until.tv_nsec =
            static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(since_boot - seconds).count());
        limit = &until;
    }
    // Whatever it returns (woken, changed already, time-out, EINTR), the
    // caller looks at its condition again.
    ::syscall(SYS_futex, futex_word(generation_), FUTEX_WAIT_BITSET_PRIVATE, seen, limit, nullptr,
              FUTEX_BITSET_MATCH_ANY);
    waiters_.fetch_sub(1);
    lock.lock();
}

void WakeSignal::notify_all() noexcept {
    // A waiter counted itself under the mutex before it let go of it, and the
    // condition changed under that mutex after: a waiter that can miss this
    // change is always seen here.
    if (waiters_.load() == 0) return;
    generation_.fetch_add(1);
    ::syscall(SYS_futex, futex_word(generation_), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

#else

void WakeSignal::wait_once(std::unique_lock<std::mutex>& lock, const serial::Deadline& deadline) {
    waiters_.fetch_add(1);
    struct Leave {
        std::atomic<std::uint32_t>& waiters;
        ~Leave() { waiters.fetch_sub(1); }
    } leave{waiters_};
    if (deadline.unlimited()) {
        cv_.wait(lock);
    } else {
        cv_.wait_until(lock, deadline.when());
    }
}

void WakeSignal::notify_all() noexcept {
    if (waiters_.load() != 0) cv_.notify_all();
}

#endif

}  // namespace nervlane_comm
