#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/thread.h"

using namespace platform;

namespace {

class CountedPayload : public MessagePayload {
public:
    explicit CountedPayload(std::atomic<int>& alive) : m_alive(alive) { ++m_alive; }
    ~CountedPayload() override { --m_alive; }
    std::atomic<int>& m_alive;
};

// A thread that collects its messages until WM_QUIT and reports them through the handle.
struct Collector {
    std::vector<std::pair<WPARAM, LPARAM>> received;
    StartedThread thread;

    void Start()
    {
        thread = StartThread([this] {
            Message msg;
            while (GetMessage(msg))
                received.emplace_back(msg.wParam, msg.lParam);
            return static_cast<int>(msg.wParam);
        });
    }
};

}  // namespace

TEST(ThreadQueue, MessagesArriveInPostingOrderPerSender)
{
    constexpr int SENDERS = 8, PER_SENDER = 5000;
    Collector collector;
    collector.Start();
    std::vector<std::thread> senders;
    for (int s = 0; s < SENDERS; ++s)
        senders.emplace_back([&, s] {
            for (int i = 0; i < PER_SENDER; ++i)
                ASSERT_TRUE(PostThreadMessage(collector.thread.id, WM_USER, s, i));
        });
    for (auto& t : senders)
        t.join();
    ASSERT_TRUE(PostThreadMessage(collector.thread.id, WM_QUIT, 7));
    ASSERT_EQ(collector.thread.handle.Wait(10000), WAIT_OBJECT_0);
    EXPECT_EQ(collector.thread.handle.ExitCode(), 7);

    ASSERT_EQ(collector.received.size(), static_cast<std::size_t>(SENDERS * PER_SENDER));
    std::vector<LPARAM> next(SENDERS, 0);
    for (auto [sender, value] : collector.received)
        ASSERT_EQ(value, next[sender]++) << "sender " << sender;
}

TEST(ThreadQueue, PostToEndedThreadFailsAndFreesThePayload)
{
    std::atomic<int> alive = 0;
    StartedThread thread = StartThread([] { return 3; });
    ASSERT_NE(thread.id, 0u);
    ASSERT_EQ(thread.handle.Wait(5000), WAIT_OBJECT_0);
    EXPECT_EQ(thread.handle.ExitCode(), 3);

    EXPECT_FALSE(PostThreadMessage(thread.id, WM_USER, 0, 0, std::make_unique<CountedPayload>(alive)));
    EXPECT_EQ(alive, 0);
    EXPECT_FALSE(PostThreadMessage(0, WM_USER));
    EXPECT_FALSE(PostThreadMessage(0xFFFFFFF0u, WM_USER));
}

TEST(ThreadQueue, MessagesLeftInTheQueueOfAnEndedThreadAreFreed)
{
    std::atomic<int> alive = 0;
    Event go(true, false);
    StartedThread thread = StartThread([&] {
        go.Wait(INFINITE);
        return 0;
    });
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(PostThreadMessage(thread.id, WM_USER, 0, 0, std::make_unique<CountedPayload>(alive)));
    EXPECT_EQ(alive, 10);
    go.Set();
    ASSERT_EQ(thread.handle.Wait(5000), WAIT_OBJECT_0);
    EXPECT_EQ(alive, 0);
}

TEST(ThreadQueue, ThreadIdsAreNeverReused)
{
    StartedThread first = StartThread([] { return 0; });
    first.handle.Wait(INFINITE);
    StartedThread second = StartThread([] { return 0; });
    second.handle.Wait(INFINITE);
    EXPECT_NE(first.id, second.id);
    EXPECT_FALSE(PostThreadMessage(first.id, WM_USER));
}

TEST(ThreadQueue, PeekFindsOneMessageNumberWithoutRemovingIt)
{
    ThreadQueueScope queue;
    ASSERT_TRUE(PostThreadMessage(queue.Id(), WM_USER + 1, 1));
    ASSERT_TRUE(PostThreadMessage(queue.Id(), WM_USER + 2, 2));
    ASSERT_TRUE(PostThreadMessage(queue.Id(), WM_USER + 1, 3));

    EXPECT_TRUE(PeekMessage(WM_USER + 2));
    EXPECT_FALSE(PeekMessage(WM_USER + 3));
    EXPECT_EQ(PendingMessageCount(), 3u);

    Message taken;
    ASSERT_TRUE(TakeMessage(WM_USER + 2, taken));
    EXPECT_EQ(taken.wParam, 2u);
    EXPECT_FALSE(PeekMessage(WM_USER + 2));

    Message msg;
    ASSERT_TRUE(GetMessage(msg));
    EXPECT_EQ(msg.wParam, 1u);
    ASSERT_TRUE(GetMessage(msg));
    EXPECT_EQ(msg.wParam, 3u);

    bool isQuit = true;
    EXPECT_FALSE(GetMessageTimeout(msg, 10, isQuit));
    ASSERT_TRUE(PostThreadMessage(queue.Id(), WM_QUIT, 5));
    EXPECT_FALSE(GetMessage(msg));
    EXPECT_EQ(msg.message, WM_QUIT);
}

TEST(ThreadQueue, PostsSucceedRightAfterStart)
{
    // The queue exists before the thread runs, so the first post never races its start.
    for (int round = 0; round < 200; ++round) {
        Collector collector;
        collector.Start();
        ASSERT_TRUE(PostThreadMessage(collector.thread.id, WM_USER, 1, 1));
        ASSERT_TRUE(PostThreadMessage(collector.thread.id, WM_QUIT));
        collector.thread.handle.Wait(INFINITE);
        ASSERT_EQ(collector.received.size(), 1u);
    }
}
