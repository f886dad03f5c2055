#include "app/vexo_app.h"

#include <filesystem>

#include "app/app_host.h"
#include "app/main_frame.h"
#include "app/update_key.h"
#include "engine/file_client.h"
#include "ftp/ftp_client.h"
#include "net/base_connection.h"
#include "platform/system.h"
#include "transfers/transfer_database.h"

namespace {

CVexoApp* g_app = nullptr;

std::string WithSlash(std::string folder)
{
    if (folder.empty() || folder.back() != '/')
        folder += '/';
    return folder;
}

}  // namespace

CAppHost::~CAppHost() = default;

void CAppHost::FatalError(const std::string&) {}

CVexoApp* GetApp() { return g_app; }

CVexoApp::CVexoApp(std::string programPath, std::optional<platform::Registry> registry)
    : m_csProgramPath(programPath.empty() ? platform::ExecutablePath() : std::move(programPath)),
      m_registry(registry ? std::move(*registry) : platform::Registry::CurrentUser())
{
    // Sockets need no start-up on this system.
    m_bWinsockReady = true;
    g_app = this;
}

CVexoApp::~CVexoApp()
{
    m_pMainFrame.reset();
    if (g_app == this)
        g_app = nullptr;
}

bool CVexoApp::InitInstance(CAppHost& host)
{
    host.InstallKeyboardHook();
    m_programMutex = std::make_unique<platform::NamedMutex>("Korvalo");
    m_programMutex->lock();
    host.LoadSkin();
    IsUpdateDue();
    FixWorkingFolder();
    KeepExePath();

    m_pMainFrame = std::make_unique<CMainFrame>(*this);
    if (m_workerFactory)
        m_pMainFrame->m_workerFactory = m_workerFactory;
    else
        m_pMainFrame->m_workerFactory = [this](EWorkerKind kind, platform::HWND mainWindow) {
            return StartWorker(kind, mainWindow);
        };
    if (!m_pMainFrame->OnCreate()) {
        host.FatalError(DATABASE_FATAL_ERROR_TEXT);
        return false;
    }
    if (!host.CreateMainWindow(*m_pMainFrame) || !host.OpenInitialPanels())
        return false;
    host.ShowMainWindow();
    return true;
}

int CVexoApp::ExitInstance(int loopExitCode)
{
    if (m_pMainFrame)
        m_pMainFrame->OnDestroy();
    m_pMainFrame.reset();
    if (!m_csWorkingFolder.empty()) {
        CTransferDatabase database;
        if (database.Open(CTransferDatabase::DatabasePath(m_csWorkingFolder)))
            database.Compact();
    }
    if (m_programMutex)
        m_programMutex->unlock();
    m_programMutex.reset();
    return loopExitCode;
}

platform::StartedThread CVexoApp::StartWorker(EWorkerKind kind, platform::HWND mainWindow)
{
    if (kind == EWorkerKind::FtpClient) {
        auto worker = std::make_unique<CFtpClient>();
        worker->m_csTempDir = m_csTempDir;
        return BeginWorkerThread(std::move(worker), mainWindow);
    }
    if (kind != EWorkerKind::FileClient)
        return {};
    auto worker = std::make_unique<CFileClient>();
    worker->m_csTempDir = m_csTempDir;
    return BeginWorkerThread(std::move(worker), mainWindow);
}

void CVexoApp::IsUpdateDue()
{
    if (IsUpdateDueAt(m_registry, platform::FileTimeNow()))
        m_bUpdateDue = true;
}

void CVexoApp::FixWorkingFolder()
{
    // The program's own folder holds its data, so a copy of the program is portable;
    // an installed, read-only program keeps its data in the user's data folder instead.
    std::string folder = std::filesystem::path(m_csProgramPath).parent_path().string();
    if (folder.empty() || !platform::IsWritableFolder(folder)) {
        folder = platform::DataHome() + "/Korvalo";
        platform::MakeFolder(folder);
    }
    m_csWorkingFolder = WithSlash(folder);
    platform::SetCurrentFolder(m_csWorkingFolder);
    m_csHelpPath = WithSlash(std::filesystem::path(m_csProgramPath).parent_path().string()) + "doc/help/index.html";
}

void CVexoApp::KeepExePath()
{
    if (!m_registry.GetString(PROGRAM_KEY, "ExePath"))
        m_registry.SetString(PROGRAM_KEY, "ExePath", m_csProgramPath);
}
