#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/thread.h"
#include "platform/window_table.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

class Recorder : public WindowTarget {
public:
    LRESULT WindowProc(Message& msg) override
    {
        ++calls;
        if (msg.message == WM_USER + 1 && msg.wParam)   // wParam: a pointer to the sender's int
            lastSeen = *reinterpret_cast<int*>(msg.wParam);
        if (msg.message == WM_USER + 2)
            std::this_thread::sleep_for(std::chrono::milliseconds(msg.wParam));
        if (msg.message == WM_USER + 3)
            msg.reply = std::make_unique<TextPayload>("answer");
        if (auto* text = msg.PayloadAs<TextPayload>())
            lastText = text->m_csText;
        return static_cast<LRESULT>(msg.lParam) * 2;
    }
    std::atomic<int> calls = 0;
    int lastSeen = 0;
    std::string lastText;
};

// The test's thread is the user-interface thread; each test owns one window.
class WindowTable : public testing::Test {
protected:
    void SetUp() override
    {
        SetUiThread();
        ResetQuit();
        DispatchPendingSends();
        window = RegisterWindow(&target);
    }
    void TearDown() override
    {
        UnregisterWindow(window);
        SetUiWaker(nullptr);
        ResetQuit();
    }
    Recorder target;
    HWND window = 0;
};

}  // namespace

TEST_F(WindowTable, ManyThreadsSendingAtOnceEachGetTheirOwnAnswer)
{
    constexpr int SENDERS = 8, PER_SENDER = 500;
    std::atomic<int> wrong = 0;
    std::vector<std::thread> senders;
    for (int s = 0; s < SENDERS; ++s)
        senders.emplace_back([&, s] {
            for (int i = 0; i < PER_SENDER; ++i) {
                LPARAM value = s * 100000 + i;
                LRESULT result = 0;
                bool handled = (i % 2) ? SendMessageTimeout(window, WM_USER, 0, value, 10000, &result)
                                       : (result = SendMessage(window, WM_USER, 0, value), true);
                if (!handled || result != value * 2)
                    ++wrong;
            }
        });
    std::thread closer([&] {
        for (auto& t : senders)
            t.join();
        PostQuitMessage(4);
    });
    EXPECT_EQ(RunUiLoop(), 4);
    closer.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(target.calls, SENDERS * PER_SENDER);
}

TEST_F(WindowTable, SendFromTheUserInterfaceThreadRunsAtOnce)
{
    EXPECT_EQ(SendMessage(window, WM_USER, 0, 21), 42);
    EXPECT_EQ(target.calls, 1);
    Message msg;
    msg.message = WM_USER + 3;
    SendMessage(window, msg);
    ASSERT_NE(msg.ReplyAs<TextPayload>(), nullptr);
    EXPECT_EQ(msg.ReplyAs<TextPayload>()->m_csText, "answer");
}

TEST_F(WindowTable, TimedOutSendIsWithdrawnAndNeverRunsLater)
{
    // The user interface is busy (it dispatches nothing) while the sender gives up.
    std::atomic<bool> returned = false, handled = true;
    std::thread sender([&] {
        auto senderData = std::make_unique<int>(17);
        LRESULT result = 0;
        handled = SendMessageTimeout(window, WM_USER + 1, reinterpret_cast<WPARAM>(senderData.get()), 1, 100,
                                     &result);
        returned = true;
        // senderData is freed here: a late handler would read freed memory.
    });
    sender.join();
    EXPECT_TRUE(returned);
    EXPECT_FALSE(handled);
    EXPECT_EQ(DispatchPendingSends(), 0u);
    EXPECT_EQ(target.calls, 0);
}

TEST_F(WindowTable, SendThatHasStartedIsWaitedForPastItsTimeOut)
{
    std::atomic<bool> handled = false;
    LRESULT result = 0;
    std::thread sender([&] { handled = SendMessageTimeout(window, WM_USER + 2, 300, 5, 50, &result); });
    while (target.calls == 0) {
        WaitForUiWork(1000);
        DispatchPendingSends();
    }
    sender.join();
    EXPECT_TRUE(handled);
    EXPECT_EQ(result, 10);
}

TEST_F(WindowTable, MissingOrRemovedWindowsAnswerNothing)
{
    EXPECT_FALSE(IsWindow(0));
    EXPECT_EQ(SendMessage(0xDEAD, WM_USER, 0, 1), 0);
    std::atomic<bool> handled = true;
    LRESULT result = 99;
    std::thread sender([&] { handled = SendMessageTimeout(window, WM_USER, 0, 1, 5000, &result); });
    WaitForUiWork(5000);
    UnregisterWindow(window);
    DispatchPendingSends();
    sender.join();
    EXPECT_FALSE(handled);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(target.calls, 0);
    EXPECT_FALSE(PostMessage(window, WM_USER, 0, 0, std::make_unique<TextPayload>("lost")));
}

TEST_F(WindowTable, PostedMessagesAreHandledInOrderAndOwnTheirPayload)
{
    ASSERT_TRUE(PostMessage(window, WM_USER, 0, 1, std::make_unique<TextPayload>("first")));
    ASSERT_TRUE(PostMessage(window, WM_USER, 0, 2, std::make_unique<TextPayload>("second")));
    EXPECT_EQ(target.calls, 0);
    EXPECT_EQ(DispatchPendingSends(), 2u);
    EXPECT_EQ(target.lastText, "second");
}

TEST_F(WindowTable, OneWakeUpPerBurst)
{
    std::atomic<int> wakes = 0;
    SetUiWaker([&] { ++wakes; });
    for (int i = 0; i < 50; ++i)
        PostMessage(window, WM_USER);
    EXPECT_EQ(wakes, 1);
    DispatchPendingSends();
    PostMessage(window, WM_USER);
    EXPECT_EQ(wakes, 2);
    DispatchPendingSends();
}

TEST_F(WindowTable, WaitingOnTheUserInterfaceThreadStillServesSenders)
{
    // The thread waited for first needs an answer from the user interface to finish.
    StartedThread worker = StartThread([this] { return static_cast<int>(SendMessage(window, WM_USER, 0, 8)); });
    EXPECT_EQ(WaitPumpingSends(worker.handle, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(worker.handle.ExitCode(), 16);
}
