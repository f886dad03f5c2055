#include "engine/command_protocol.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <mutex>

#include "app/logging.h"
#include "net/data_pump.h"
#include "net/messages.h"
#include "platform/named_mutex.h"

namespace {

constexpr auto REPORT_PERIOD = std::chrono::seconds(1);

bool IsDataPhaseMessage(std::uint32_t message)
{
    switch (message) {
    case WM_CONNECT_SESSION:
    case WM_DOWNLOAD_END:
    case WM_STOP_WORKER:
    case WM_START_TRANSFER:
    case WM_REFRESH_LIST:
    case WM_DIR_UP:
    case WM_PAUSE_TRANSFER:
    case WM_FILE_OPERATION:
    case WM_MAKE_DIR:
    case WM_TRANSFER_PROGRESS:
    case WM_DATA_SOCKET:
    case WM_TRANSFER_ERROR:
    case WM_CONTINUE_JOB:
        return true;
    default:
        return false;
    }
}

std::unique_ptr<CTransferRecordArray> TakeRecords(platform::Message& msg)
{
    if (!msg.PayloadAs<CTransferRecordArray>())
        return nullptr;
    return std::unique_ptr<CTransferRecordArray>(static_cast<CTransferRecordArray*>(msg.payload.release()));
}

// Host part of an address text: what follows "//" up to the next "/", or the whole text.
std::string HostOfAddress(const std::string& address)
{
    std::size_t start = address.find("//");
    char separator = '/';
    if (start == std::string::npos) {
        start = address.find("\\\\");
        separator = '\\';
    }
    if (start == std::string::npos)
        return address;
    std::string rest = address.substr(start + 2);
    return rest.substr(0, rest.find(separator));
}

// The protocol word an address names by its scheme: "FTPS" for "ftps:...", "FTP" for
// "ftp:...", empty otherwise. Only the scheme counts: local paths such as "/srv/ftp/pub"
// and server folders such as "ftps-mirror" are common.
std::string FtpSchemeOf(const std::string& address)
{
    std::string upper = UpperAscii(address);
    if (upper.rfind("FTPS:", 0) == 0)
        return "FTPS";
    if (upper.rfind("FTP:", 0) == 0)
        return "FTP";
    return {};
}

// Whether path lies below folder once "." and ".." steps are resolved, so that a name
// taken from a server cannot reach outside the folder.
bool IsBelowFolder(const std::string& path, const std::string& folder)
{
    if (folder.empty())
        return false;
    const std::string base = std::filesystem::path(folder).lexically_normal().string();
    const std::string normal = std::filesystem::path(path).lexically_normal().string();
    return normal.size() > base.size() && normal.compare(0, base.size(), base) == 0;
}

}  // namespace

