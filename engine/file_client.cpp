#include "engine/file_client.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>

#include "app/logging.h"
#include "app/worker_factory.h"
#include "engine/file_list_format.h"
#include "net/messages.h"
#include "platform/named_mutex.h"
#include "platform/system.h"

namespace fs = std::filesystem;

namespace {

std::string WithSlash(std::string folder)
{
    if (!folder.empty() && folder.back() != '/')
        folder += '/';
    return folder;
}

std::string TwoDigits(int value) { return (value < 10 ? "0" : "") + std::to_string(value); }

bool IsMountPoint(const std::string& folder)
{
    std::string bare = folder;
    while (bare.size() > 1 && bare.back() == '/')
        bare.pop_back();
    if (bare.empty() || bare == "/")
        return true;
    for (const platform::MountedFileSystem& mounted : platform::MountedFileSystems())
        if (mounted.csMountPoint == bare)
            return true;
    return false;
}

// The list line of one folder entry, and the year that travels beside it.
std::string EntryLine(const std::string& name, const struct stat& info, bool statOk, std::string& year)
{
    const bool folder = statOk && S_ISDIR(info.st_mode);
    std::string date = "0 0 0:00";
    year.clear();
    std::tm local {};
    if (statOk && localtime_r(&info.st_mtime, &local)) {
        date = TwoDigits(local.tm_mon + 1) + " " + TwoDigits(local.tm_mday) + " " + TwoDigits(local.tm_hour) + ":" +
               TwoDigits(local.tm_min);
        year = std::to_string(local.tm_year + 1900);
    }
    // Folders are listed with size 0: a folder job is complete once its entries are queued.
    const std::uint64_t size = statOk && !folder ? static_cast<std::uint64_t>(info.st_size) : 0;
    return std::string(folder ? "d" : "-") + " FILE 0 0 0 0 " + std::to_string(size) + " " + date + " " + name +
           "\r\n";
}

}  // namespace

std::string CFileProtocol::ResolveFolder(std::string path)
{
    const std::size_t up = path.find("/..");
    if (up == std::string::npos)
        return path.empty() ? std::string(MY_COMPUTER) : path;
    path = path.substr(0, up);
    if (IsMountPoint(path))
        return MY_COMPUTER;
    const std::size_t last = path.rfind('/');
    return last == 0 ? "/" : path.substr(0, last);
}

bool CFileProtocol::ListLocalFolder(std::string path)
{
    platform::NamedMutex protect("FtpFileListProtect");
    std::lock_guard lock(protect);
    m_aListing.RemoveAll();
    path = ResolveFolder(path);
    if (path == MY_COMPUTER) {
        for (const platform::MountedFileSystem& mounted : platform::MountedFileSystems()) {
            CTransferRecord drive;
            drive.csFileName = mounted.csMountPoint;
            drive.qwFileSize = mounted.qwSizeKb;
            m_aListing.Add(drive);
        }
        m_csLocalFolder.clear();
        return true;
    }

    const std::string folder = WithSlash(path);
    DIR* directory = ::opendir(folder.c_str());
    if (!directory)
        return false;
    m_csLocalFolder = folder;
    const std::string drive = folder.substr(0, folder.find('/'));
    while (dirent* entry = ::readdir(directory)) {
        const std::string name = entry->d_name;
        if (name.find_first_of("\r\n") != std::string::npos)
            continue;   // a line end in a name cannot travel in a list line
        struct stat info {};
        const bool statOk = ::stat((folder + name).c_str(), &info) == 0;
        std::string year;
        const std::string line = EntryLine(name, info, statOk, year);
        ParseListLine("", "", m_aListing, drive, folder, line, "", year, "0:00");
    }
    ::closedir(directory);
    return true;
}

bool CFileProtocol::ShowLocalFolder(const std::string& path)
{
    // Watched before it is read, so no change between the two goes unseen.
    const std::string folder = ResolveFolder(path);
    if (m_pWatcher)
        m_pWatcher->Watch(folder == MY_COMPUTER ? std::string() : folder);
    if (!ListLocalFolder(path))
        return false;
    m_csWatchedFolder = m_csLocalFolder.empty() ? MY_COMPUTER : m_csLocalFolder;
    if (!platform::IsWindow(m_hOwnerWnd))
        return false;
    platform::SendMessage(m_hOwnerWnd, WM_PANE_LISTING, reinterpret_cast<platform::WPARAM>(&m_aListing), 0);
    platform::SendMessage(m_hOwnerWnd, WM_PANE_FOLDER, reinterpret_cast<platform::WPARAM>(&m_csWatchedFolder), 0);
    SendToOwner(WM_PANE_READY, 0, -1);
    return true;
}

int CFileProtocol::LocalGoUp()
{
    ShowLocalFolder(m_csLocalFolder.empty() ? std::string(MY_COMPUTER) : WithSlash(m_csLocalFolder) + "..");
    return 1;
}

