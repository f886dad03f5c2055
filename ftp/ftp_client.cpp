#include "ftp/ftp_client.h"

#include <mutex>

#include "app/logging.h"
#include "app/worker_factory.h"
#include "engine/file_list_format.h"
#include "net/messages.h"
#include "platform/named_mutex.h"

namespace {

std::string LabelHost(const std::string& label) { return label.substr(0, label.find(':')); }

int LabelPort(const std::string& label)
{
    const std::size_t colon = label.find(':');
    if (colon == std::string::npos)
        return 21;
    return DecimalValue(std::string_view(label).substr(colon + 1));
}

std::unique_ptr<CTransferRecordArray> TakeArray(platform::Message& msg)
{
    if (!msg.PayloadAs<CTransferRecordArray>())
        return nullptr;
    return std::unique_ptr<CTransferRecordArray>(static_cast<CTransferRecordArray*>(msg.payload.release()));
}

}  // namespace

CFtpClient::CFtpClient() = default;

CFtpClient::~CFtpClient()
{
    // The freed worker slot serves the next queued transfer.
    if (m_bRanUnattended && platform::IsWindow(m_pMainWnd))
        platform::PostMessage(m_pMainWnd, WM_START_NEXT_QUEUED);
}

bool CFtpClient::InitInstance()
{
    const bool ok = CCommandClient::InitInstance();
    m_hDataThread = m_protocol.m_hDataThread;
    m_dwDataThreadId = m_protocol.m_dwDataThreadId;
    return ok;
}

int CFtpClient::ParseAddress(const std::string& url, std::string& host, std::string& port)
{
    CCommandProtocol::ParseAddress(url, host, port);
    if (port.empty())
        port = "21";
    return 1;
}

int CFtpClient::Connect(const std::string& address)
{
    m_protocol.m_bLogToWindow = m_bLogToWindow;
    std::string host = address;
    int port = 21;
    const std::size_t colon = address.find(':');
    if (colon != std::string::npos) {
        host = address.substr(0, colon);
        port = DecimalValue(std::string_view(address).substr(colon + 1));
    }
    if (m_bAutoMode)
        m_bRanUnattended = true;
    const std::string label = host + ":" + std::to_string(port) + ":" + std::to_string(m_hOwnerWnd);
    LogLine("Connecting to " + label + "\r\n", "Korvalo");
    const bool ok = ConnectFtp(label);
    m_csUser = m_protocol.m_csUser;
    m_csPassword = m_protocol.m_csPassword;
    m_protocol.m_csPort = m_csPort;
    return ok ? 1 : 0;
}

bool CFtpClient::ConnectFtp(const std::string& label)
{
    const std::string host = LabelHost(label);
    const int port = LabelPort(label);
    m_protocol.m_socket = INVALID_SOCKET;
    m_protocol.m_bTls = false;
    m_protocol.m_bAuthDone = false;
    bool connected = false;
    {
        platform::NamedMutex connectMutex("ConnectMutex");
        std::lock_guard lock(connectMutex);
        const bool tls = m_bTls;
        SOCKET socket = INVALID_SOCKET;
        connected = Connect1(host, port, socket, FTP_CONNECT_TIMEOUT_MS, false);
        m_bTls = tls;
        m_protocol.m_socket = socket;
        m_socket = socket;
    }
    if (!connected) {
        LogLine(m_csError, "Korvalo");
        return false;
    }
    m_csLabel = label;
    m_protocol.m_csLabel = label;
    m_protocol.m_csIPAddress = m_csIPAddress;
    m_protocol.m_csHost = m_csHost;
    m_protocol.m_csPort = m_csPort;
    m_protocol.m_bConnected = true;
    return StartFtpSession();
}

bool CFtpClient::AskForLogin(std::string& user, std::string& password)
{
    if (m_bAutoMode || !platform::IsWindow(m_hOwnerWnd)) {
        m_csError = "The login to " + m_csHost + " was refused and there is no one to ask for other credentials\r\n";
        LogLine(m_csError);
        if (CTransferRecord* job = Job())
            AddTransferLog(*job, m_csError);
        return false;
    }
    platform::Message ask;
    ask.message = WM_PANE_AUTHORIZE;
    ask.payload = std::make_unique<CFtpLoginPayload>(m_csHost, user, password);
    if (platform::SendMessage(m_hOwnerWnd, ask) == 0)
        return false;
    const auto* answer = ask.ReplyAs<CFtpLoginPayload>();
    const auto* given = answer ? answer : ask.PayloadAs<CFtpLoginPayload>();
    if (!given)
        return false;
    user = given->m_csUser;
    password = given->m_csPassword;
    return true;
}