bool ContainsText(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

std::string UpperAscii(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

CCommandProtocol::CCommandProtocol() : m_ftLastReport(Clock::now()), m_reportDue(Clock::now() + REPORT_PERIOD) {}

CCommandProtocol::~CCommandProtocol()
{
    if (m_hDataThread)
        m_hDataThread.Wait(platform::INFINITE);
}

bool CCommandProtocol::InitInstance()
{
    m_dwOwnThreadId = m_nThreadID;
    return CCommandConnection::InitInstance();
}

void CCommandProtocol::JobLog(const std::string& text)
{
    if (const CTransferRecord* job = Job())
        AddTransferLog(*job, text);
}

bool CCommandProtocol::LogLine(const std::string& text, const std::string& label)
{
    if (!m_bLogToWindow)
        return false;
    AddToLogWindow(text, label.empty() ? m_csLabel : label);
    m_csLastLine = text;
    return true;
}

bool CCommandProtocol::AddToGlobalQueue(CTransferRecord& record)
{
    platform::NamedMutex handOver("AddDownloadToGlobalQueue");
    std::lock_guard lock(handOver);
    if (record.nTransfersState == STATE_PAUSED || !platform::IsWindow(m_pMainWnd))
        return false;
    SendToFrame(WM_QUEUE_TRANSFER, record, 1);
    return true;
}

bool CCommandProtocol::SetStateAndNotify(std::uint16_t state)
{
    CTransferRecord* job = Job();
    if (!job || job->m_nSocketKey == -1)
        return false;
    ShutdownSocket(job->m_nSocketKey, SD_BOTH);
    CloseSocket(job->m_nSocketKey);
    if (job->nTransfersState != STATE_RUNNING)
        return false;
    job->nTransfersState = state;
    if (job->bDeleted)
        return true;
    job->m_nSocketKey = -1;
    SendToFrame(WM_TRANSFER_EVENT, *job, state == STATE_QUEUED ? TRANSFER_EVENT_QUEUED : TRANSFER_EVENT_CHANGED);
    return true;
}

bool CCommandProtocol::SendToOwner(std::uint32_t message, platform::WPARAM wParam, platform::LPARAM lParam)
{
    if (m_bAutoMode || !platform::IsWindow(m_hOwnerWnd))
        return false;
    platform::SendMessage(m_hOwnerWnd, message, wParam, lParam);
    return true;
}

platform::LRESULT CCommandProtocol::SendToFrame(std::uint32_t message, CTransferRecord& record,
                                                platform::LPARAM lParam)
{
    return platform::SendMessage(m_pMainWnd, message, reinterpret_cast<platform::WPARAM>(&record), lParam);
}

bool CCommandProtocol::IsSameTransfer(const CTransferRecord& record) const
{
    const CTransferRecord* job = Job();
    return job && job->csFileName == record.csFileName && job->csRealDownloadTo == record.csRealDownloadTo;
}

void CCommandProtocol::NormaliseProtocols()
{
    CTransferRecord* job = Job();
    if (!job || ContainsText(job->csProtocol, "HTTP") || ContainsText(job->csDestinProtocol, "HTTP"))
        return;
    job->bSsl = 0;
    const std::string source = FtpSchemeOf(job->csFullFromAddress);
    const std::string destination = FtpSchemeOf(job->csRealDownloadTo);
    if (!source.empty()) {
        job->csProtocol = source;
        job->bSsl = source == "FTPS" ? 1 : 0;
    } else if (!destination.empty()) {
        job->csDestinProtocol = destination;
        job->bSsl = destination == "FTPS" ? 1 : 0;
    }
    if (ContainsText(job->csProtocol, "FTP") && ContainsText(job->csDestinProtocol, "FTP")) {
        job->bDownloadToTemp = 1;
        job->csDownloadTo = m_csTempDir;
    }
}

void CCommandProtocol::EndThread()
{
    // The loop ends with the quit; the object is freed when its thread ends.
    platform::PostThreadMessage(m_dwOwnThreadId, platform::WM_QUIT);
    EndLoop(0);
}

bool CCommandProtocol::TakePriorityMessage(platform::Message& msg, std::uint32_t wanted)
{
    platform::Message priority;
    if (!platform::TakeMessage(wanted, priority))
        return false;
    platform::PostThreadMessage(m_dwOwnThreadId, std::move(msg));   // a failed post drops it
    msg = std::move(priority);
    return true;
}

bool CCommandProtocol::PreTranslateMessage(platform::Message& msg)
{
    if (msg.message != WM_REFRESH_LIST && platform::PeekMessage(WM_REFRESH_LIST))
        TakePriorityMessage(msg, WM_REFRESH_LIST);
    if (msg.message != WM_DIR_UP && msg.message != WM_REFRESH_LIST && platform::PeekMessage(WM_DIR_UP))
        TakePriorityMessage(msg, WM_DIR_UP);

    if (msg.message == WM_WORKER_PING)
        return true;
    if (IsDataPhaseMessage(msg.message) && !m_bReady) {
        platform::PostThreadMessage(m_dwOwnThreadId, std::move(msg));
        return true;
    }
    try {
        return Dispatch(msg);
    } catch (...) {
        return CCommandConnection::PreTranslateMessage(msg);
    }
}

bool CCommandProtocol::Dispatch(platform::Message& msg)
{
    switch (msg.message) {
    case WM_CONNECT_SESSION:
        OnConnectSession(static_cast<platform::HWND>(msg.wParam));
        return true;
    case WM_DOWNLOAD_END:
        OnDownloadEnd();
        return true;
    case WM_STOP_WORKER:
        OnStopWorker();
        return true;
    case WM_RESUME_TRANSFER:
        ResumeTransferMessage(msg);
        return true;
    case WM_START_TRANSFER:
        OnStartTransfer(msg);
        return true;
    case WM_REFRESH_LIST:
        OnRefreshList();
        return true;
    case WM_DIR_UP:
        OnDirUp();
        return true;
    case WM_PAUSE_TRANSFER:
        OnPauseTransfer(msg);
        return true;
    case WM_FILE_OPERATION:
        OnFileOperation(msg);
        return true;
    case WM_MAKE_DIR:
        OnMakeDir(msg);
        return true;
    case WM_TRANSFER_PROGRESS:
        OnTransferProgress(static_cast<std::uint64_t>(msg.wParam));
        return true;
    case WM_DATA_SOCKET:
        OnDataSocket(static_cast<SOCKET>(msg.wParam));
        return true;
    case WM_TRANSFER_ERROR:
        OnTransferError();
        return true;
    case WM_SET_TRANSFER:
        if (auto records = TakeRecords(msg))
            m_aJob = *records;
        return true;
    case WM_CONTINUE_JOB:
        OnContinueJob();
        return true;
    default:
        return CCommandConnection::PreTranslateMessage(msg);
    }
}

void CCommandProtocol::ResumeTransferMessage(platform::Message& msg)
{
    std::unique_ptr<CTransferRecordArray> records = TakeRecords(msg);
    auto logTo = [&](const std::string& text) {
        if (records && !records->IsEmpty())
            AddTransferLog((*records)[0], text);
        else
            JobLog(text);
    };
    logTo("Enter to resume thread");
    if (!m_bReady) {
        logTo("Add to queue and return TRUE");
        if (records && !records->IsEmpty())
            AddToGlobalQueue((*records)[0]);
        return;
    }
    platform::Message pendingEnd;
    if (platform::TakeMessage(WM_DOWNLOAD_END, pendingEnd) && !OnDownloadEnd()) {
        logTo("Add to queue and break");
        if (m_bAutoMode)
            EndThread();
        return;
    }
    if (!OnResumeTransfer(std::move(records)) && m_bAutoMode)
        EndThread();
}

int CCommandProtocol::OnResumeTransfer(std::unique_ptr<CTransferRecordArray> jobs)
{
    CTransferRecordArray next = jobs ? *jobs : m_aJob;
    jobs.reset();
    if (next.IsEmpty())
        return 0;
    CTransferRecord& record = next[0];
    if (!WaitForDataThread(0)) {
        AddTransferLog(record, "wait timeout");
        if (!IsSameTransfer(record)) {
            AddTransferLog(record, "Add to queue for destination: " + record.csRealDownloadTo);
            AddToGlobalQueue(record);
        }
        return 1;
    }
    if (CTransferRecord* job = Job()) {
        job->bDeleted = 1;
        SetStateAndNotify(STATE_PAUSED);
        WaitForDataThread(platform::INFINITE);
        HandleWaitingProgress();
    }
    m_aJob = next;
    CTransferRecord& job = m_aJob[0];
    if (UpperAscii(job.FtpAttributes).rfind("-", 0) == 0 &&
        SendToFrame(WM_TRANSFER_EVENT, job, TRANSFER_EVENT_JOB_START) == 0)
        return 0;
    if (!RunJob())
        return OnDownloadEnd();
    return 1;
}

int CCommandProtocol::OnStartTransfer(platform::Message& msg)
{
    m_bLogToWindow = false;
    m_bAutoMode = true;
    if (auto records = TakeRecords(msg))
        m_aJob = *records;
    if (CTransferRecord* job = Job())
        job->m_dwWorkerThreadId = m_dwOwnThreadId;
    platform::PostThreadMessage(m_dwOwnThreadId, WM_CONNECT_SESSION, 0, 0);
    return 1;
}

int CCommandProtocol::OnConnectSession(platform::HWND owner)
{
    m_hOwnerWnd = owner;
    NormaliseProtocols();
    std::string address;
    CTransferRecord* job = Job();
    if (platform::IsWindow(owner)) {
        platform::Message ask;
        ask.message = WM_PANE_GET_ADDRESS;
        platform::SendMessage(owner, ask);
        if (auto* text = ask.ReplyAs<platform::TextPayload>())
            address = text->m_csText;
        m_bTls = platform::SendMessage(owner, WM_PANE_GET_TLS) != 0;
    } else if (job) {
        m_bTls = job->bSsl != 0;
        const bool upload = ContainsText(job->csDestinProtocol, "FTP") && job->csProtocol == "FILE";
        m_csUser = upload ? job->csUser : job->csUserSource;
        m_csPassword = upload ? job->csPassword : job->csPasswordSource;
        if (ContainsText(job->csProtocol, "FTP"))
            address = job->csFullFromAddress;
        else if (ContainsText(job->csDestinProtocol, "FTP"))
            address = job->csRealDownloadTo;
        else if (job->csProtocol == "HTTP")
            address = job->csAddress;
        else if (job->csDestinProtocol == "FILE")
            address = job->csDownloadTo;
        address = HostOfAddress(address);
    }
    if (!m_bTls && job) {
        const std::string place = UpperAscii(job->bDownloadToTemp ? job->csFullFromAddress : job->csRealDownloadTo);
        if (place.rfind("FTPS:", 0) == 0) {
            m_bTls = true;
            job->bSsl = 1;
        }
    }
    if (!Connect(address)) {
        m_bReady = true;
        platform::PostThreadMessage(m_dwOwnThreadId, WM_STOP_WORKER, 0, 1);
        return 0;
    }
    if (!m_bAutoMode)
        return 1;
    job = Job();
    if (!job)
        return 1;
    if (UpperAscii(job->FtpAttributes).rfind("-", 0) == 0 &&
        SendToFrame(WM_TRANSFER_EVENT, *job, TRANSFER_EVENT_JOB_START) == 0)
        return 1;
    if (!RunJob())
        return OnDownloadEnd();
    return 1;
}

int CCommandProtocol::RunJob()
{
    CTransferRecord* job = Job();
    if (!job)
        return 0;
    job->csHostAddress = m_csHost;
    if (m_bTls && !ContainsText(job->csProtocol, "FTP") && !ContainsText(job->csDestinProtocol, "FTP")) {
        TransferFileData(*job, *this);
        platform::PostThreadMessage(m_dwOwnThreadId, WM_DOWNLOAD_END);
        return 0;
    }
    return StartDataThread() ? 1 : 0;
}

bool CCommandProtocol::StartDataThread()
{
    CTransferRecord job = m_aJob[0];
    std::shared_ptr<CTlsSession> session = TlsSession();
    const platform::HWND mainWindow = m_pMainWnd;
    platform::StartedThread data = platform::StartThread([job, session, mainWindow]() mutable {
        CCommandConnection connection;
        connection.m_csHost = job.csHostAddress;
        connection.m_pMainWnd = mainWindow;
        connection.m_pResumeSession = session;
        if (job.bSsl && !connection.StartTls(job.m_nSocketKey)) {
            AddTransferLog(job, "SSL initializing error in download thread");
            platform::PostThreadMessage(job.m_dwWorkerThreadId, WM_TRANSFER_ERROR);
        } else {
            TransferFileData(job, connection);
            connection.Disconnect(true);
        }
        platform::PostThreadMessage(job.m_dwWorkerThreadId, WM_DOWNLOAD_END);
        return 0;
    });
    if (data.id == 0) {
        JobLog("download not created!");
        m_hDataThread = platform::ThreadHandle();
        m_dwDataThreadId = 0;
        return false;
    }
    m_hDataThread = data.handle;
    m_dwDataThreadId = data.id;
    JobLog("download created");
    return true;
}

int CCommandProtocol::WaitForDataThread(std::uint32_t ms)
{
    if (m_hDataThread && m_hDataThread.Wait(ms) != platform::WAIT_OBJECT_0)
        return 0;
    platform::Message pendingEnd;
    if (platform::TakeMessage(WM_DOWNLOAD_END, pendingEnd))
        return OnDownloadEnd();
    return 1;
}

int CCommandProtocol::OnDataSocket(SOCKET socket)
{
    CTransferRecord* job = Job();
    if (!job || job->nTransfersState == STATE_PAUSED)
        return 0;
    job->m_nSocketKey = socket;
    job->nTransfersState = STATE_RUNNING;
    // The rate counts from the start of this data phase: the bytes of a resumed file, or
    // those of the previous job on this connection, are no speed.
    m_ftLastReport = Clock::now();
    m_qwLastReported = job->dwDownloaded;
    return 1;
}

int CCommandProtocol::OnTransferProgress(std::uint64_t bytes)
{
    CTransferRecord* job = Job();
    if (!job)
        return 0;
    if (job->bDeleted)
        return 1;
    platform::Message later;
    while (platform::TakeMessage(WM_TRANSFER_PROGRESS, later))
        bytes = static_cast<std::uint64_t>(later.wParam);
    job->dwDownloaded = bytes;
    if (job->nTransfersState != STATE_RUNNING)
        return 1;
    if (!platform::IsWindow(m_pMainWnd))
        return 0;
    const Clock::time_point now = Clock::now();
    // Reports come once a second, but the last one of a file is never held back.
    if (now < m_reportDue && job->dwDownloaded != job->qwFileSize)
        return 1;
    const std::uint64_t elapsedMs = std::max<std::uint64_t>(
        1, static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now - m_ftLastReport).count()));
    const std::uint64_t done = job->dwDownloaded >= m_qwLastReported ? job->dwDownloaded - m_qwLastReported : 0;
    const std::int64_t rate = static_cast<std::int64_t>(done * 1000 / elapsedMs);
    const std::int64_t shown = std::max<std::int64_t>(job->m_dwSpeed, 0);
    // Small changes of the rate are not shown, so the display does not flicker.
    const std::int64_t change = shown > rate ? shown - rate : rate - shown;
    if (job->m_dwSpeed < 0 || change * 100 / (shown + 2) > 10 || shown / (rate + 2) >= 2)
        job->m_dwSpeed = rate;
    NotifyUi(m_pMainWnd, WM_NOTIFY_PROGRESS, reinterpret_cast<platform::WPARAM>(job), 0);
    m_ftLastReport = now;
    m_qwLastReported = job->dwDownloaded;
    m_reportDue = now + REPORT_PERIOD;
    return 1;
}

