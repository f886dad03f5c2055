#pragma once
// The transfers list: every transfer the user started, one row per record, on the
// user-interface thread and without widgets. It turns the workers' notifications
// (relayed by the main frame as WM_TRANSFERS_UPDATE) into a state and a status text per
// row, offers Start, Pause, Delete and Redownload, restarts unfinished transfers when it
// loads, and writes its records back to the Transfers table through the find-result
// thread.
//
// Usage:
//   The main frame creates it at the end of CMainFrame::OnCreate (the database is open,
//   the find-result thread runs): CMainFrame::m_pTransfersList. It registers itself in
//   the window table and becomes the application's m_hwndTransfers, then loads the
//   stored transfers (restarting them unless CVexoApp::m_bResumeTransfersAtStart was
//   cleared before InitInstance). The frame tears it down first in OnDestroy.
//
//     CTransfersList& list = *app.MainFrame()->m_pTransfersList;
//     for (std::size_t i = 0; i < list.GetCount(); ++i)
//         print(list.RowText(i, CTransfersList::COLUMN_NAME), list.StatusText(i), ...);
//     list.Start({0, 2});                 // commands take row indexes
//     every SAVE_INTERVAL_MS: list.OnTimer(CTransfersList::SAVE_TIMER_ID);
//
//   Row i shows Row(i) (element i of m_aTransfers). Call everything on the
//   user-interface thread; keep no reference to a row across a command, since rows move
//   when others are removed.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/window_table.h"
#include "transfers/transfer_record.h"

class CMainFrame;
class CVexoApp;

// Transfer states (nTransfersState).
inline constexpr std::uint16_t TRANSFER_STATE_NEW = 0;
inline constexpr std::uint16_t TRANSFER_STATE_PAUSED = 1;
inline constexpr std::uint16_t TRANSFER_STATE_RUNNING = 2;
inline constexpr std::uint16_t TRANSFER_STATE_QUEUED = 3;
inline constexpr std::uint16_t TRANSFER_STATE_COMPLETE = 4;
inline constexpr std::uint16_t TRANSFER_STATE_FAILED = 5;
inline constexpr std::uint16_t TRANSFER_STATE_STARTING = 6;

// The event codes of peer downloads and pausing (the others are in net/messages.h).
inline constexpr int TRANSFER_EVENT_PAUSED = 3;
inline constexpr int TRANSFER_EVENT_NEXT_SOURCE = 5;
inline constexpr int TRANSFER_EVENT_SOURCE_CONNECTED = 6;
inline constexpr int TRANSFER_EVENT_OUT_OF_SOURCES = 7;

// Answers of the already-exists question.
inline constexpr int ASK_OVERWRITE = 1;
inline constexpr int ASK_CANCEL = 2;
inline constexpr int ASK_NOT_THERE = 4;
inline constexpr int ASK_SYNCHRONIZE = 8;

// Display texts of the list's columns.
namespace transferstext {

// 1234567 -> "1,234,567".
std::string GroupThousands(std::uint64_t value);
// Bytes as kilobytes: 0 -> "0 Kb", 1 -> "1 Kb", 1048576 -> "1,025 Kb".
std::string FormatSizeKb(std::uint64_t bytes);
// "1,025 Kb ( 50% )": 100% exactly when done equals size (a 0-byte file included).
std::string FormatTransferred(std::uint64_t downloaded, std::uint64_t size);
// Kilobytes per second of a rate in bytes per second; a negative rate shows 0.
std::string FormatRate(std::int64_t bytesPerSecond);
// Hours, minutes, seconds as "%s:%s:%s", each part "0" for 0, "0N" for 1 to 9, else N:
// 3725 -> "01:02:05", 60 -> "0:01:0", 36000 -> "10:0:0".
std::string FormatTimeLeftSeconds(std::uint64_t seconds);
// The time the rest of the file takes at the rate (a rate below 1 counts as 1).
std::string FormatTimeLeft(std::uint64_t size, std::uint64_t downloaded, std::int64_t bytesPerSecond);

}  // namespace transferstext

class CTransfersList : public platform::WindowTarget {
public:
    enum EColumn {
        COLUMN_NAME,
        COLUMN_SIZE,
        COLUMN_STATUS,
        COLUMN_TRANSFERRED,
        COLUMN_SOURCE,
        COLUMN_DESTINATION,
        COLUMN_OPERATION,
        COLUMN_RATE,
        COLUMN_TIME_LEFT,
        COLUMN_COUNT
    };
    static const char* ColumnHeader(int column);

    // The periodic save: the host calls OnTimer(SAVE_TIMER_ID) every SAVE_INTERVAL_MS.
    static constexpr int SAVE_TIMER_ID = 10;
    static constexpr std::uint32_t SAVE_INTERVAL_MS = 10000;

    // Answers the already-exists question for a record: ASK_OVERWRITE, ASK_CANCEL or
    // ASK_SYNCHRONIZE. text is the question, title the dialog's title.
    using AskIfExistsHandler =
        std::function<int(const CTransferRecord& record, const std::string& text, const std::string& title)>;

