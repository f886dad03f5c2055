#pragma once
// The protocol engine every transfer worker and every browsing connection runs: one
// current job (element 0 of m_aJob), a data thread for its data phase, paced progress
// reports to the main frame, and jobs that cannot run now handed back to the main
// frame's queue. It is driven only by thread messages.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "net/command_connection.h"
#include "platform/thread.h"
#include "transfers/transfer_record.h"

// Transfer states as the engine sets them.
inline constexpr std::uint16_t STATE_PAUSED = 1;
inline constexpr std::uint16_t STATE_RUNNING = 2;
inline constexpr std::uint16_t STATE_QUEUED = 3;
inline constexpr std::uint16_t STATE_COMPLETE = 4;
inline constexpr std::uint16_t STATE_FAILED = 5;

bool ContainsText(const std::string& text, const char* part);
std::string UpperAscii(std::string text);

class CCommandProtocol : public CCommandConnection {
public:
    CCommandProtocol();
    ~CCommandProtocol() override;

    bool InitInstance() override;
    // The dispatcher: pending refreshes and "up" requests first, messages re-posted while
    // not ready, handler exceptions caught.
    bool PreTranslateMessage(platform::Message& msg) override;
    int ExitInstance() override;

    // The operations a protocol or a client replaces. Results: 1 success, 0 failure.
    virtual int RunJob();
    virtual bool IsHostRegistered(const std::string&) { return false; }
    virtual int ParseAddress(const std::string& url, std::string& host, std::string& port);
    virtual int OnTransferError();
    virtual int OnPauseTransfer(platform::Message& msg);
    virtual int OnTransferProgress(std::uint64_t bytes);
    virtual int OnDataSocket(SOCKET socket);
    virtual int OnFileOperation(platform::Message&) { return 0; }
    virtual int OnResumeTransfer(std::unique_ptr<CTransferRecordArray> jobs);
    virtual int OnStartTransfer(platform::Message& msg);
    virtual int OnConnectSession(platform::HWND owner);
    virtual int OnRefreshList() { return 0; }
    virtual int OnDirUp() { return 0; }
    virtual int OnMakeDir(platform::Message&) { return 0; }
    virtual int OnDownloadEnd();
    virtual int OnStopWorker();
    virtual int OnConnectionClosed(bool) { return 1; }
    virtual int OnTransferComplete();
    virtual int OnContinueJob() { return 1; }
    virtual int Connect(const std::string&) { return 0; }
    // 0 while the data thread runs past ms; otherwise the pending end of the data phase
    // is handled (OnDownloadEnd's result) or 1.
    virtual int WaitForDataThread(std::uint32_t ms);

    // Writes a command or reply line to the log window under label (m_csLabel when empty).
    bool LogLine(const std::string& text, const std::string& label = {});
    // Hands a record to the main frame's queue (and the transfers list); false for a paused
    // record or without a main frame.
    bool AddToGlobalQueue(CTransferRecord& record);
    // Ends the job's data socket; a running job then takes the state and is reported.
    bool SetStateAndNotify(std::uint16_t state);
    bool SendToOwner(std::uint32_t message, platform::WPARAM wParam, platform::LPARAM lParam);
    platform::LRESULT SendToFrame(std::uint32_t message, CTransferRecord& record, platform::LPARAM lParam);
    bool IsSameTransfer(const CTransferRecord& record) const;
    void NormaliseProtocols();
    // Ends the thread's loop (WM_QUIT to the own queue).
    void EndThread();
    CTransferRecord* Job() { return m_aJob.IsEmpty() ? nullptr : &m_aJob[0]; }
    const CTransferRecord* Job() const { return m_aJob.IsEmpty() ? nullptr : &m_aJob[0]; }
    // Writes to the current job's transfer log.
    void JobLog(const std::string& text);

    std::string m_csLastLine;
    std::string m_csUser;
    std::string m_csPassword;
    std::string m_csDestinProtocol;
    std::string m_csUrl;
    CTransferRecordArray m_aJob;
    platform::ThreadHandle m_hDataThread;   // empty while no data thread runs
    platform::ThreadId m_dwDataThreadId = 0;
    bool m_bAutoMode = false;
    platform::HWND m_hOwnerWnd = 0;
    std::string m_csLabel;
    bool m_bReady = true;
    bool m_bLogToWindow = true;
    platform::ThreadId m_dwOwnThreadId = 0;
    std::string m_csTempDir;   // the application's temporary folder, with a trailing slash

protected:
    // Starts the data thread for the current job; false when it could not start.
    bool StartDataThread();
    // Takes the progress messages waiting in the queue into the current job.
    void HandleWaitingProgress();

private:
    bool Dispatch(platform::Message& msg);
    bool TakePriorityMessage(platform::Message& msg, std::uint32_t wanted);
    void ResumeTransferMessage(platform::Message& msg);

    using Clock = std::chrono::steady_clock;
    Clock::time_point m_ftLastReport;
    Clock::time_point m_reportDue;
    std::uint64_t m_qwLastReported = 0;
};
