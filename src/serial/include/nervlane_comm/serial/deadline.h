// One definition of a time limit, used by every wait in the project: the port
// backends, the comms object's reads and zeroing, and the Python binding's
// interruptible waits. A deadline is a point on the steady (monotonic) clock,
// or no limit at all; setting the wall clock never stretches or cuts a wait.
//
// A Deadline is a small value: copy it freely and use the copies on any
// thread. Every member throws nothing, except `wait`, which throws what the
// condition variable throws.
#pragma once

#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace serial {
inline namespace nervlane_v1 {

class Deadline {
public:
    using Clock = std::chrono::steady_clock;

    // Limits further away than this are no limit: nobody waits ten years, and
    // capping keeps the time-point arithmetic far from overflow.
    static constexpr std::int64_t kLongestMs = std::int64_t{10} * 365 * 24 * 3600 * 1000;

    // No limit: a wait ends only with the event it waits for.
    static Deadline never() noexcept { return Deadline(); }

    // `ms` milliseconds from now. 0 or less is already due.
    static Deadline after_ms(std::int64_t ms) noexcept {
        if (ms > kLongestMs) return never();
        return Deadline(Clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms));
    }

    static Deadline at(Clock::time_point when) noexcept { return Deadline(when); }

    bool unlimited() const noexcept { return unlimited_; }

    bool expired() const noexcept { return !unlimited_ && Clock::now() >= when_; }

    // The point in time; meaningful only when the deadline is not unlimited.
    Clock::time_point when() const noexcept { return when_; }

    // Whole milliseconds left, rounded up so that a wait of that length never
    // ends before the deadline; 0 once due. kLongestMs when unlimited.
    std::int64_t remaining_ms() const noexcept {
        if (unlimited_) return kLongestMs;
        const Clock::time_point now = Clock::now();
        if (when_ <= now) return 0;
        return std::chrono::ceil<std::chrono::milliseconds>(when_ - now).count();
    }

    // The time-out argument of poll(): -1 for no limit, else remaining_ms()
    // capped to an int.
    int poll_ms() const noexcept {
        if (unlimited_) return -1;
        const std::int64_t ms = remaining_ms();
        return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
    }

    // Whichever of the two comes first.
    Deadline earlier(const Deadline& other) const noexcept {
        if (unlimited_) return other;
        if (other.unlimited_) return *this;
        return other.when_ < when_ ? other : *this;
    }

    // Waits on `cv` until `ready()` holds or the deadline passes; returns
    // ready(). Throws what the condition variable throws (std::system_error).
    template <typename Predicate>
    bool wait(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, Predicate ready) const {
        if (unlimited_) {
            cv.wait(lock, ready);
            return true;
        }
        return cv.wait_until(lock, when_, ready);
    }

private:
    Deadline() noexcept : unlimited_(true) {}
    explicit Deadline(Clock::time_point when) noexcept : when_(when), unlimited_(false) {}

    Clock::time_point when_{};
    bool unlimited_;
};

}  // namespace nervlane_v1
}  // namespace serial
