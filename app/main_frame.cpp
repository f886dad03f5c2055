#include "app/main_frame.h"

#include <cctype>
#include <mutex>

#include "app/app_host.h"
#include "app/logging.h"
#include "app/temp_folder_cleanup.h"
#include "app/transfers_list.h"
#include "app/vexo_app.h"
#include "net/messages.h"
#include "platform/named_mutex.h"
#include "platform/system.h"
#include "transfers/find_result_thread.h"

namespace {

constexpr platform::WPARAM HOST_CACHE_SAVE_ALL = static_cast<platform::WPARAM>(-1);
constexpr std::uint16_t STATE_PAUSED = 1;
constexpr std::uint16_t STATE_QUEUED = 3;

// The files the update check downloads: its description and the updater.
constexpr const char* UPDATE_FOLDER = "update";
constexpr const char* UPDATE_DESCRIPTION_FILE = "update.txt";
constexpr const char* UPDATER_FILE = "Updrin";

enum class EPane { None, Local, Remote };

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Which explorer pane shows the transfer: the remote pane when the source is FTP, the
// local pane when it is a local file, provided the destination is FTP or a local file.
EPane OwningPane(const CTransferRecord& record)
{
    const std::string& source = record.csProtocol;
    const std::string& destination = record.csDestinProtocol;
    if (Contains(source, "FTP") && Contains(destination, "FTP"))
        return EPane::Remote;
    if (source == "FILE" && Contains(destination, "FTP"))
        return EPane::Local;
    if (Contains(source, "FTP") && destination == "FILE")
        return EPane::Remote;
    if (source == "FILE" && destination == "FILE")
        return EPane::Local;
    return EPane::None;
}

platform::HWND PaneWindow(const CTransferRecord& record, EPane pane)
{
    switch (pane) {
    case EPane::Local:
        return record.m_hwndLocalPane;
    case EPane::Remote:
        return record.m_hwndRemotePane;
    case EPane::None:
        break;
    }
    return 0;
}

bool IsFolder(const CTransferRecord& record)
{
    return !record.FtpAttributes.empty() && std::toupper(static_cast<unsigned char>(record.FtpAttributes[0])) == 'D';
}

platform::WPARAM RecordParam(CTransferRecord& record) { return reinterpret_cast<platform::WPARAM>(&record); }

CTransferRecord* SentRecord(const platform::Message& msg) { return reinterpret_cast<CTransferRecord*>(msg.wParam); }

std::unique_ptr<CTransferRecord> TakeRecordPayload(platform::Message& msg)
{
    auto* record = dynamic_cast<CTransferRecord*>(msg.payload.get());
    if (!record)
        return nullptr;
    msg.payload.release();
    return std::unique_ptr<CTransferRecord>(record);
}

std::unique_ptr<CTransferRecordArray> OneRecordArray(const CTransferRecord& record)
{
    auto array = std::make_unique<CTransferRecordArray>();
    array->Add(record);
    return array;
}

}  // namespace

void CSearchRegistry::Add(std::string text, CTransferRecord templateRecord)
{
    m_entries.push_back({std::move(text), std::move(templateRecord)});
}

void CSearchRegistry::RemoveAt(std::size_t index)
{
    if (index < m_entries.size())
        m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(index));
}

int CSearchRegistry::Find(const std::string& text) const
{
    for (std::size_t i = 0; i < m_entries.size(); ++i)
        if (m_entries[i].csText == text)
            return static_cast<int>(i);
    return -1;
}

CMainFrame::CMainFrame(CVexoApp& app) : m_app(app) {}

