// The frame queue on its own: the ring, its drop accounting and batches; and
// the wake-up that hands each frame to the threads waiting for it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "frame_queue.h"
#include "nervlane_comm/serial/deadline.h"
#include "wake_signal.h"
#include "watchdog.h"

using nervlane_comm::FrameBatch;
using nervlane_comm::FrameQueue;
using Clock = std::chrono::steady_clock;

namespace {

const Clock::time_point kStart = Clock::now();

// Frame `sequence` of `readings` raw values (the first is the sequence) and
// one calibrated value, decoded `sequence` ms after kStart.
void push(FrameQueue& queue, std::uint64_t sequence, std::size_t readings = 2) {
    std::vector<double> raw(readings, 7.0);
    raw[0] = static_cast<double>(sequence);
    queue.push(sequence, kStart + std::chrono::milliseconds(sequence), raw, {10.0 * static_cast<double>(sequence)});
}

std::vector<std::uint64_t> take_sequences(FrameQueue& queue, std::size_t max_frames = 0) {
    FrameBatch batch;
    queue.take(batch, max_frames);
    return batch.sequence;
}

}  // namespace

TEST(FrameQueue, KeepsTheNewestFramesWhenFullAndCountsTheOnesPushedOut) {
    FrameQueue queue;
    push(queue, 1);  // stopped: nothing is kept
    EXPECT_FALSE(queue.active());
    queue.resize(3, 2, 1);
    for (std::uint64_t s = 2; s <= 6; ++s) push(queue, s);
    EXPECT_EQ(queue.size(), 3u);
    EXPECT_EQ(queue.dropped(), 2u);

    FrameBatch batch;
    ASSERT_EQ(queue.take(batch, 0), 3u);
    EXPECT_EQ(batch.sequence, (std::vector<std::uint64_t>{4, 5, 6}));
    EXPECT_EQ(batch.readings, 2u);
    EXPECT_EQ(batch.outputs, 1u);
    EXPECT_EQ(batch.raw, (std::vector<double>{4, 7, 5, 7, 6, 7}));
    EXPECT_EQ(batch.values, (std::vector<double>{40, 50, 60}));
    EXPECT_EQ(batch.time[2] - batch.time[0], std::chrono::milliseconds(2));
    EXPECT_EQ(queue.take(batch, 0), 0u);
}

TEST(FrameQueue, ShrinkingCountsTheFramesCutAndStoppingFreesTheRest) {
    FrameQueue queue;
    queue.resize(5, 2, 1);
    for (std::uint64_t s = 1; s <= 4; ++s) push(queue, s);
    queue.resize(2, 2, 1);  // four waiting, two fit: the newest stay
    EXPECT_EQ(queue.dropped(), 2u);
    queue.resize(10, 2, 1);  // growing loses nothing
    push(queue, 5);
    EXPECT_EQ(queue.dropped(), 2u);
    EXPECT_EQ(take_sequences(queue), (std::vector<std::uint64_t>{3, 4, 5}));

    push(queue, 6);
    queue.resize(0, 2, 1);
    EXPECT_FALSE(queue.active());
    EXPECT_EQ(queue.size(), 0u);
    EXPECT_EQ(queue.dropped(), 2u);
    EXPECT_TRUE(take_sequences(queue).empty());
}

TEST(FrameQueue, BatchesStopAtTheFirstFrameOfAnotherShapeAndAtTheLimit) {
    FrameQueue queue;
    queue.resize(10, 2, 1);
    for (std::uint64_t s = 1; s <= 3; ++s) push(queue, s, 2);
    for (std::uint64_t s = 4; s <= 5; ++s) push(queue, s, 3);
    EXPECT_EQ(take_sequences(queue, 2), (std::vector<std::uint64_t>{1, 2}));
    EXPECT_EQ(take_sequences(queue), (std::vector<std::uint64_t>{3}));
    FrameBatch batch;
    ASSERT_EQ(queue.take(batch, 0), 2u);
    EXPECT_EQ(batch.readings, 3u);
    EXPECT_EQ(batch.raw, (std::vector<double>{4, 7, 7, 5, 7, 7}));
}

// A pusher that never waits and a taker racing it: every frame is taken once,
// in order, or counted as dropped.
TEST(FrameQueue, EveryFramePushedIsTakenInOrderOrCountedWhileATakerRaces) {
    constexpr std::uint64_t kFrames = 20000;
    FrameQueue queue;
    queue.resize(16, 2, 1);
    std::thread pusher([&] {
        for (std::uint64_t s = 1; s <= kFrames; ++s) push(queue, s);
    });
    std::uint64_t taken = 0;
    std::uint64_t last = 0;
    FrameBatch batch;
    while (last < kFrames) {
        queue.take(batch, 5);
        for (std::uint64_t s : batch.sequence) {
            ASSERT_GT(s, last);
            last = s;
            ++taken;
        }
        batch = FrameBatch();
    }
    pusher.join();
    EXPECT_EQ(taken + queue.dropped() + queue.size(), kFrames);
}

#if defined(NERVLANE_UNLOCK_PAUSE)
#include <pthread.h>

// The program is linked with --wrap=pthread_mutex_unlock: a thread that has
// armed the pause stops right after its next unlock, long enough for another
// thread to take the mutex, change the condition and notify in that gap.
namespace {
thread_local bool pause_after_next_unlock = false;
}

extern "C" int __real_pthread_mutex_unlock(pthread_mutex_t* mutex);

extern "C" int __wrap_pthread_mutex_unlock(pthread_mutex_t* mutex) {
    const int result = __real_pthread_mutex_unlock(mutex);
    if (pause_after_next_unlock) {
        pause_after_next_unlock = false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return result;
}

static void pause_between_unlock_and_sleep() { pause_after_next_unlock = true; }
#else
static void pause_between_unlock_and_sleep() {}
#endif

// A waiter lets go of the mutex and is overtaken before it sleeps: the turn
// handed over and notified in that gap must still wake it. Nothing else
// would: the waits have no deadline, so one lost wake-up stops both threads
// for good, and the watchdog names the test.
TEST(WakeSignal, NoWakeUpIsLostWhenTwoThreadsPassATurnBackAndForth) {
    const testing_support::Watchdog watchdog;
    constexpr int kPasses = 100;
    std::mutex mutex;
    nervlane_comm::WakeSignal signal;
    int passes = 0;  // guarded by mutex; the thread of its parity goes next
    auto player = [&](int parity) {
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex);
            signal.wait(lock, serial::Deadline::never(), [&] {
                const bool ready = passes % 2 == parity || passes >= kPasses;
                if (!ready) pause_between_unlock_and_sleep();
                return ready;
            });
            if (passes >= kPasses) return;
            ++passes;
            lock.unlock();
            signal.notify_all();
        }
    };
    std::thread other(player, 1);
    player(0);
    other.join();
    EXPECT_EQ(passes, kPasses);
}

// One notify wakes every thread asleep on the signal, not just one of them.
TEST(WakeSignal, OneNotifyWakesEveryWaiter) {
    const testing_support::Watchdog watchdog;
    std::mutex mutex;
    nervlane_comm::WakeSignal signal;
    bool ready = false;  // guarded by mutex
    auto waiter = [&] {
        std::unique_lock<std::mutex> lock(mutex);
        EXPECT_TRUE(signal.wait(lock, serial::Deadline::never(), [&] { return ready; }));
    };
    std::thread first(waiter);
    std::thread second(waiter);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // both asleep by now
    {
        std::lock_guard<std::mutex> lock(mutex);
        ready = true;
    }
    signal.notify_all();
    first.join();
    second.join();
}
