#pragma once
// The window table: handles of message targets that live on the user-interface thread.
//
// A send from the user-interface thread calls the target directly. A send from any other
// thread is queued for the user-interface thread and blocks until it has been handled.
// A send with a time-out that has not started when the time runs out is withdrawn and
// never runs later, so a handler never reads data its sender has already freed; one
// that has started is waited for to its end.
//
// The user-interface thread drains the queued work with DispatchPendingSends(). A host
// (the Qt main loop, or a headless loop) installs a waker that is called whenever work
// arrives while the queue was empty, so one burst of sends costs one wake-up.

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/message.h"
#include "platform/waitable.h"

namespace platform {

class WindowTarget {
public:
    virtual ~WindowTarget();
    virtual LRESULT WindowProc(Message& msg) = 0;
};

// Must be called by the user-interface thread before any window is registered.
void SetUiThread();
bool IsUiThread();
// Called from any thread when work for the user-interface thread arrives; nullptr removes it.
void SetUiWaker(std::function<void()> waker);

// Registration and removal happen on the user-interface thread.
HWND RegisterWindow(WindowTarget* target);
void UnregisterWindow(HWND window);
bool IsWindow(HWND window);

// Returns the handler's result, or 0 when the window does not exist.
LRESULT SendMessage(HWND window, Message& msg);
LRESULT SendMessage(HWND window, std::uint32_t message, WPARAM wParam = 0, LPARAM lParam = 0);

// False when the window does not exist or the handler did not start within timeoutMs.
bool SendMessageTimeout(HWND window, Message& msg, std::uint32_t timeoutMs, LRESULT* result = nullptr);
bool SendMessageTimeout(HWND window, std::uint32_t message, WPARAM wParam, LPARAM lParam,
                        std::uint32_t timeoutMs, LRESULT* result = nullptr);

// Queues a message for the window without waiting; false when the window does not exist.
bool PostMessage(HWND window, std::uint32_t message, WPARAM wParam = 0, LPARAM lParam = 0,
                 std::unique_ptr<MessagePayload> payload = nullptr);

// User-interface thread: handles every queued send and post. Returns the number handled.
std::size_t DispatchPendingSends();

// User-interface thread: waits until work is queued or the quit request came; false on time-out.
bool WaitForUiWork(std::uint32_t timeoutMs);

// Ends RunUiLoop (and tells a host that the user-interface thread should quit).
void PostQuitMessage(int exitCode);
bool IsQuitRequested();
int QuitExitCode();
// Clears the quit request; for hosts that run more than one loop in a process (tests).
void ResetQuit();

// A headless user-interface loop: dispatches until PostQuitMessage; returns its code.
int RunUiLoop();

// User-interface thread: waits for an object while still handling queued sends, so a
// thread that is blocked sending to the user interface cannot deadlock the wait.
std::uint32_t WaitPumpingSends(Waitable& object, std::uint32_t timeoutMs = INFINITE);

}  // namespace platform
