#include "cli/cli_session.h"

#include <chrono>
#include <cstdlib>
#include <csignal>
#include <filesystem>

#include "app/main_frame.h"
#include "app/transfers_list.h"
#include "net/messages.h"
#include "platform/system.h"

namespace cli {

volatile std::sig_atomic_t g_nInterruptSignal = 0;

namespace {

constexpr std::uint32_t PUMP_WAIT_MS = 100;
// The list is written back this often while transfers run, so an interrupted run
// resumes close to where it stopped.
constexpr auto SAVE_PERIOD = std::chrono::milliseconds(1000);

extern "C" void OnInterrupt(int signal) { g_nInterruptSignal = signal; }

}  // namespace

void InstallInterruptHandlers()
{
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

std::string ProgramPathForData()
{
    if (const char* home = std::getenv("KORVALO_HOME"); home && *home) {
        platform::MakeFolder(home);
        return (std::filesystem::absolute(home) / "korvalo").string();
    }
    // The tool sits beside the program, whose folder holds the data.
    return (std::filesystem::path(platform::ExecutablePath()).parent_path() / "korvalo").string();
}

CCliSession::CCliSession(CProgressDisplay& display) : m_display(display) {}

CCliSession::~CCliSession() { Stop(); }

bool CCliSession::Start(bool resumeStored, std::string& error)
{
    platform::SetUiThread();
    m_pApp = std::make_unique<CVexoApp>(ProgramPathForData());
    m_pApp->m_bResumeTransfersAtStart = false;
    if (!m_pApp->InitInstance(m_host) || !m_pApp->MainFrame() || !m_pApp->MainFrame()->m_pTransfersList) {
        error = "the program could not start: its database in " + m_pApp->m_csWorkingFolder +
                "Data/ cannot be opened";
        m_pApp.reset();
        return false;
    }
    m_bStarted = true;
    // The frame's notifications reach the list through this window.
    m_hwndList = Transfers().m_hWnd;
    m_hWnd = platform::RegisterWindow(this);
    m_pApp->m_hwndTransfers = m_hWnd;
    if (resumeStored)
        Transfers().LoadTransfers(true);
    return true;
}

void CCliSession::Stop()
{
    if (!m_bStarted)
        return;
    m_bStarted = false;
    m_display.Clear();
    if (m_pApp->m_hwndTransfers == m_hWnd)
        m_pApp->m_hwndTransfers = m_hwndList;
    platform::UnregisterWindow(m_hWnd);
    m_hWnd = 0;
    m_pApp->ExitInstance(0);
}

CTransfersList& CCliSession::Transfers() { return *m_pApp->MainFrame()->m_pTransfersList; }

const CTransferRecord* CCliSession::StoredTransfer(const CTransferRecord& record)
{
    CTransferRecord probe = record;
    const int row = Transfers().FindTransfer(probe);
    return row < 0 ? nullptr : &Transfers().Row(static_cast<std::size_t>(row));
}

void CCliSession::Submit(const CTransferRecord& record)
{
    Track(record, -1);
    platform::Message resume;
    resume.message = WM_RESUME_REQUEST;
    resume.lParam = 1;
    resume.payload = std::make_unique<CTransferRecord>(record);
    platform::SendMessage(m_pApp->MainFrame()->m_hWnd, resume);
}

bool CCliSession::WorkersEnded()
{
    for (int i = 0; i < CWorkerSlotTable::SLOT_COUNT; ++i)
        if (m_pApp->m_workerSlots[i].hThread && !m_pApp->m_workerSlots[i].hThread.HasEnded())
            return false;
    return true;
}

bool CCliSession::RunUntilIdle()
{
    auto nextSave = std::chrono::steady_clock::now() + SAVE_PERIOD;
    for (;;) {
        if (g_nInterruptSignal)
            return false;
        const bool moreToStart = Transfers().StartWaiting();
        platform::WaitForUiWork(moreToStart ? 0 : PUMP_WAIT_MS);
        platform::DispatchPendingSends();
        if (std::chrono::steady_clock::now() >= nextSave) {
            Transfers().OnTimer(CTransfersList::SAVE_TIMER_ID);
            nextSave = std::chrono::steady_clock::now() + SAVE_PERIOD;
        }
        if (!WorkersEnded())
            continue;
        // A worker's last posts (the next queued job) arrive after its thread ended.
        platform::DispatchPendingSends();
        if (!WorkersEnded())
            continue;
        if (moreToStart)
            continue;
        if (m_pApp->MainFrame()->m_pendingQueue.IsEmpty())
            return true;
        // Queued work and no worker left to take it: start it as a freed slot does.
        platform::SendMessage(m_pApp->MainFrame()->m_hWnd, WM_START_NEXT_QUEUED);
    }
}

CCliSession::CTracked& CCliSession::Tracked(const CTransferRecord& record)
{
    for (CTracked& tracked : m_tracked)
        if (tracked.csName == record.csFileName &&
            (tracked.csFrom == record.csFullFromAddress || tracked.csWhere == record.csRealDownloadTo))
            return tracked;
    m_tracked.push_back({record.csFileName, record.csFullFromAddress, record.csRealDownloadTo});
    return m_tracked.back();
}

void CCliSession::Track(const CTransferRecord& record, int event)
{
    CTracked& tracked = Tracked(record);
    if (event == TRANSFER_EVENT_COMPLETE) {
        if (!tracked.bComplete) {
            ++m_nCompleted;
            m_display.Line("done: " + record.csFileName + " (" + FormatBytes(record.qwFileSize) + ")");
        }
        tracked.bComplete = true;
        tracked.bFailed = false;
    } else if (event == TRANSFER_EVENT_FAILED) {
        if (!tracked.bFailed)
            m_display.Line("failed: " + record.csFileName);
        tracked.bFailed = true;
    } else if (event == TRANSFER_EVENT_PROGRESS) {
        m_display.Progress(record.csFileName, record.dwDownloaded, record.qwFileSize, record.m_dwSpeed);
    }
}

bool CCliSession::AllComplete(std::vector<std::string>& failed) const
{
    failed.clear();
    for (const CTracked& tracked : m_tracked)
        if (!tracked.bComplete)
            failed.push_back(tracked.csName + " -> " + tracked.csWhere);
    return failed.empty();
}

platform::LRESULT CCliSession::WindowProc(platform::Message& msg)
{
    if (msg.message == WM_TRANSFERS_UPDATE || msg.message == WM_TRANSFERS_ADD) {
        if (auto* record = reinterpret_cast<CTransferRecord*>(msg.wParam))
            Track(*record, msg.message == WM_TRANSFERS_UPDATE ? static_cast<int>(msg.lParam) : -1);
    }
    return platform::IsWindow(m_hwndList) ? platform::SendMessage(m_hwndList, msg) : 0;
}

}  // namespace cli
