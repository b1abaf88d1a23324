// A time limit of its own for a test that waits on a port. A read that
// ignores its deadline would otherwise hang until ctest's time-out, minutes
// later, and say nothing of where; the watchdog ends the program after a few
// seconds instead, naming the test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace testing_support {

class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit = std::chrono::seconds(5)) {
        const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = test != nullptr ? std::string(test->test_suite_name()) + "." + test->name() : "a test";
        thread_ = std::thread([this, limit, name = std::move(name)] {
            std::unique_lock<std::mutex> lock(mutex_);
            if (cv_.wait_for(lock, limit, [this] { return done_; })) return;
            std::fprintf(stderr, "\nwatchdog: %s is still running after %lld s; a wait does not keep to its deadline\n",
                         name.c_str(), static_cast<long long>(limit.count()));
            std::fflush(stderr);
            std::_Exit(1);
        });
    }

    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        cv_.notify_one();
        thread_.join();
    }

    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace testing_support
