// The watchers' pool runs a timed task when it is due, also when nothing else wakes it
// afterwards: a watcher that waits to try again must not wait for ever.
#include "monitor/WatcherPool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace quill::monitor {
namespace {

using namespace std::chrono_literals;

TEST(WatcherPool, EveryTimedTaskRunsWhenNothingElseComesAfterIt) {
    std::atomic<int> ran{0}; // outlives the pool and the tasks it may drop
    auto pool = std::make_shared<WatcherPool>();
    int error = 0;
    ASSERT_TRUE(pool->Start(error)) << error;
    int posted = 0;
    std::mt19937 random(1);
    // Busy processors, as on a loaded computer: the pool's threads are often preempted.
    std::atomic<bool> busy{true};
    std::vector<std::thread> spinners;
    for (unsigned i = 0; i < std::max(2u, std::thread::hardware_concurrency()); ++i)
        spinners.emplace_back([&busy] {
            while (busy) {
            }
        });
    // Bursts of tasks due within a few milliseconds, while the workers that the earlier
    // ones woke compete with the pool's waiting thread for the processors. After each
    // burst nothing else is posted: only the pool's own timing runs what is left.
    for (int burst = 0; burst < 300; ++burst) {
        for (int i = 0; i < 40; ++i) {
            pool->PostAfter(std::chrono::milliseconds(random() % 4), [&ran] { ++ran; });
            ++posted;
            if (i % 8 == 0) std::this_thread::sleep_for(std::chrono::microseconds(random() % 1500));
        }
        const auto until = std::chrono::steady_clock::now() + 1s;
        while (ran < posted && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
        if (ran < posted) break;
    }
    busy = false;
    for (std::thread& spinner : spinners) spinner.join();
    EXPECT_EQ(ran.load(), posted) << "tasks still waiting 1 s after the last burst was due";
}

} // namespace
} // namespace quill::monitor
