#pragma once
// The base of every worker thread: a thread object with a message queue, commanded by
// posted thread messages and reporting by window messages to the user interface.

#include <cstdint>
#include <memory>

#include "platform/thread.h"
#include "platform/window_table.h"

class CBaseConnectionClass {
public:
    CBaseConnectionClass() = default;
    CBaseConnectionClass(const CBaseConnectionClass&) = delete;
    CBaseConnectionClass& operator=(const CBaseConnectionClass&) = delete;
    virtual ~CBaseConnectionClass();

    // True to enter the message loop.
    virtual bool InitInstance();
    // The message loop: every message goes through PreTranslateMessage until WM_QUIT.
    // Returns ExitInstance()'s code.
    virtual int Run();
    // True when the message was handled. The base handles nothing: what a worker does not
    // handle itself is dropped.
    virtual bool PreTranslateMessage(platform::Message& msg);
    // Returns the thread's exit code (the WM_QUIT value by default).
    virtual int ExitInstance();

    platform::ThreadId m_nThreadID = 0;
    platform::ThreadHandle m_hThread;
    platform::HWND m_pMainWnd = 0;   // the main frame, inherited when the worker starts

protected:
    // Ends the message loop after the current message; what still waits is freed.
    void EndLoop(int exitCode);

    int m_nQuitCode = 0;
    bool m_bEndLoop = false;
};

// Starts a worker on its own thread. The thread owns the object and deletes it when its
// loop has ended. An exception that escapes the loop ends the thread with -1, one that
// escapes ExitInstance with -2. Returns the handle and id; both empty when no thread started.
platform::StartedThread BeginWorkerThread(std::unique_ptr<CBaseConnectionClass> worker,
                                          platform::HWND mainWindow = 0,
                                          platform::ThreadPriority priority = platform::ThreadPriority::Normal);

// Waits on object in steps of stepMs up to limitMs. Returns -1 as soon as a
// WM_THREAD_SHUTDOWN waits in the calling thread's queue (it stays there), otherwise the
// last wait result (WAIT_OBJECT_0 or WAIT_TIMEOUT).
std::int64_t WaitInterruptible(platform::Waitable& object, std::uint32_t stepMs, std::uint32_t limitMs);

// A high-rate notification to the user interface: sent under the mutex "UPDATE" with the
// 1000 ms time-out. False when it was not handled in time (it is then lost).
bool NotifyUi(platform::HWND window, platform::Message& msg, platform::LRESULT* result = nullptr);
bool NotifyUi(platform::HWND window, std::uint32_t message, platform::WPARAM wParam, platform::LPARAM lParam,
              platform::LRESULT* result = nullptr);
