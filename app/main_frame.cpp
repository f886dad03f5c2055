#include "app/main_frame.h"

#include <mutex>

#include "app/app_host.h"
#include "app/logging.h"
#include "app/temp_folder_cleanup.h"
#include "app/vexo_app.h"
#include "net/messages.h"
#include "platform/named_mutex.h"
#include "platform/system.h"
#include "transfers/find_result_thread.h"

CMainFrame::CMainFrame(CVexoApp& app) : m_app(app) {}

CMainFrame::~CMainFrame()
{
    if (m_hWnd)
        platform::UnregisterWindow(m_hWnd);
}

bool CMainFrame::OnCreate()
{
    m_hWnd = platform::RegisterWindow(this);
    const std::string& folder = m_app.m_csWorkingFolder;

    m_app.m_csDataDir = folder + "Data/";
    platform::MakeFolder(m_app.m_csDataDir);
    m_app.m_csLogsDir = m_app.m_csDataDir + "Logs/";
    platform::MakeFolder(m_app.m_csLogsDir);

    if (!m_database.OpenDatabase(folder))
        return false;

    m_findResultThread = BeginWorkerThread(std::make_unique<CthFillFindResult>(folder, m_hDatabaseIdle), m_hWnd);

    m_app.m_csUpdateDir = m_app.m_csDataDir + "Update/";
    platform::MakeFolder(m_app.m_csUpdateDir);
    m_app.m_csTempDir = folder + "TEMP/";
    platform::MakeFolder(m_app.m_csTempDir);
    RemoveEmptySubfolders(m_app.m_csTempDir);
    return true;
}

void CMainFrame::OnClose()
{
    {
        platform::NamedMutex protect("ProtectFindResult");
        std::lock_guard lock(protect);
        m_app.m_bClosing = true;
    }
    OnDestroy();
}

void CMainFrame::OnDestroy()
{
    if (m_bDestroyed || !m_findResultThread.handle)
        return;
    // Senders blocked on the user interface are still served while we wait.
    platform::WaitPumpingSends(m_hDatabaseIdle);
    m_hDatabaseIdle.Reset();
    platform::PostThreadMessage(m_findResultThread.id, WM_THREAD_SHUTDOWN);
    platform::WaitPumpingSends(m_findResultThread.handle);
    m_bDestroyed = true;
    platform::UnregisterWindow(m_hWnd);
    m_hWnd = 0;
    m_database.Close();
    platform::PostQuitMessage(0);
}

platform::LRESULT CMainFrame::WindowProc(platform::Message& msg)
{
    switch (msg.message) {
    case platform::WM_CLOSE:
        OnClose();
        return 0;
    case platform::WM_DESTROY:
        OnDestroy();
        return 0;
    default:
        return 0;
    }
}