CMainFrame::~CMainFrame()
{
    m_pTransfersList.reset();
    if (m_hWnd)
        platform::UnregisterWindow(m_hWnd);
    // Peer-host bookkeeping reads m_aLearnedHosts under this mutex: let a report in
    // progress end. The application has already let go of this frame, so a later report
    // finds no frame to read.
    platform::NamedMutex learnedHosts("AddNewGnutellaIP");
    std::lock_guard wait(learnedHosts);
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

    // Last: loading restarts transfers, which needs the folders, the database and the
    // find-result thread.
    m_pTransfersList = std::make_unique<CTransfersList>(m_app, *this);
    m_pTransfersList->LoadTransfers(m_app.m_bResumeTransfersAtStart);
    return true;
}

void CMainFrame::OnClose()
{
    platform::Message saveHostCache;
    saveHostCache.message = WM_GNUTELLA_HOST_CACHE;
    saveHostCache.wParam = HOST_CACHE_SAVE_ALL;
    WindowProc(saveHostCache);
    {
        platform::NamedMutex protect("ProtectFindResult");
        std::lock_guard lock(protect);
        m_app.m_bClosing = true;
    }
    OnDestroy();
}

void CMainFrame::OnDestroy()
{
    if (m_bDestroyed)
        return;
    // The list's last save goes through the find-result thread, so the list ends first.
    if (m_pTransfersList) {
        m_pTransfersList->OnDestroy();
        m_pTransfersList.reset();
    }
    if (!m_findResultThread.handle)
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

    case WM_TRANSFER_EVENT:
        return SentRecord(msg) ? OnTransferEvent(*SentRecord(msg), msg.lParam) : 0;
    case WM_QUEUE_TRANSFER:
        return SentRecord(msg) ? OnQueueTransfer(*SentRecord(msg), msg.lParam != 0) : 0;
    case WM_DEQUEUE_TRANSFER:
        if (SentRecord(msg))
            RemoveFromQueue(*SentRecord(msg));
        return 0;
    case WM_GET_QUEUED_TRANSFER:
        return OnGetQueuedTransfer(msg);
    case WM_NOTIFY_PROGRESS:
        return SentRecord(msg) ? OnTransferEvent(*SentRecord(msg), TRANSFER_EVENT_PROGRESS) : 0;
    case WM_NOTIFY_FAILED:
        return SentRecord(msg) ? OnTransferEvent(*SentRecord(msg), TRANSFER_EVENT_FAILED) : 0;
    case WM_NOTIFY_COMPLETE:
        if (SentRecord(msg))
            OnTransferEvent(*SentRecord(msg), TRANSFER_EVENT_COMPLETE);
        return 0;
    case WM_NOTIFY_DATA_START:
        if (SentRecord(msg))
            OnTransferEvent(*SentRecord(msg), TRANSFER_EVENT_DATA_START);
        return 0;
    case WM_RESUME_REQUEST:
        return OnResumeRequest(msg);
    case WM_START_NEXT_QUEUED:
        return OnStartNextQueued();

    case WM_TRANSFERS_SAVE_OR_LOAD:
        return platform::IsWindow(m_app.m_hwndTransfers) ? platform::SendMessage(m_app.m_hwndTransfers, msg) : 0;

    case WM_ADD_GNUTELLA_HOST:
        if (auto* host = msg.PayloadAs<platform::TextPayload>())
            m_aLearnedHosts.push_back(host->m_csText);
        return 0;
    case WM_GNUTELLA_QUERY_LOOKUP:
        return OnGnutellaQueryLookup(msg);
    // The peer network is not part of the program yet: the network is not started and
    // the host cache file is left as it is.
    case WM_START_P2P:
        return 0;
    case WM_GNUTELLA_HOST_CACHE:
        return 1;

    default:
        return 0;
    }
}