void CCommandProtocol::HandleWaitingProgress()
{
    platform::Message progress;
    while (platform::TakeMessage(WM_TRANSFER_PROGRESS, progress))
        OnTransferProgress(static_cast<std::uint64_t>(progress.wParam));
}

int CCommandProtocol::OnTransferError()
{
    CTransferRecord* job = Job();
    if (!job)
        return 0;
    JobLog("Error for destination: " + job->csRealDownloadTo);
    SetStateAndNotify(STATE_FAILED);
    if ((job = Job()))
        SendToFrame(WM_NOTIFY_FAILED, *job, 0);
    WaitForDataThread(platform::INFINITE);
    platform::PostThreadMessage(m_dwOwnThreadId, WM_CONTINUE_JOB);
    return 1;
}

int CCommandProtocol::OnPauseTransfer(platform::Message& msg)
{
    std::unique_ptr<CTransferRecordArray> records = TakeRecords(msg);
    if (!records || records->IsEmpty() || !IsSameTransfer((*records)[0]))
        return 1;
    CTransferRecord& paused = (*records)[0];
    CTransferRecord* job = Job();
    job->bDeleted = paused.bDeleted;
    job->nTransfersState = STATE_PAUSED;
    SendToFrame(WM_DEQUEUE_TRANSFER, paused, 0);
    SendToFrame(WM_TRANSFER_EVENT, *job, TRANSFER_EVENT_CHANGED);
    SetStateAndNotify(STATE_PAUSED);   // the job is paused already: this only ends its data socket
    WaitForDataThread(platform::INFINITE);
    return 1;
}