int CFileProtocol::RunJob()
{
    CTransferRecord* job = Job();
    if (!job)
        return 0;
    m_csUser = job->csUser;
    m_csPassword = job->csPassword;
    if (job->bDeleted || job->nTransfersState == STATE_COMPLETE)
        return 0;
    job->csHostAddress = ":";
    job->csHostPort = "0";
    if (!job->csDestinProtocol.empty())
        m_csDestinProtocol = job->csDestinProtocol;
    std::string attributes = job->FtpAttributes;
    attributes.erase(0, attributes.find_first_not_of(" \t"));
    if (UpperAscii(attributes).rfind("D", 0) == 0) {
        CopyLocalFolder();
        return 0;
    }
    const bool copied = CopyLocalFile();
    if (!copied && (job = Job())) {
        JobLog("ERROR in Resuming file");
        job->nTransfersState = STATE_FAILED;
        platform::PostThreadMessage(m_dwOwnThreadId, WM_TRANSFER_ERROR);
    }
    return copied ? 1 : 0;
}

bool CFileProtocol::CopyLocalFile()
{
    CTransferRecord* job = Job();
    if (job->nFolderAction == 2)
        return false;
    if (job->nFolderAction == 8 && !NewerWins())
        return false;
    if (!IsSafeEntryName(job->csFileName))
        return false;
    const std::string folder = WithSlash(job->csRealDownloadTo);
    platform::MakeFolder(folder);
    std::error_code error;
    if (!fs::copy_file(job->csFullFromAddress, folder + job->csFileName, fs::copy_options::overwrite_existing, error))
        return false;
    job->dwDownloaded = job->qwFileSize;
    platform::PostThreadMessage(m_dwOwnThreadId, WM_DOWNLOAD_END);
    return true;
}

bool CFileProtocol::CopyLocalFolder()
{
    CTransferRecord* job = Job();
    job->nTransfersState = STATE_RUNNING;
    if (!IsSafeEntryName(job->csFileName) || !ListLocalFolder(WithSlash(job->csFolder) + job->csFileName))
        m_aListing.RemoveAll();
    EnqueueLocalChildren(job->csDownloadTo);
    platform::MakeFolder(WithSlash(job->csDownloadTo) + job->csFileName);
    return true;
}

void CFileProtocol::EnqueueLocalChildren(const std::string& destinationFolder)
{
    platform::NamedMutex protect("FtpFileListProtect");
    std::lock_guard lock(protect);
    CTransferRecord& job = m_aJob[0];
    const std::string destination = WithSlash(destinationFolder) + job.csFileName + "/";
    for (const CTransferRecord& entry : m_aListing) {
        if (!IsSafeEntryName(entry.csFileName))
            continue;   // ".." and names that would leave the folder
        CTransferRecord child = entry;
        child.csFullFromAddress = entry.csFolder + entry.csFileName;
        child.csDownloadTo = destination;
        child.csRealDownloadTo = destination;
        child.dwDownloaded = 0;
        child.nTransfersState = STATE_QUEUED;
        child.nFolderAction = job.nFolderAction;
        child.m_hwndLocalPane = job.m_hwndLocalPane;
        child.m_hwndRemotePane = job.m_hwndRemotePane;
        child.bDownloadToTemp = job.bDownloadToTemp;
        child.csAddress = job.csAddress;
        child.csDestinAddress = job.csDestinAddress;
        child.nDestinPort = job.nDestinPort;
        child.csUser = job.csUser;
        child.csPassword = job.csPassword;
        child.csUserSource = job.csUserSource;
        child.csPasswordSource = job.csPasswordSource;
        child.csProtocol = job.csProtocol;
        child.csDestinProtocol = job.csDestinProtocol;
        child.csHostAddress = job.csHostAddress;
        child.csHostPort = job.csHostPort;
        AddToGlobalQueue(child);
    }
    job.nTransfersState = STATE_COMPLETE;
    platform::PostThreadMessage(m_dwOwnThreadId, WM_DOWNLOAD_END);
}

bool CFileProtocol::NewerWins()
{
    CTransferRecord job = m_aJob[0];
    if (!ListLocalFolder(job.csDownloadTo))
        return true;
    for (const CTransferRecord& entry : m_aListing) {
        if (entry.csFileName != job.csFileName)
            continue;
        auto stamp = [](const CTransferRecord& r) {
            return std::make_tuple(r.nYar, r.nMonth, r.nDay, r.nHour, r.nMin);
        };
        if (stamp(job) >= stamp(entry))
            return true;
        // The destination is newer: copy it the other way.
        CTransferRecord& reversed = m_aJob[0];
        const std::string oldSource = reversed.csFullFromAddress;
        reversed.csFullFromAddress = WithSlash(reversed.csRealDownloadTo) + reversed.csFileName;
        reversed.csRealDownloadTo = oldSource.substr(0, oldSource.rfind('/') + 1);
        std::swap(reversed.m_hwndLocalPane, reversed.m_hwndRemotePane);
        reversed.nFolderAction = 4;
        SendToFrame(WM_TRANSFER_EVENT, reversed, TRANSFER_EVENT_QUEUED);
        platform::Message resume;
        resume.message = WM_RESUME_REQUEST;
        resume.payload = std::make_unique<CTransferRecord>(reversed);
        platform::SendMessage(m_pMainWnd, resume);
        return false;
    }
    return true;
}

