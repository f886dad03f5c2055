#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "net/base_connection.h"
#include "net/messages.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

std::atomic<int> g_workersAlive = 0;

// Handles WM_USER by counting, WM_USER+1 by throwing, WM_USER+2 by ending its loop.
class TestWorker : public CBaseConnectionClass {
public:
    explicit TestWorker(std::atomic<int>* handled = nullptr, bool throwAtExit = false)
        : m_handled(handled), m_bThrowAtExit(throwAtExit)
    {
        ++g_workersAlive;
    }
    ~TestWorker() override { --g_workersAlive; }

    bool PreTranslateMessage(Message& msg) override
    {
        if (msg.message == WM_USER) {
            if (m_handled)
                ++*m_handled;
            return true;
        }
        if (msg.message == WM_USER + 1)
            throw std::runtime_error("handler failed");
        if (msg.message == WM_USER + 2) {
            EndLoop(9);
            return true;
        }
        return CBaseConnectionClass::PreTranslateMessage(msg);
    }
    int ExitInstance() override
    {
        if (m_bThrowAtExit)
            throw std::runtime_error("exit failed");
        return CBaseConnectionClass::ExitInstance();
    }

private:
    std::atomic<int>* m_handled;
    bool m_bThrowAtExit;
};

}  // namespace

TEST(Worker, HandlesItsMessagesAndDeletesItselfAtTheEnd)
{
    std::atomic<int> handled = 0;
    StartedThread worker = BeginWorkerThread(std::make_unique<TestWorker>(&handled));
    ASSERT_NE(worker.id, 0u);
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(PostThreadMessage(worker.id, WM_USER));
    ASSERT_TRUE(PostThreadMessage(worker.id, WM_WORKER_PING));   // unhandled: dropped
    ASSERT_TRUE(PostThreadMessage(worker.id, WM_QUIT, 5));
    ASSERT_EQ(worker.handle.Wait(5000), WAIT_OBJECT_0);
    EXPECT_EQ(worker.handle.ExitCode(), 5);
    EXPECT_EQ(handled, 100);
    EXPECT_EQ(g_workersAlive, 0);
    EXPECT_FALSE(PostThreadMessage(worker.id, WM_USER));
}

TEST(Worker, ExitCodesTellHowTheThreadEnded)
{
    struct Case {
        std::uint32_t lastMessage;
        bool throwAtExit;
        int exitCode;
    } cases[] = {
        {WM_USER + 1, false, -1},   // an exception left the loop
        {WM_QUIT, true, -2},        // an exception left the exit processing
        {WM_USER + 2, false, 9},    // the worker ended its own loop
    };
    for (const Case& c : cases) {
        StartedThread worker = BeginWorkerThread(std::make_unique<TestWorker>(nullptr, c.throwAtExit));
        ASSERT_TRUE(PostThreadMessage(worker.id, c.lastMessage));
        ASSERT_EQ(worker.handle.Wait(5000), WAIT_OBJECT_0);
        EXPECT_EQ(worker.handle.ExitCode(), c.exitCode) << "message " << c.lastMessage;
    }
    EXPECT_EQ(g_workersAlive, 0);
}

TEST(WaitInterruptible, ReturnsTheWaitResultOrMinusOneForAWaitingShutdown)
{
    ThreadQueueScope queue;
    Event never(true, false), already(true, true);

    EXPECT_EQ(WaitInterruptible(already, 10, 1000), static_cast<std::int64_t>(WAIT_OBJECT_0));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitInterruptible(never, 10, 50), static_cast<std::int64_t>(WAIT_TIMEOUT));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);

    ASSERT_TRUE(PostThreadMessage(queue.Id(), WM_THREAD_SHUTDOWN));
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitInterruptible(never, 20, 60000), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
    EXPECT_TRUE(PeekMessage(WM_THREAD_SHUTDOWN)) << "the shutdown stays for the loop";
    // Even a signalled object reports the waiting shutdown.
    EXPECT_EQ(WaitInterruptible(already, 10, 1000), -1);
}

TEST(WaitInterruptible, ShutdownPostedDuringTheWaitEndsItEarly)
{
    Event never(true, false);
    std::atomic<std::int64_t> result = 0;
    std::atomic<ThreadId> id = 0;
    StartedThread waiter = StartThread([&] {
        id = CurrentThreadId();
        result = WaitInterruptible(never, 10, 60000);
        return 0;
    });
    while (id == 0)
        std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(30ms);
    ASSERT_TRUE(PostThreadMessage(waiter.id, WM_THREAD_SHUTDOWN));
    ASSERT_EQ(waiter.handle.Wait(5000), WAIT_OBJECT_0);
    EXPECT_EQ(result, -1);
}

namespace {

class CountingWindow : public WindowTarget {
public:
    LRESULT WindowProc(Message&) override { return ++calls; }
    std::atomic<int> calls = 0;
};

}  // namespace

TEST(NotifyUi, ABusyUserInterfaceCostsEachNotificationAboutOneSecond)
{
    SetUiThread();
    CountingWindow window;
    HWND handle = RegisterWindow(&window);
    std::atomic<bool> delivered = true;
    auto start = std::chrono::steady_clock::now();
    std::thread worker([&] { delivered = NotifyUi(handle, WM_NOTIFY_PROGRESS, 0, 0); });
    worker.join();   // the user interface dispatches nothing meanwhile
    auto spent = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(delivered);
    EXPECT_GE(spent, 950ms);
    EXPECT_LT(spent, 3000ms);
    EXPECT_EQ(DispatchPendingSends(), 0u) << "the lost notification never runs";
    EXPECT_EQ(window.calls, 0);
    UnregisterWindow(handle);
}

TEST(NotifyUi, NotificationsFromManyWorkersAreHandledOneAtATime)
{
    SetUiThread();
    ResetQuit();
    CountingWindow window;
    HWND handle = RegisterWindow(&window);
    std::atomic<int> lost = 0;
    std::vector<std::thread> workers;
    for (int w = 0; w < 10; ++w)
        workers.emplace_back([&] {
            for (int i = 0; i < 200; ++i)
                if (!NotifyUi(handle, WM_NOTIFY_PROGRESS, 0, 0))
                    ++lost;
        });
    std::thread closer([&] {
        for (auto& t : workers)
            t.join();
        PostQuitMessage(0);
    });
    RunUiLoop();
    closer.join();
    ResetQuit();
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(window.calls, 2000);
    UnregisterWindow(handle);
}