int CCommandProtocol::OnDownloadEnd()
{
    JobLog("Download End");
    if (m_hDataThread)
        m_hDataThread.Wait(platform::INFINITE);
    m_hDataThread = platform::ThreadHandle();
    m_dwDataThreadId = 0;
    if (!Job())
        return 1;
    // The data thread has ended, but its last progress can still wait in the queue: the
    // pump may have run on this thread, or a refresh taken first put it behind this end.
    HandleWaitingProgress();
    CTransferRecord* job = Job();
    if (!job->bDeleted && !OnTransferComplete())
        return 0;
    m_aJob.RemoveAll();
    platform::PostThreadMessage(m_dwOwnThreadId, WM_CONTINUE_JOB);
    return 1;
}

int CCommandProtocol::OnTransferComplete()
{
    CTransferRecord* job = Job();
    if (!job)
        return 1;
    if (job->bDownloadToTemp && job->dwDownloaded == job->qwFileSize) {
        // The first leg of a copy between two servers is done: upload from the temporary file.
        job->bDownloadToTemp = 0;
        job->csFullFromAddress = job->csDownloadTo + job->csFileName;
        job->csDownloadTo = job->csRealDownloadTo;
        job->csProtocol = "FILE";
        job->dwDownloaded = 0;
        ParseAddress(job->csDownloadTo, job->csHostAddress, job->csHostPort);
        job->m_dwWorkerThreadId = 0;
        JobLog("add to queue for upload");
        AddToGlobalQueue(*job);
        platform::Message resume;
        resume.message = WM_RESUME_REQUEST;
        resume.lParam = m_bAutoMode ? 1 : 0;
        resume.payload = std::make_unique<CTransferRecord>(*job);
        platform::SendMessage(m_pMainWnd, resume);
    } else if (job->dwDownloaded == job->qwFileSize) {
        job->nTransfersState = STATE_COMPLETE;
        SendToFrame(WM_NOTIFY_COMPLETE, *job, 0);
        JobLog("send 'transfers complete'");
        if (IsBelowFolder(job->csFullFromAddress, m_csTempDir)) {
            JobLog("DeleteFile");
            std::error_code ignored;
            std::filesystem::remove(job->csFullFromAddress, ignored);
        }
    } else {
        JobLog("add to queue for download or upload for file with destination: " + job->csRealDownloadTo);
        AddToGlobalQueue(*job);
    }
    m_aJob.RemoveAll();
    return 1;
}