bool CFtpClient::StartFtpSession()
{
    m_protocol.m_hOwnerWnd = m_hOwnerWnd;
    m_protocol.m_csLabel = m_csLabel;
    m_protocol.m_csControlIP = m_csIPAddress;
    m_protocol.m_pMainWnd = m_pMainWnd;
    m_protocol.m_bAutoMode = m_bAutoMode;
    // A pane's own connection may ask the user about a certificate that fails its checks.
    m_protocol.m_bInteractive = !m_bAutoMode && platform::IsWindow(m_hOwnerWnd);
    LogLine("Connected to " + m_csHost + " -> IP=" + m_csIPAddress + " PORT=" + m_csPort + "\r\n");

    std::string user = m_csUser;
    std::string password = m_csPassword;
    bool askFirst = false;
    if (!m_bAutoMode && platform::IsWindow(m_hOwnerWnd)) {
        platform::Message ask;
        ask.message = WM_PANE_GET_LOGIN;
        ask.payload = std::make_unique<CFtpLoginPayload>(m_csHost, "", "");
        platform::SendMessage(m_hOwnerWnd, ask);
        const auto* answer = ask.ReplyAs<CFtpLoginPayload>();
        user = answer ? answer->m_csUser : "";
        password = answer ? answer->m_csPassword : "";
        if (user.empty() && password.empty()) {
            user = "anonymous";
            password = FTP_ANONYMOUS_PASSWORD;
            askFirst = true;
        }
    }

    std::string greeting;
    if (!m_protocol.ReadReplyUntil(m_protocol.m_socket, greeting, "\r\n"))
        return false;
    if (IsMultiLineStart(greeting) && !m_protocol.ReadMultiLineRest(m_protocol.m_socket, greeting, "220"))
        return false;
    if (greeting.rfind("220", 0) != 0) {
        LogLine(greeting);
        m_csError = greeting;
        return false;
    }
    LogLine(greeting);

    m_bReady = false;
    m_protocol.m_bTls = m_bTls;
    for (;;) {
        int result = 0;
        if (!askFirst)
            result = m_protocol.Login(m_protocol.m_socket, user, password);
        askFirst = false;
        m_csError = m_protocol.m_csError;
        if (platform::PeekMessage(WM_STOP_WORKER)) {
            m_bReady = true;
            return false;
        }
        if (result == 1) {
            m_csUser = user;
            m_csPassword = password;
            if (!m_bAutoMode && platform::IsWindow(m_hOwnerWnd))
                platform::SendMessage(m_hOwnerWnd, WM_PANE_LOGGED_IN, reinterpret_cast<platform::WPARAM>(&m_csUser),
                                      reinterpret_cast<platform::LPARAM>(&m_csPassword));
            m_bReady = true;
            if (m_bAutoMode)
                return true;
            std::string path;
            if (platform::IsWindow(m_hOwnerWnd)) {
                platform::Message ask;
                ask.message = WM_PANE_GET_PATH;
                platform::SendMessage(m_hOwnerWnd, ask);
                if (auto* text = ask.ReplyAs<platform::TextPayload>())
                    path = text->m_csText;
            }
            m_protocol.m_csCurrentDir = path.empty() ? "/" : path;
            if (m_protocol.m_csCurrentDir == "/")
                m_protocol.QueryCurrentFolder();
            if (!m_protocol.ShowFolder(m_protocol.m_csCurrentDir)) {
                LogLine("Connection stopped !\r\n");
                EndClientThread();
            }
            m_csBrowseDir = m_protocol.m_csCurrentDir;
            return true;
        }
        // A server that refused TLS never gets the credentials in clear text.
        if (m_bTls && !m_protocol.m_bAuthDone) {
            m_bReady = true;
            if (CTransferRecord* job = Job())
                AddTransferLog(*job, FTP_TLS_REFUSED);
            return false;
        }
        if (!AskForLogin(user, password)) {
            m_bReady = true;
            return false;
        }
    }
}