CFileClient::CFileClient() = default;
CFileClient::~CFileClient() = default;

bool CFileClient::ShowFolder(const std::string& path)
{
    ToEmbedded();
    return m_protocol.ShowLocalFolder(path);
}

bool CFileClient::PreTranslateMessage(platform::Message& msg)
{
    if (msg.message == WM_DIR_UP) {
        ToEmbedded();
        m_protocol.LocalGoUp();
        return true;
    }
    if (msg.message == WM_STOP_WORKER) {
        EndThread();
        return true;
    }
    return CCommandClient::PreTranslateMessage(msg);
}

int CFileClient::ExitInstance()
{
    m_protocol.m_pWatcher = nullptr;
    m_watcher.reset();
    LogLine("Connection stopped !\r\n");
    return CCommandClient::ExitInstance();
}

int CFileClient::Connect(const std::string&)
{
    const std::string label = ":0:" + std::to_string(m_hOwnerWnd);
    LogLine("Connecting to " + label + "\r\n", "Korvalo");
    m_csHost = ":";
    m_csIPAddress = ":";
    m_csPort = "0";
    m_csLabel = label;
    LogLine("Connected to " + m_csHost + " -> IP=" + m_csIPAddress + " PORT=" + m_csPort + "\r\n");
    if (platform::IsWindow(m_hOwnerWnd)) {
        const platform::ThreadId self = m_dwOwnThreadId;
        m_watcher = std::make_unique<platform::FolderWatcher>(
            [self] { platform::PostThreadMessage(self, WM_REFRESH_LIST); });
        m_protocol.m_pWatcher = m_watcher.get();
        platform::Message ask;
        ask.message = WM_PANE_GET_START_FOLDER;
        platform::SendMessage(m_hOwnerWnd, ask);
        auto* start = ask.ReplyAs<platform::TextPayload>();
        ShowFolder(start ? start->m_csText : std::string(MY_COMPUTER));
    }
    return 1;
}

int CFileClient::OnRefreshList()
{
    if (!platform::IsWindow(m_hOwnerWnd))
        return 1;
    platform::Message ask;
    ask.message = WM_PANE_GET_FOLDER;
    platform::SendMessage(m_hOwnerWnd, ask);
    auto* folder = ask.ReplyAs<platform::TextPayload>();
    if (!folder)
        return 1;
    const std::string last = m_protocol.m_csLocalFolder.empty() ? std::string(MY_COMPUTER) : m_protocol.m_csLocalFolder;
    if (!ShowFolder(folder->m_csText) && !ShowFolder(last))
        m_protocol.LocalGoUp();
    return 1;
}

int CFileClient::OnMakeDir(platform::Message& msg)
{
    if (auto* name = msg.PayloadAs<platform::TextPayload>()) {
        const std::string& text = name->m_csText;
        platform::MakeFolder(!text.empty() && text.front() == '/' ? text : m_protocol.m_csLocalFolder + text);
    }
    platform::PostThreadMessage(m_dwOwnThreadId, WM_REFRESH_LIST);
    return 1;
}

int CFileClient::OnFileOperation(platform::Message& msg)
{
    if (auto* records = msg.PayloadAs<CTransferRecordArray>()) {
        if (records->IsEmpty() || (*records)[0].csDownloadTo == MY_COMPUTER)
            return 0;
        const CTransferRecord& item = (*records)[0];
        if (IsSafeEntryName(item.csFileName))
            m_aQueuedDeletes.push_back(item.csDownloadTo + item.csFileName);
        return 1;
    }
    platform::MoveToTrash(m_aQueuedDeletes);
    m_aQueuedDeletes.clear();
    platform::PostThreadMessage(m_dwOwnThreadId, WM_REFRESH_LIST);
    return 1;
}

int CFileClient::OnContinueJob()
{
    platform::Message ask;
    ask.message = WM_GET_QUEUED_TRANSFER;
    ask.lParam = static_cast<platform::LPARAM>(m_dwOwnThreadId);
    ask.payload = std::make_unique<CServerCriteria>(m_csIPAddress, m_csPort, m_csUser, m_csPassword);
    {
        platform::NamedMutex queue("TransfersQueueMutex");
        std::lock_guard queueLock(queue);
        platform::NamedMutex update("UPDATE");
        std::lock_guard updateLock(update);
        platform::SendMessageTimeout(m_pMainWnd, ask, NOTIFY_TIMEOUT_MS);
    }
    auto* records = ask.ReplyAs<CTransferRecordArray>();
    if (!records || records->IsEmpty()) {
        if (m_bAutoMode)
            EndThread();
        return 0;
    }
    // The queued job runs on this thread: taken out of the queue, then resumed here.
    CTransferRecord& next = (*records)[0];
    AddTransferLog(next, "send resume from queue");
    SendToFrame(WM_DEQUEUE_TRANSFER, next, 0);
    next.m_dwWorkerThreadId = m_dwOwnThreadId;
    platform::PostThreadMessage(m_dwOwnThreadId, WM_RESUME_TRANSFER, 0, 0, std::move(ask.reply));
    return 1;
}
