#include "net/base_connection.h"

#include <mutex>

#include "net/messages.h"
#include "platform/named_mutex.h"

CBaseConnectionClass::~CBaseConnectionClass() = default;

bool CBaseConnectionClass::InitInstance() { return true; }

int CBaseConnectionClass::Run()
{
    try {
        platform::Message msg;
        while (!m_bEndLoop && platform::GetMessage(msg)) {
            PreTranslateMessage(msg);
            msg = platform::Message();   // the receiver frees what the message carried
        }
        if (!m_bEndLoop)
            m_nQuitCode = static_cast<int>(msg.wParam);
    } catch (...) {
        return -1;
    }
    try {
        return ExitInstance();
    } catch (...) {
        return -2;
    }
}

void CBaseConnectionClass::EndLoop(int exitCode)
{
    m_bEndLoop = true;
    m_nQuitCode = exitCode;
}

bool CBaseConnectionClass::PreTranslateMessage(platform::Message&) { return false; }

int CBaseConnectionClass::ExitInstance() { return m_nQuitCode; }

platform::StartedThread BeginWorkerThread(std::unique_ptr<CBaseConnectionClass> worker, platform::HWND mainWindow,
                                          platform::ThreadPriority priority)
{
    worker->m_pMainWnd = mainWindow;
    // The object's thread id and handle are filled in before its first message is taken.
    auto ready = std::make_shared<platform::Event>(true, false);
    CBaseConnectionClass* object = worker.get();
    platform::StartedThread started = platform::StartThread(
        [owned = std::shared_ptr<CBaseConnectionClass>(std::move(worker)), ready]() -> int {
            ready->Wait(platform::INFINITE);
            CBaseConnectionClass& self = *owned;
            if (!self.InitInstance())
                return 0;
            return self.Run();
        },
        priority);
    if (started.id != 0) {
        object->m_nThreadID = started.id;
        object->m_hThread = started.handle;
    }
    ready->Set();
    return started;
}

std::int64_t WaitInterruptible(platform::Waitable& object, std::uint32_t stepMs, std::uint32_t limitMs)
{
    std::uint32_t spent = 0;
    std::uint32_t result = platform::WAIT_TIMEOUT;
    for (;;) {
        result = object.Wait(stepMs);
        if (result != platform::WAIT_TIMEOUT)
            break;
        if (platform::PeekMessage(WM_THREAD_SHUTDOWN))
            return -1;
        spent += stepMs;
        if (spent >= limitMs)
            break;
    }
    return platform::PeekMessage(WM_THREAD_SHUTDOWN) ? -1 : static_cast<std::int64_t>(result);
}

bool NotifyUi(platform::HWND window, platform::Message& msg, platform::LRESULT* result)
{
    platform::NamedMutex update("UPDATE");
    std::lock_guard lock(update);
    return platform::SendMessageTimeout(window, msg, NOTIFY_TIMEOUT_MS, result);
}

bool NotifyUi(platform::HWND window, std::uint32_t message, platform::WPARAM wParam, platform::LPARAM lParam,
              platform::LRESULT* result)
{
    platform::Message msg;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    return NotifyUi(window, msg, result);
}