void CFtpClient::EndClientThread() { EndThread(); }

int CFtpClient::RunJob()
{
    m_csBrowseDir = m_protocol.m_csCurrentDir;
    ToEmbedded();
    m_protocol.m_csBrowseFolder = m_csBrowseDir;
    m_protocol.m_csHost = m_csHost;
    m_protocol.m_csPort = m_csPort;
    const int result = m_protocol.RunFtpJob();
    FromEmbedded();
    m_hDataThread = m_protocol.m_hDataThread;
    m_dwDataThreadId = m_protocol.m_dwDataThreadId;
    return result;
}

int CFtpClient::OnTransferProgress(std::uint64_t bytes)
{
    if (CTransferRecord* job = m_protocol.Job())
        job->dwDownloaded = bytes;
    return CCommandProtocol::OnTransferProgress(bytes);
}

int CFtpClient::OnTransferError()
{
    if (m_aJob.GetSize() == 1)
        m_aJob[0].nTransfersState = STATE_FAILED;
    return CCommandProtocol::OnTransferError();
}

int CFtpClient::OnDownloadEnd()
{
    m_protocol.m_hDataThread = platform::ThreadHandle();
    m_protocol.m_dwDataThreadId = 0;
    if (m_hDataThread)
        m_hDataThread.Wait(platform::INFINITE);
    if (!Job() || m_protocol.m_socket == INVALID_SOCKET)
        return CCommandProtocol::OnDownloadEnd();
    // A folder job or a failed start has no data phase on the server: no closing reply.
    const bool dataPhase = m_hDataThread.operator bool();
    if (!dataPhase)
        return CCommandProtocol::OnDownloadEnd();
    if (m_protocol.WaitReadable(m_protocol.m_socket, FTP_CLOSING_REPLY_TIMEOUT_MS)) {
        std::string reply;
        if (m_protocol.ReadReplyUntil(m_protocol.m_socket, reply, "\r\n", FTP_CLOSING_REPLY_TIMEOUT_MS)) {
            const std::string code = reply.substr(0, 3);
            if (IsMultiLineStart(reply))
                m_protocol.ReadMultiLineRest(m_protocol.m_socket, reply, code);
            LogLine(reply);
            return CCommandProtocol::OnDownloadEnd();
        }
    }
    // The server stays silent after the data: the connection is considered broken.
    JobLog("No reply after the data phase; the connection is closed");
    const platform::ThreadId own = m_dwOwnThreadId;
    m_dwOwnThreadId = 0;
    m_protocol.m_dwOwnThreadId = 0;
    platform::Message waiting;
    while (platform::TakeMessage(WM_RESUME_TRANSFER, waiting)) {
        if (auto records = TakeArray(waiting); records && !records->IsEmpty())
            AddToGlobalQueue((*records)[0]);
    }
    m_protocol.Disconnect(true);
    m_protocol.m_socket = INVALID_SOCKET;
    m_dwOwnThreadId = own;
    OnStopWorker();
    return 0;
}

int CFtpClient::OnTransferComplete()
{
    if (Job())
        JobLog("Transfers complete");
    std::string reply;
    m_protocol.m_aJob = m_aJob;
    const int result = m_protocol.ChangeDirectory(reply, m_csBrowseDir);
    if (result != 1)
        return 0;
    if (CTransferRecord* job = Job(); job && job->nTransfersState != STATE_FAILED)
        return CCommandProtocol::OnTransferComplete();
    return 1;
}

