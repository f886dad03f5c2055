#pragma once
// The program's core run headless for one command: the application object with its main
// frame, transfers list, database, workers and queue, on this thread as the
// user-interface thread. Transfers are handed to the main frame as a pane does; the
// notifications the frame relays to the transfers list pass through this object on
// their way, so it can show progress and tell when every transfer has ended.

#include <csignal>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/app_host.h"
#include "app/vexo_app.h"
#include "cli/progress_display.h"
#include "platform/window_table.h"
#include "transfers/transfer_record.h"

class CTransfersList;

namespace cli {

// Set by SIGINT, SIGTERM and SIGHUP; the run stops at the next look.
extern volatile std::sig_atomic_t g_nInterruptSignal;
void InstallInterruptHandlers();

// The working folder the program uses, or KORVALO_HOME when it is set: the data folder
// beside the program file (the program sits beside this tool), or $XDG_DATA_HOME/Korvalo.
std::string ProgramPathForData();

class CCliSession : public platform::WindowTarget {
public:
    explicit CCliSession(CProgressDisplay& display);
    ~CCliSession() override;

    // Starts the application. resumeStored: the transfers list starts every unfinished
    // stored transfer as it loads (the program's start-up).
    bool Start(bool resumeStored, std::string& error);
    // Ends the application (the transfers list is written back); returns once done.
    void Stop();

    CVexoApp& App() { return *m_pApp; }
    CTransfersList& Transfers();

    // The stored row for the transfer, nullptr when there is none.
    const CTransferRecord* StoredTransfer(const CTransferRecord& record);

    // Hands the record to the main frame to start now (or queue).
    void Submit(const CTransferRecord& record);
    // Serves the workers until every worker has ended and nothing is queued. False when
    // interrupted.
    bool RunUntilIdle();

    // Whether every transfer of the run completed; failed lists the ones that did not.
    bool AllComplete(std::vector<std::string>& failed) const;
    std::size_t CompletedCount() const { return m_nCompleted; }

    platform::LRESULT WindowProc(platform::Message& msg) override;

private:
    struct CTracked {
        std::string csName;
        std::string csFrom;
        std::string csWhere;
        bool bComplete = false;
        bool bFailed = false;
    };
    // The transfer the record belongs to: same name and the same source or destination
    // (a folder job's destination and a server-to-server copy's source change on the way).
    CTracked& Tracked(const CTransferRecord& record);
    void Track(const CTransferRecord& record, int event);
    bool WorkersEnded();

    CProgressDisplay& m_display;
    CAppHost m_host;
    std::unique_ptr<CVexoApp> m_pApp;
    platform::HWND m_hWnd = 0;
    platform::HWND m_hwndList = 0;
    std::vector<CTracked> m_tracked;
    std::size_t m_nCompleted = 0;
    bool m_bStarted = false;
};

}  // namespace cli
