#include "platform/window_table.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace platform {

WindowTarget::~WindowTarget() = default;

namespace {

enum class WorkState { Waiting, Running, Done, Cancelled };

struct PendingWork {
    HWND window = 0;
    Message* sent = nullptr;   // a send: the sender's message, valid while the sender waits
    Message posted;            // a post: owned here
    LRESULT result = 0;
    WorkState state = WorkState::Waiting;
    std::condition_variable done;
};

struct UiState {
    std::mutex mutex;
    std::condition_variable workArrived;
    std::deque<std::shared_ptr<PendingWork>> queue;
    std::unordered_map<HWND, WindowTarget*> windows;
    HWND lastHandle = 0;
    std::thread::id uiThread;
    std::function<void()> waker;
    bool quit = false;
    int quitCode = 0;
};

UiState& Ui()
{
    static UiState* state = new UiState;   // outlives worker threads that end after main
    return *state;
}

WindowTarget* FindTarget(HWND window)
{
    UiState& ui = Ui();
    std::lock_guard lock(ui.mutex);
    auto it = ui.windows.find(window);
    return it == ui.windows.end() ? nullptr : it->second;
}

// Queues work for the user-interface thread and wakes it when the queue was empty.
void Enqueue(const std::shared_ptr<PendingWork>& work)
{
    UiState& ui = Ui();
    std::function<void()> waker;
    {
        std::lock_guard lock(ui.mutex);
        bool wasEmpty = ui.queue.empty();
        ui.queue.push_back(work);
        if (wasEmpty)
            waker = ui.waker;
    }
    ui.workArrived.notify_all();
    if (waker)
        waker();
}

}  // namespace

void SetUiThread()
{
    UiState& ui = Ui();
    std::lock_guard lock(ui.mutex);
    ui.uiThread = std::this_thread::get_id();
}

bool IsUiThread()
{
    UiState& ui = Ui();
    std::lock_guard lock(ui.mutex);
    return ui.uiThread == std::this_thread::get_id();
}

void SetUiWaker(std::function<void()> waker)
{
    UiState& ui = Ui();
    std::lock_guard lock(ui.mutex);
    ui.waker = std::move(waker);
}

HWND RegisterWindow(WindowTarget* target)
{
    UiState& ui = Ui();
    std::lock_guard lock(ui.mutex);
    HWND handle = ++ui.lastHandle;
    ui.windows.emplace(handle, target);
    return handle;
}

void UnregisterWindow(HWND window)
{
    UiState& ui = Ui();
    std::lock_guard lock(ui.mutex);
    ui.windows.erase(window);
}

bool IsWindow(HWND window) { return window != 0 && FindTarget(window) != nullptr; }

LRESULT SendMessage(HWND window, Message& msg)
{
    LRESULT result = 0;
    SendMessageTimeout(window, msg, INFINITE, &result);
    return result;
}

LRESULT SendMessage(HWND window, std::uint32_t message, WPARAM wParam, LPARAM lParam)
{
    Message msg;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    return SendMessage(window, msg);
}

bool SendMessageTimeout(HWND window, Message& msg, std::uint32_t timeoutMs, LRESULT* result)
{
    if (result)
        *result = 0;
    if (IsUiThread()) {
        WindowTarget* target = FindTarget(window);
        if (!target)
            return false;
        LRESULT answer = target->WindowProc(msg);
        if (result)
            *result = answer;
        return true;
    }
    if (!IsWindow(window))
        return false;

    auto work = std::make_shared<PendingWork>();
    work->window = window;
    work->sent = &msg;
    Enqueue(work);

    UiState& ui = Ui();
    std::unique_lock lock(ui.mutex);
    auto finished = [&] { return work->state == WorkState::Done; };
    if (timeoutMs == INFINITE) {
        work->done.wait(lock, finished);
    } else if (!work->done.wait_for(lock, std::chrono::milliseconds(timeoutMs), finished)) {
        if (work->state == WorkState::Waiting) {
            work->state = WorkState::Cancelled;
            work->sent = nullptr;
            return false;
        }
        // Started already: the handler is reading the sender's data, so wait for its end.
        work->done.wait(lock, finished);
    }
    if (result)
        *result = work->result;
    return work->window != 0;
}

