#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/named_mutex.h"
#include "platform/waitable.h"

using namespace platform;
using namespace std::chrono_literals;

TEST(NamedMutex, SameNameIsOneMutexAcrossThreadsAndReentrantForItsOwner)
{
    NamedMutex first("sync-test-shared");
    NamedMutex second("sync-test-shared");
    NamedMutex other("sync-test-other");
    std::lock_guard outer(first);
    std::lock_guard inner(second);   // re-entrant: the owner may take it again
    std::atomic<int> result = -1;
    std::thread([&] {
        NamedMutex mine("sync-test-shared");
        NamedMutex unrelated("sync-test-other");
        result = (mine.try_lock_for(50ms) ? 1 : 0) + (unrelated.try_lock() ? 10 : 0);
        if (result >= 10)
            unrelated.unlock();
    }).join();
    EXPECT_EQ(result, 10);
}

TEST(NamedMutex, SerialisesManyThreads)
{
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                NamedMutex mutex("sync-test-counter");
                std::lock_guard lock(mutex);
                ++counter;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 80000);
}

TEST(Event, ManualResetStaysSetAutoResetReleasesOne)
{
    Event manual(true, false);
    EXPECT_EQ(manual.Wait(10), WAIT_TIMEOUT);
    manual.Set();
    EXPECT_EQ(manual.Wait(0), WAIT_OBJECT_0);
    EXPECT_EQ(manual.Wait(0), WAIT_OBJECT_0);
    manual.Reset();
    EXPECT_FALSE(manual.IsSet());

    Event automatic(false, true);
    EXPECT_EQ(automatic.Wait(0), WAIT_OBJECT_0);
    EXPECT_EQ(automatic.Wait(10), WAIT_TIMEOUT);

    std::thread setter([&] {
        std::this_thread::sleep_for(20ms);
        automatic.Set();
    });
    EXPECT_EQ(automatic.Wait(INFINITE), WAIT_OBJECT_0);
    setter.join();
}
