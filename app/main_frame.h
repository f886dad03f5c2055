#pragma once
// The main frame: the coordination point of the program on the user-interface thread.
// It makes the program's folders, opens the database, starts the find-result thread,
// receives every report of the workers, keeps the queue of transfers that wait for a
// worker, starts transfer workers within the ten slots, routes transfer events to the
// transfers list and the owning pane, and orders the shutdown. It has no widgets; the
// Qt main window (or a headless host) forwards to it.
//
// Payloads of the messages it handles (see net/messages.h for the numbers):
// - a record a worker or pane sends (WM_TRANSFER_EVENT, WM_QUEUE_TRANSFER,
//   WM_DEQUEUE_TRANSFER, WM_NOTIFY_*): wParam points to the sender's CTransferRecord,
//   which stays the sender's;
// - WM_RESUME_REQUEST: the CTransferRecord is msg.payload and the frame takes it;
// - WM_GET_QUEUED_TRANSFER: a CServerCriteria (app/worker_factory.h) as msg.payload;
//   the answer, a one-record CTransferRecordArray, comes back in msg.reply (result 1),
//   or nothing (result 0);
// - WM_ADD_GNUTELLA_HOST: a TextPayload with the host;
// - WM_GNUTELLA_QUERY_LOOKUP: lParam is the kind; kinds 1 and 2 take an index in wParam
//   and answer in msg.reply (a TextPayload, a one-record CTransferRecordArray; result 1),
//   kind 3 takes a TextPayload and answers the index or -1.
// The frame posts WM_START_TRANSFER to a new worker with a one-record array, and
// WM_RESUME_TRANSFER to a pane window with the record itself as payload.

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "app/worker_factory.h"
#include "platform/thread.h"
#include "platform/waitable.h"
#include "platform/window_table.h"
#include "transfers/transfer_database.h"
#include "transfers/transfer_record.h"

class CTransfersList;
class CVexoApp;

// The searches of the peer network: each a text with its template record (size limits,
// exact phrase). The network threads reach it by index through WM_GNUTELLA_QUERY_LOOKUP.
class CSearchRegistry {
public:
    void Add(std::string text, CTransferRecord templateRecord);
    void RemoveAt(std::size_t index);
    // Index of the first entry with exactly this text, -1 when there is none.
    int Find(const std::string& text) const;
    std::size_t GetSize() const { return m_entries.size(); }
    const std::string& Text(std::size_t index) const { return m_entries[index].csText; }
    const CTransferRecord& Template(std::size_t index) const { return m_entries[index].templateRecord; }

private:
    struct Entry {
        std::string csText;
        CTransferRecord templateRecord;
    };
    std::vector<Entry> m_entries;
};

class CMainFrame : public platform::WindowTarget {
public:
    explicit CMainFrame(CVexoApp& app);
    ~CMainFrame() override;

    // The frame's creation: window handle, folders, database, find-result thread,
    // clean-up of the temporary folder, then the transfers list (which loads the stored
    // transfers). False when the database cannot be opened.
    bool OnCreate();
    // Closing: saves the host cache, sets the application's closing flag, then destroys
    // the frame.
    void OnClose();
    // Destruction: ends the transfers list (its last save written), waits for the
    // database to be idle, stops the find-result thread and waits for it, unregisters the
    // window and asks the user-interface loop to quit.
    void OnDestroy();

    platform::LRESULT WindowProc(platform::Message& msg) override;

    // Starts a worker for the record in a free slot (the worker gets WM_START_TRANSFER
    // with a copy). With all ten slots busy the record is queued (its state becomes 3)
    // and the result is 0; otherwise 1, also when no worker serves the record or none
    // could be started.
    platform::LRESULT StartTransferWorker(CTransferRecord& record);
    // Index of the queued entry that stands for the same transfer, -1 when none.
    int FindQueued(const CTransferRecord& record) const;
    // Index of the queued entry a worker on that server should take next: the first
    // folder that matches, otherwise the last matching entry; -1 when none matches.
    int FindQueuedForServer(const CServerCriteria& criteria) const;
    // Drops the queued entry that stands for the record, noting it in the transfer log.
    void RemoveFromQueue(const CTransferRecord& record);

    platform::HWND m_hWnd = 0;
    CTransferDatabase m_database;
    CTransferRecordArray m_pendingQueue;
    std::vector<std::string> m_aLearnedHosts;
    CSearchRegistry m_searchRegistry;
    platform::Event m_hDatabaseIdle{true, true};
    bool m_bDestroyed = false;
    platform::StartedThread m_findResultThread;
    // Starts the transfer workers; without one, StartTransferWorker starts nothing.
    CWorkerFactory m_workerFactory;
    // The transfers list, from the end of OnCreate until OnDestroy.
    std::unique_ptr<CTransfersList> m_pTransfersList;

private:
    platform::LRESULT OnTransferEvent(CTransferRecord& record, platform::LPARAM code);
    platform::LRESULT OnQueueTransfer(CTransferRecord& record, bool addRow);
    platform::LRESULT OnGetQueuedTransfer(platform::Message& msg);
    platform::LRESULT OnResumeRequest(platform::Message& msg);
    platform::LRESULT OnStartNextQueued();
    platform::LRESULT OnGnutellaQueryLookup(platform::Message& msg);
    // A finished download of the update check (its description or the updater), which
    // the update check handles and no pane shows. Not handled yet: answers 0.
    platform::LRESULT OnUpdateFileComplete(const CTransferRecord& record);
    // The state the transfers list shows for the record, -1 when it has no row (or
    // there is no list).
    platform::LRESULT TransfersListState(CTransferRecord& record);

    CVexoApp& m_app;
};