int CFtpClient::OnContinueJob()
{
    platform::Message ask;
    ask.message = WM_GET_QUEUED_TRANSFER;
    ask.lParam = static_cast<platform::LPARAM>(m_dwOwnThreadId);
    ask.payload = std::make_unique<CServerCriteria>(m_csHost, m_csPort, m_protocol.m_csUser, m_protocol.m_csPassword);
    {
        platform::NamedMutex queue("TransfersQueueMutex");
        std::lock_guard queueLock(queue);
        if (platform::IsWindow(m_pMainWnd)) {
            platform::NamedMutex update("UPDATE");
            std::lock_guard updateLock(update);
            platform::SendMessageTimeout(m_pMainWnd, ask, NOTIFY_TIMEOUT_MS);
        }
    }
    auto* records = ask.ReplyAs<CTransferRecordArray>();
    if (records && !records->IsEmpty()) {
        CTransferRecord& next = (*records)[0];
        AddTransferLog(next, "try resume from queue");
        SendToFrame(WM_DEQUEUE_TRANSFER, next, 0);
        next.m_dwWorkerThreadId = m_dwOwnThreadId;
        if (platform::PostThreadMessage(m_dwOwnThreadId, WM_RESUME_TRANSFER, 0, 0, std::move(ask.reply)))
            return 1;
    }
    if (m_bAutoMode)
        EndClientThread();
    return 0;
}

int CFtpClient::OnRefreshList()
{
    SetStateAndNotify(STATE_QUEUED);
    WaitForDataThread(platform::INFINITE);
    m_protocol.m_nDataSocket = INVALID_SOCKET;
    if (platform::IsWindow(m_hOwnerWnd)) {
        std::string path;
        platform::Message ask;
        ask.message = WM_PANE_GET_PATH;
        platform::SendMessage(m_hOwnerWnd, ask);
        if (auto* text = ask.ReplyAs<platform::TextPayload>())
            path = text->m_csText;
        if (!m_protocol.ShowFolder(path))
            EndClientThread();
    }
    m_csBrowseDir = m_protocol.m_csCurrentDir;
    return 1;
}

int CFtpClient::OnDirUp()
{
    SetStateAndNotify(STATE_QUEUED);
    WaitForDataThread(platform::INFINITE);
    m_protocol.m_nDataSocket = INVALID_SOCKET;
    if (platform::IsWindow(m_hOwnerWnd) && !m_protocol.ShowFolder(".."))
        EndClientThread();
    m_csBrowseDir = m_protocol.m_csCurrentDir;
    return 1;
}

int CFtpClient::OnMakeDir(platform::Message& msg)
{
    if (const auto* text = msg.PayloadAs<platform::TextPayload>())
        m_protocol.MakeDirectory(text->m_csText);
    msg.payload.reset();
    platform::PostThreadMessage(m_dwOwnThreadId, WM_REFRESH_LIST);
    return 1;
}

int CFtpClient::OnFileOperation(platform::Message& msg)
{
    std::unique_ptr<CTransferRecordArray> items = TakeArray(msg);
    if (!items || items->IsEmpty())
        return 0;
    SetStateAndNotify(STATE_PAUSED);
    WaitForDataThread(platform::INFINITE);
    m_protocol.m_nDataSocket = INVALID_SOCKET;
    if (!platform::IsWindow(m_hOwnerWnd))
        return 0;
    CTransferRecord& item = (*items)[0];
    if (IsSameTransfer(item)) {
        item.bDeleted = 1;
        if (item.nTransfersState != STATE_COMPLETE)
            item.nTransfersState = STATE_PAUSED;
        SendToFrame(WM_TRANSFER_EVENT, item, TRANSFER_EVENT_CHANGED);
    }
    const std::string entry = item.csFileName + "\r\n" + item.csFolder + "\r\n-1";
    const bool folder = UpperAscii(item.FtpAttributes).rfind("D", 0) == 0;
    const bool ok = folder ? m_protocol.DeleteTree(entry) : m_protocol.DeleteEntry(entry, false);
    if (ok)
        platform::SendMessage(m_hOwnerWnd, WM_PANE_DELETED, reinterpret_cast<platform::WPARAM>(items.get()), 0);
    return 1;
}

int CFtpClient::OnConnectionClosed(bool flag)
{
    if (!m_bAutoMode && !flag)
        SendToOwner(WM_PANE_DISCONNECTED, 0, 0);
    return 1;
}

int CFtpClient::ExitInstance()
{
    if (m_protocol.m_socket != INVALID_SOCKET) {
        m_protocol.Disconnect(true);
        m_protocol.m_socket = INVALID_SOCKET;
    }
    LogLine("Connection stopped !\r\n");
    return CCommandProtocol::ExitInstance();
}