platform::LRESULT CMainFrame::OnTransferEvent(CTransferRecord& record, platform::LPARAM code)
{
    platform::LRESULT answer = 0;
    if (platform::IsWindow(m_app.m_hwndTransfers)) {
        platform::Message update;
        update.message = WM_TRANSFERS_UPDATE;
        update.wParam = RecordParam(record);
        update.lParam = code;
        answer = platform::SendMessage(m_app.m_hwndTransfers, update);
    }

    if (code == TRANSFER_EVENT_COMPLETE && record.m_hwndRemotePane == m_hWnd && m_hWnd != 0) {
        bool description = record.csFolder == UPDATE_FOLDER && record.csFileName == UPDATE_DESCRIPTION_FILE;
        if (description || record.csFileName == UPDATER_FILE)
            return OnUpdateFileComplete(record);
    }

    platform::HWND pane = PaneWindow(record, OwningPane(record));
    // A record that names the frame as its pane (the update check's) is not sent back here.
    if (pane != m_hWnd && platform::IsWindow(pane))
        platform::SendMessage(pane, WM_TRANSFER_EVENT, RecordParam(record), TRANSFER_EVENT_CHANGED);
    return answer;
}

platform::LRESULT CMainFrame::OnUpdateFileComplete(const CTransferRecord&) { return 0; }

platform::LRESULT CMainFrame::OnQueueTransfer(CTransferRecord& record, bool addRow)
{
    record.nTransfersState = STATE_QUEUED;
    RemoveFromQueue(record);
    AddTransferLog(record, "Add to queue for destination: " + record.csRealDownloadTo);
    m_pendingQueue.Add(record);
    if (platform::IsWindow(m_app.m_hwndTransfers)) {
        platform::LPARAM code = TRANSFER_EVENT_QUEUED;
        if (addRow) {
            platform::SendMessage(m_app.m_hwndTransfers, WM_TRANSFERS_ADD, RecordParam(record), 0);
            code = TRANSFER_EVENT_CHANGED;
        }
        OnTransferEvent(record, code);
    }
    return 0;
}

int CMainFrame::FindQueued(const CTransferRecord& record) const
{
    for (std::size_t i = 0; i < m_pendingQueue.GetSize(); ++i) {
        const CTransferRecord& entry = m_pendingQueue[i];
        bool same = entry.csFileName == record.csFileName && entry.csRealDownloadTo == record.csRealDownloadTo &&
                    entry.csUser == record.csUser && entry.csUserSource == record.csUserSource &&
                    entry.csFullFromAddress == record.csFullFromAddress &&
                    entry.csPasswordSource == record.csPasswordSource && entry.csPassword == record.csPassword;
        bool sameBlock = !record.csExBlock.empty() && entry.csExBlock == record.csExBlock &&
                         entry.csDownloadTo == record.csDownloadTo;
        if (same || sameBlock)
            return static_cast<int>(i);
    }
    return -1;
}

int CMainFrame::FindQueuedForServer(const CServerCriteria& criteria) const
{
    int last = -1;
    for (std::size_t i = 0; i < m_pendingQueue.GetSize(); ++i) {
        if (!criteria.Matches(m_pendingQueue[i]))
            continue;
        if (IsFolder(m_pendingQueue[i]))
            return static_cast<int>(i);
        last = static_cast<int>(i);
    }
    return last;
}

void CMainFrame::RemoveFromQueue(const CTransferRecord& record)
{
    int index = FindQueued(record);
    if (index < 0) {
        AddTransferLog(record, "not removed from queue");
        return;
    }
    const CTransferRecord& entry = m_pendingQueue[static_cast<std::size_t>(index)];
    AddTransferLog(entry, "removed from queue\r\nDestination: " + entry.csRealDownloadTo);
    m_pendingQueue.RemoveAt(static_cast<std::size_t>(index));
}

platform::LRESULT CMainFrame::TransfersListState(CTransferRecord& record)
{
    if (!platform::IsWindow(m_app.m_hwndTransfers))
        return -1;
    return platform::SendMessage(m_app.m_hwndTransfers, WM_TRANSFERS_GET_STATE, RecordParam(record), 0);
}