int CCommandProtocol::OnStopWorker()
{
    if (CTransferRecord* job = Job()) {
        std::uint16_t state = job->nTransfersState;
        if (state != STATE_PAUSED && !job->bDeleted) {
            if (job->dwDownloaded < job->qwFileSize && !ContainsText(job->csProtocol, "FTP") &&
                !ContainsText(job->csDestinProtocol, "FTP")) {
                AddToGlobalQueue(*job);
                state = STATE_QUEUED;
            }
            SetStateAndNotify(state);
        }
    }
    EndThread();
    return 1;
}

int CCommandProtocol::ExitInstance()
{
    if (m_aJob.GetSize() == 1) {
        m_aJob[0].bDeleted = 1;
        SetStateAndNotify(STATE_PAUSED);
        WaitForDataThread(platform::INFINITE);
    }
    SendToOwner(WM_PANE_DISCONNECTED, 0, 0);
    return CCommandConnection::ExitInstance();
}

int CCommandProtocol::ParseAddress(const std::string& url, std::string& host, std::string& port)
{
    host.clear();
    port.clear();
    const std::size_t scheme = url.find("://");
    if (scheme == std::string::npos)
        return 1;
    const std::string rest = url.substr(scheme + 3);
    const std::size_t slash = rest.find('/');
    // A colon after the first "/" belongs to the path, not to a port.
    const std::size_t colon = rest.substr(0, slash).find(':');
    if (colon != std::string::npos) {
        host = rest.substr(0, colon);
        port = slash != std::string::npos && slash > colon ? rest.substr(colon + 1, slash - colon - 1)
                                                           : rest.substr(colon + 1);
    } else {
        host = rest.substr(0, slash);
    }
    return 1;
}
