#pragma once
// The application object: the process-wide folders, registry values, worker slots and
// panel handles, and the start and end of the program.

#include <memory>
#include <optional>
#include <string>

#include "app/worker_factory.h"
#include "net/worker_slots.h"
#include "platform/message.h"
#include "platform/named_mutex.h"
#include "platform/registry.h"

class CAppHost;
class CMainFrame;

inline constexpr const char* PROGRAM_KEY = "Software\\Korvalo";
inline constexpr const char* UPDATE_KEY = "Software\\Korvalo\\Last Update";

class CVexoApp {
public:
    // programPath: the full path of the program file (the running executable by default).
    // registry: the store of the registry values (the current user's by default).
    explicit CVexoApp(std::string programPath = {}, std::optional<platform::Registry> registry = std::nullopt);
    ~CVexoApp();
    CVexoApp(const CVexoApp&) = delete;
    CVexoApp& operator=(const CVexoApp&) = delete;

    // True to run; false ends the program.
    bool InitInstance(CAppHost& host);
    // Called once the main loop has ended; returns the process exit code.
    int ExitInstance(int loopExitCode = 0);

    int FindFreeWorkerSlot() { return m_workerSlots.FindFreeWorkerSlot(); }
    // Sets m_bUpdateDue when the last update offer is more than ten days old.
    void IsUpdateDue();

    CMainFrame* MainFrame() { return m_pMainFrame.get(); }
    // Starts a transfer worker of the kind on its own thread.
    platform::StartedThread StartWorker(EWorkerKind kind, platform::HWND mainWindow);
    platform::Registry& Registry() { return m_registry; }

    std::string m_csProgramPath;
    std::string m_csWorkingFolder;   // with a trailing slash
    std::string m_csDataDir;         // every folder path below ends with a slash
    std::string m_csLogsDir;
    std::string m_csUpdateDir;
    std::string m_csTempDir;
    std::string m_csHelpPath;
    bool m_bWinsockReady = false;
    bool m_bClosing = false;        // guarded by "ProtectFindResult"
    bool m_bUpdateDue = false;
    // Whether the transfers list starts its unfinished transfers again when it loads at
    // start-up; a front end that only reads the list clears it before InitInstance.
    bool m_bResumeTransfersAtStart = true;
    // Starts the transfer workers; InitInstance hands it to the main frame. Empty: the
    // program's own workers (StartWorker).
    CWorkerFactory m_workerFactory;
    CWorkerSlotTable m_workerSlots;
    platform::HWND m_hwndTransfers = 0;
    platform::HWND m_hwndFindResult = 0;
    platform::HWND m_hwndLogWindow = 0;

private:
    void FixWorkingFolder();
    void KeepExePath();

    platform::Registry m_registry;
    std::unique_ptr<platform::NamedMutex> m_programMutex;
    std::unique_ptr<CMainFrame> m_pMainFrame;
};

// The running application object, or nullptr.
CVexoApp* GetApp();