    // Registers the window and makes it the application's m_hwndTransfers. Loads nothing.
    CTransfersList(CVexoApp& app, CMainFrame& frame);
    // Unregisters the window (and clears m_hwndTransfers when it is still this one).
    ~CTransfersList() override;
    CTransfersList(const CTransfersList&) = delete;
    CTransfersList& operator=(const CTransfersList&) = delete;

    platform::LRESULT WindowProc(platform::Message& msg) override;

    // Rows.
    std::size_t GetCount() const { return m_aTransfers.GetSize(); }
    const CTransferRecord& Row(std::size_t row) const { return m_aTransfers[row]; }
    const CTransferRecordArray& Transfers() const { return m_aTransfers; }
    const std::string& StatusText(std::size_t row) const { return m_aRows[row].csStatus; }
    // The text of a cell as the list shows it; empty for a row or column out of range.
    std::string RowText(std::size_t row, int column) const;

    // The first row that stands for the record, -1 when none. Extension blocks of both
    // records are cut to 41 characters on the way.
    int FindTransfer(CTransferRecord& record);
    // 1 when a row shows the record afterwards (stored in the table when new), 0 for
    // folders and group members. Sets the record's state to 3 unless it is 1 or 4.
    int AddTransfer(CTransferRecord& record);
    // Asks the main frame to start the row's record (state 6). direct: start now;
    // otherwise only when the frame still has it queued (a dropped request changes nothing).
    void StartTransfer(std::size_t row, bool direct);
    // Takes the row out of the frame's queue, stops its worker, deletes it from the table
    // and from the list.
    void RemoveTransfer(std::size_t row);
    // Posts a copy of the rows (and of the frame's queued folders) to the find-result
    // thread, which writes them over their stored rows. False when it could not be posted.
    bool SaveTransfers();
    // Reads the Transfers table again: folders go to the frame's queue, the rest become
    // rows; with startAgain every row neither paused nor complete is started again.
    void LoadTransfers(bool startAgain = true);
    // A worker's notification for the record; the result of WM_TRANSFERS_UPDATE.
    platform::LRESULT OnTransferEvent(CTransferRecord& record, int event);
    // The state of the row that stands for the record, -1 when none.
    int GetState(CTransferRecord& record);

    // ASK_NOT_THERE when no name in paneNames equals the record's file name (exact case);
    // otherwise the handler's answer (ASK_OVERWRITE without a handler).
    int AskIfExists(const std::vector<std::string>& paneNames, const CTransferRecord& record) const;
    void SetAskIfExistsHandler(AskIfExistsHandler handler) { m_askIfExists = std::move(handler); }

    // Commands on row indexes (indexes out of range are ignored).
    void Start(const std::vector<std::size_t>& rows);
    void Pause(const std::vector<std::size_t>& rows);
    // Under "TransfersQueueMutex" then "UPDATE"; an emptied list empties the frame's queue
    // too; then SaveTransfers.
    void Delete(const std::vector<std::size_t>& rows);
    void Redownload(const std::vector<std::size_t>& rows);
    void RemoveAll();

    void OnTimer(int timerId);
    // Loading starts at most START_BATCH unfinished rows at once, so that thousands of
    // them do not hold the user-interface thread; the host calls this while it returns
    // true (the save timer calls it too). Rows deleted or started meanwhile are skipped.
    bool StartWaiting();
    static constexpr std::size_t START_BATCH = 100;
    // The end of the list: the last save is written before this returns, then the workers
    // of running rows are told to quit and waited for (2000 ms each). Called by the frame
    // before it stops the find-result thread; later calls do nothing.
    void OnDestroy();

    platform::HWND m_hWnd = 0;

private:
    // What a row shows beside its record.
    struct CRowTexts {
        std::string csStatus;
        std::string csSource;
        std::string csDestination;
        std::string csRate;
        std::string csTimeLeft;
    };

    bool RowExists(std::size_t row) const { return row < m_aTransfers.GetSize(); }
    void AppendRow(const CTransferRecord& record);
    void EraseRow(std::size_t row);
    void SetStatus(std::size_t row, const std::string& text) { m_aRows[row].csStatus = text; }
    // Row copy becomes the record, the row's display texts stay.
    void TakeFullCopy(std::size_t row, const CTransferRecord& record);
    // Shows the record's state and makes every state but 1 and 4 queued (AddTransfer's end).
    void ShowAdded(std::size_t row, CTransferRecord& record);
    void StopWorker(const CTransferRecord& record);
    bool SaveTransfersWaiting(bool waitUntilWritten);
    std::vector<std::size_t> ValidRowsDescending(const std::vector<std::size_t>& rows) const;

    CVexoApp& m_app;
    CMainFrame& m_frame;
    CTransferRecordArray m_aTransfers;
    std::vector<CRowTexts> m_aRows;   // same count and order as m_aTransfers
    AskIfExistsHandler m_askIfExists;
    // Unfinished rows loaded but not started yet, oldest first.
    std::vector<CTransferRecord> m_aWaitingStarts;
    bool m_bDestroyed = false;
};