bool SendMessageTimeout(HWND window, std::uint32_t message, WPARAM wParam, LPARAM lParam,
                        std::uint32_t timeoutMs, LRESULT* result)
{
    Message msg;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    return SendMessageTimeout(window, msg, timeoutMs, result);
}

bool PostMessage(HWND window, std::uint32_t message, WPARAM wParam, LPARAM lParam,
                 std::unique_ptr<MessagePayload> payload)
{
    if (!IsWindow(window))
        return false;
    auto work = std::make_shared<PendingWork>();
    work->window = window;
    work->posted.message = message;
    work->posted.wParam = wParam;
    work->posted.lParam = lParam;
    work->posted.payload = std::move(payload);
    Enqueue(work);
    return true;
}

std::size_t DispatchPendingSends()
{
    UiState& ui = Ui();
    std::size_t handled = 0;
    for (;;) {
        std::shared_ptr<PendingWork> work;
        WindowTarget* target = nullptr;
        Message* msg = nullptr;
        {
            std::lock_guard lock(ui.mutex);
            while (!ui.queue.empty() && !work) {
                work = std::move(ui.queue.front());
                ui.queue.pop_front();
                if (work->state == WorkState::Cancelled)
                    work.reset();
            }
            if (!work)
                return handled;
            work->state = WorkState::Running;
            auto it = ui.windows.find(work->window);
            target = it == ui.windows.end() ? nullptr : it->second;
            msg = work->sent ? work->sent : &work->posted;
        }
        LRESULT answer = target ? target->WindowProc(*msg) : 0;
        {
            std::lock_guard lock(ui.mutex);
            work->result = answer;
            if (!target)
                work->window = 0;
            work->state = WorkState::Done;
        }
        work->done.notify_all();
        ++handled;
    }
}

bool WaitForUiWork(std::uint32_t timeoutMs)
{
    UiState& ui = Ui();
    std::unique_lock lock(ui.mutex);
    auto ready = [&] { return !ui.queue.empty() || ui.quit; };
    if (timeoutMs == INFINITE) {
        ui.workArrived.wait(lock, ready);
        return true;
    }
    return ui.workArrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
}

void PostQuitMessage(int exitCode)
{
    UiState& ui = Ui();
    std::function<void()> waker;
    {
        std::lock_guard lock(ui.mutex);
        ui.quit = true;
        ui.quitCode = exitCode;
        waker = ui.waker;
    }
    ui.workArrived.notify_all();
    if (waker)
        waker();
}

bool IsQuitRequested()
{
    UiState& ui = Ui();
    std::lock_guard lock(ui.mutex);
    return ui.quit;
}

int QuitExitCode()
{
    UiState& ui = Ui();
    std::lock_guard lock(ui.mutex);
    return ui.quitCode;
}

void ResetQuit()
{
    UiState& ui = Ui();
    std::lock_guard lock(ui.mutex);
    ui.quit = false;
    ui.quitCode = 0;
}

int RunUiLoop()
{
    while (!IsQuitRequested()) {
        WaitForUiWork(INFINITE);
        DispatchPendingSends();
    }
    DispatchPendingSends();
    return QuitExitCode();
}

std::uint32_t WaitPumpingSends(Waitable& object, std::uint32_t timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        DispatchPendingSends();
        std::uint32_t step = 5;
        if (timeoutMs != INFINITE) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return object.Wait(0);
            step = static_cast<std::uint32_t>(std::min<long long>(left, step));
        }
        if (object.Wait(step) == WAIT_OBJECT_0)
            return WAIT_OBJECT_0;
    }
}

}  // namespace platform