platform::LRESULT CMainFrame::OnGetQueuedTransfer(platform::Message& msg)
{
    const auto* criteria = msg.PayloadAs<CServerCriteria>();
    if (!criteria)
        return 0;
    for (;;) {
        int index = FindQueuedForServer(*criteria);
        if (index < 0)
            return 0;
        CTransferRecord& entry = m_pendingQueue[static_cast<std::size_t>(index)];
        // Paused in the list since it was queued: it is no longer waiting for a worker.
        if (TransfersListState(entry) == STATE_PAUSED) {
            m_pendingQueue.RemoveAt(static_cast<std::size_t>(index));
            continue;
        }
        // The entry stays queued until the worker takes it over with WM_DEQUEUE_TRANSFER.
        msg.reply = OneRecordArray(entry);
        return 1;
    }
}

platform::LRESULT CMainFrame::OnResumeRequest(platform::Message& msg)
{
    std::unique_ptr<CTransferRecord> record = TakeRecordPayload(msg);
    if (!record)
        return 0;
    const bool direct = msg.lParam != 0;
    // A request to start a queued record that has left the queue meanwhile is void.
    if (!direct && FindQueued(*record) < 0)
        return 0;

    const std::string& temp = m_app.m_csTempDir;
    if (!temp.empty() && Contains(record->csFullFromAddress, temp) && Contains(record->csDownloadTo, temp))
        record->csDownloadTo = record->csRealDownloadTo;
    AddTransferLog(*record, "Start resume\r\nDestination: " + record->csRealDownloadTo);
    RemoveFromQueue(*record);

    if (record->csProtocol == "GNUTELLA" && record->csDestinProtocol == "FILE") {
        // Peer downloads are run by the find-result thread; a failed post frees the job.
        platform::PostThreadMessage(m_findResultThread.id, WM_RESUME_TRANSFER, 0, 0, OneRecordArray(*record));
        return 1;
    }
    if (direct)
        return StartTransferWorker(*record);

    EPane pane = OwningPane(*record);
    if (pane == EPane::None)
        return 0;
    platform::HWND window = PaneWindow(*record, pane);
    if (window != m_hWnd && platform::IsWindow(window)) {
        platform::PostMessage(window, WM_RESUME_TRANSFER, 0, 0, std::move(record));
        return 1;
    }
    return StartTransferWorker(*record);
}

platform::LRESULT CMainFrame::StartTransferWorker(CTransferRecord& record)
{
    int slot = m_app.FindFreeWorkerSlot();
    if (slot < 0) {
        OnQueueTransfer(record, false);
        return 0;
    }
    std::optional<EWorkerKind> kind = WorkerKindFor(record);
    if (!kind || !m_workerFactory)
        return 1;
    platform::StartedThread worker = m_workerFactory(*kind, m_hWnd);
    if (worker.id == 0 || !worker.handle)
        return 1;
    m_app.m_workerSlots.Assign(slot, worker);
    platform::PostThreadMessage(worker.id, WM_START_TRANSFER, 0, 0, OneRecordArray(record));
    return 1;
}

platform::LRESULT CMainFrame::OnStartNextQueued()
{
    if (m_pendingQueue.IsEmpty())
        return -1;
    CTransferRecord next = m_pendingQueue[0];
    m_pendingQueue.RemoveAt(0);
    StartTransferWorker(next);
    return 0;
}

platform::LRESULT CMainFrame::OnGnutellaQueryLookup(platform::Message& msg)
{
    const std::size_t index = msg.wParam;
    switch (msg.lParam) {
    case 1:
        if (index >= m_searchRegistry.GetSize())
            return 0;
        msg.reply = std::make_unique<platform::TextPayload>(m_searchRegistry.Text(index));
        return 1;
    case 2:
        if (index >= m_searchRegistry.GetSize())
            return 0;
        msg.reply = OneRecordArray(m_searchRegistry.Template(index));
        return 1;
    case 3: {
        const auto* text = msg.PayloadAs<platform::TextPayload>();
        return text ? m_searchRegistry.Find(text->m_csText) : -1;
    }
    default:
        return 0;
    }
}
