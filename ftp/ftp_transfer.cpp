#include <filesystem>
#include <mutex>

#include "app/logging.h"
#include "engine/file_client.h"
#include "engine/file_list_format.h"
#include "ftp/ftp_protocol.h"
#include "net/messages.h"
#include "platform/named_mutex.h"

namespace {

std::string Joined(const std::string& folder, const std::string& name)
{
    if (!folder.empty() && folder.back() == '/')
        return folder + name;
    return folder + "/" + name;
}

// The path part of an address: from the first "/" after "://" on; "/" when there is none.
std::string PathOfAddress(const std::string& address)
{
    const std::size_t scheme = address.find("://");
    const std::size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    const std::size_t slash = address.find('/', start);
    if (slash == std::string::npos)
        return "/";
    return address.substr(slash);
}

char AttributeOf(const std::string& attributes)
{
    const std::size_t first = attributes.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return 0;
    return static_cast<char>(std::toupper(static_cast<unsigned char>(attributes[first])));
}

}  // namespace

bool CFtpProtocol::UploadJob() const { return m_csJobProtocol == "FILE"; }

int CFtpProtocol::RunJob() { return RunFtpJob(); }

int CFtpProtocol::RunFtpJob()
{
    m_bJobReversed = false;
    CTransferRecord* job = Job();
    if (!job || job->bDeleted || job->nTransfersState == STATE_COMPLETE)
        return 0;
    if (!m_csTempDir.empty() && ContainsText(job->csFullFromAddress, m_csTempDir.c_str()) &&
        ContainsText(job->csDownloadTo, m_csTempDir.c_str()))
        job->csDownloadTo = job->csRealDownloadTo;
    m_csJobProtocol = job->csProtocol;
    if (UploadJob()) {
        job->csUser = m_csUser;
        job->csPassword = m_csPassword;
    } else {
        job->csUserSource = m_csUser;
        job->csPasswordSource = m_csPassword;
    }
    std::string folder;
    if (UploadJob()) {
        const std::string& target = job->bDownloadToTemp ? job->csDownloadTo : job->csRealDownloadTo;
        folder = PathOfAddress(target);
    } else {
        folder = job->csFolder;
    }
    if (!job->csDestinProtocol.empty())
        m_csDestinProtocol = job->csDestinProtocol;
    job->dwCurrentGroupIndex = 0;
    job->dwTryConnecting = 1;
    job->csHostAddress = m_csHost;

    // A name from a server listing becomes a local path part only when it is safe.
    if (!UploadJob() && !IsSafeEntryName(job->csFileName)) {
        JobLog("Unsafe file name refused: " + job->csFileName);
        job->nTransfersState = STATE_FAILED;
        platform::PostThreadMessage(m_dwOwnThreadId, WM_TRANSFER_ERROR);
        return 0;
    }

    const char attribute = AttributeOf(job->FtpAttributes);
    if (attribute == 'D' || attribute == 'L')
        return TransferFolder(folder, job->csFileName, attribute) ? 1 : 0;

    // The engine has announced the file job (event 13) before running it.
    int result = TransferFile(folder, job->csFileName);
    if (result == 1)
        return 1;
    if ((job = Job()) == nullptr || m_bJobReversed)
        return 0;
    if (job->nFolderAction == 2)
        return 0;
    JobLog("download file return FALSE1");
    job->dwDownloaded = 0;
    result = TransferFile(folder, job->csFileName);
    if (result != 1 && (job = Job()) != nullptr && !m_bJobReversed) {
        JobLog("post ERROR");
        job->nTransfersState = STATE_FAILED;
        platform::PostThreadMessage(m_dwOwnThreadId, WM_TRANSFER_ERROR);
    }
    return result;
}

int CFtpProtocol::TransferFile(const std::string& folder, const std::string& name)
{
    CTransferRecord* job = Job();
    if (!job)
        return 0;
    JobLog("Start for file with destination: " + job->csRealDownloadTo);
    if (job->nFolderAction == 2)
        return 0;
    const bool entered = UploadJob() ? ChangeOrMakeDirectory(folder) : ChangeDirectory(folder) == 1;
    if (!entered) {
        JobLog("CWD return FALSE: " + folder);
        return 0;
    }
    job = Job();
    if (job->nFolderAction == 8 && !NewerWins())
        return 0;
    job = Job();
    if (!SetTransferType("I")) {
        JobLog("TYPE I return FALSE");
        return 0;
    }
    std::string pasv;
    if (!RequestPassive(pasv)) {
        JobLog("PASV return FALSE: " + pasv);
        return 0;
    }
    job->bUpload = UploadJob() ? 1 : 0;
    if (job->dwDownloaded != 0) {
        std::string rest = "REST " + std::to_string(job->dwDownloaded) + "\r\n";
        Log(rest);
        SendCommand(m_socket, rest, "350");
        Log(rest);
    }
    const bool download = ContainsText(m_csJobProtocol, "FTP");
    if (UploadJob() || download) {
        const std::string command = (UploadJob() ? "STOR " : "RETR ") + name + "\r\n";
        Log(command);
        std::size_t length = command.size();
        if (!SendAndWait(m_socket, command.data(), length)) {
            JobLog((UploadJob() ? "STOR return FALSE: " : "RETR return FALSE: ") + name);
            return 0;
        }
    }
    SOCKET data = INVALID_SOCKET;
    if (!ConnectDataChannel(m_csPasvReply, data)) {
        JobLog("Connection to PASV return FALSE");
        return 0;
    }
    job->bSsl = m_bTls ? 1 : 0;
    job->m_nSocketKey = data;
    std::string line;
    if (!ReadReplyUntil(m_socket, line, "\r\n")) {
        JobLog("STOR or RETR return FALSE: " + m_csError);
        return 0;
    }
    if (IsMultiLineStart(line))
        ReadMultiLineRest(m_socket, line, line.substr(0, 3));
    if (!ContainsText(line, "150") && line.size() >= 3 && line.rfind("125", 0) != 0) {
        Log(line);
        Log(m_csError);
        m_nLastReply = ReplyCode(line);
        CloseDataSocket();
        job->m_nSocketKey = -1;
        return -1;
    }
    Log(line);
    job->m_dwWorkerThreadId = m_dwOwnThreadId;
    // The data thread owns the data socket from here on.
    m_nDataSocket = INVALID_SOCKET;
    if (!StartDataThread())
        return 0;
    return 1;
}

bool CFtpProtocol::TransferFolder(const std::string& folder, const std::string& name, char)
{
    CTransferRecord* job = Job();
    JobLog("Start for folder");
    job->nTransfersState = STATE_RUNNING;
    if (UploadJob()) {
        const std::string remote = Joined(folder, name);
        if (!ChangeOrMakeDirectory(remote) || Job()->nFolderAction == 2)
            return false;
        job = Job();
        if (!m_csTempDir.empty() && ContainsText(job->csFullFromAddress, m_csTempDir.c_str())) {
            OnDownloadEnd();
            return true;
        }
        CFileProtocol local;
        if (!local.ListLocalFolder(job->csFullFromAddress))
            return false;
        m_aListing = local.m_aListing;
        EnqueueChildren(name);
        return true;
    }
    if (!ContainsText(m_csJobProtocol, "FTP")) {
        EnqueueChildren(name);
        return true;
    }
    const std::string local = job->csDownloadTo + name;
    std::error_code error;
    const bool existed = std::filesystem::is_directory(local, error);
    std::filesystem::create_directories(local, error);
    if (existed && m_csDestinProtocol == "FILE")
        job->csRealDownloadTo = local;
    const int entered = folder == m_csCurrentDir ? ChangeDirectory(name) : ChangeDirectory(Joined(folder, name));
    if (entered != 1)
        return false;
    QueryCurrentFolder();
    if (!ListFolder())
        return false;
    EnqueueChildren(name);
    return true;
}

int CFtpProtocol::EnqueueChildren(const std::string& name)
{
    CTransferRecord* job = Job();
    if (!job)
        return 1;
    const CTransferRecord parent = *job;
    const bool download = ContainsText(parent.csProtocol, "FTP");
    for (std::size_t i = 0; i < m_aListing.GetSize(); ++i) {
        CTransferRecord child = m_aListing[i];
        if (child.csFileName == ".." || !IsSafeEntryName(child.csFileName))
            continue;
        platform::NamedMutex update("UPDATE");
        std::lock_guard lock(update);
        child.dwParentFolder = -1;
        const bool folder = UpperAscii(child.FtpAttributes).rfind("D", 0) == 0;
        child.csRealDownloadTo = parent.csRealDownloadTo + name;
        child.csOldSource = parent.csOldSource + name;
        if (folder) {
            child.csRealDownloadTo += "/";
            child.csOldSource += "/";
        }
        const std::string separator = name == "/" ? "" : "/";
        if (!download) {
            child.csDownloadTo = child.csRealDownloadTo;
            child.csFullFromAddress = Joined(child.csFolder, child.csFileName);
        } else {
            child.csDownloadTo = parent.csDownloadTo + name + separator;
            child.csFullFromAddress = parent.csFullFromAddress + name + separator;
        }
        child.dwDownloaded = 0;
        if (download && !folder) {
            // A folder fetched again continues the files an earlier run left unfinished.
            std::error_code missing;
            const std::uint64_t present = std::filesystem::file_size(child.csDownloadTo + child.csFileName, missing);
            if (!missing && present < child.qwFileSize)
                child.dwDownloaded = present;
        }
        child.bSsl = m_bTls ? 1 : 0;
        child.nTransfersState = STATE_QUEUED;
        child.nFolderAction = parent.nFolderAction;
        child.m_hwndLocalPane = parent.m_hwndLocalPane;
        child.m_hwndRemotePane = parent.m_hwndRemotePane;
        child.bDownloadToTemp = parent.bDownloadToTemp;
        child.csAddress = parent.csAddress;
        child.csDestinAddress = parent.csDestinAddress;
        child.nDestinPort = parent.nDestinPort;
        child.csUser = parent.csUser;
        child.csPassword = parent.csPassword;
        child.csUserSource = parent.csUserSource;
        child.csPasswordSource = parent.csPasswordSource;
        child.csProtocol = parent.csProtocol;
        child.csDestinProtocol = parent.csDestinProtocol;
        child.csHostAddress = m_csHost;
        child.csHostPort = m_csPort;
        child.m_dwWorkerThreadId = 0;
        child.m_nSocketKey = -1;
        AddToGlobalQueue(child);
    }
    job = Job();
    job->dwDownloaded = job->qwFileSize;
    OnDownloadEnd();
    return 1;
}

bool CFtpProtocol::NewerWins()
{
    CTransferRecord* job = Job();
    const std::string fileName = job->csFileName;
    if (!UploadJob()) {
        CFileProtocol local;
        local.ListLocalFolder(job->csDownloadTo);
        m_aListing = local.m_aListing;
    } else if (!ListFolder()) {
        return true;
    }
    job = Job();
    for (std::size_t i = 0; i < m_aListing.GetSize(); ++i) {
        const CTransferRecord& entry = m_aListing[i];
        if (entry.csFileName != fileName)
            continue;
        const int mine[] = {job->nYar, job->nMonth, job->nDay, job->nHour, job->nMin};
        const int theirs[] = {entry.nYar, entry.nMonth, entry.nDay, entry.nHour, entry.nMin};
        for (int k = 0; k < 5; ++k) {
            if (mine[k] != theirs[k]) {
                if (mine[k] > theirs[k])
                    return true;
                break;
            }
            if (k == 4)
                return true;
        }
        std::swap(job->csRealDownloadTo, job->csFullFromAddress);
        std::swap(job->m_hwndLocalPane, job->m_hwndRemotePane);
        std::swap(job->csProtocol, job->csDestinProtocol);
        if (UploadJob())
            job->csDownloadTo = job->csFolder;
        job->csFolder = PathOfAddress(job->csFullFromAddress);
        job->nFolderAction = 4;
        m_bJobReversed = true;
        SendToFrame(WM_TRANSFER_EVENT, *job, TRANSFER_EVENT_QUEUED);
        platform::Message resume;
        resume.message = WM_RESUME_REQUEST;
        resume.lParam = 0;
        resume.payload = std::make_unique<CTransferRecord>(*job);
        platform::SendMessage(m_pMainWnd, resume);
        return false;
    }
    return true;
}

bool CFtpProtocol::DeleteTree(const std::string& entry)
{
    if (DeleteEntry(entry, true))
        return true;
    if (m_nLastReply != 550 && m_nLastReply != 450)
        return false;
    const std::string name = entry.substr(0, entry.find("\r\n"));
    if (ChangeDirectory(name) != 1)
        return true;
    QueryCurrentFolder();
    if (!ListFolder())
        return false;
    const CTransferRecordArray contents = m_aListing;
    for (std::size_t i = 0; i < contents.GetSize(); ++i) {
        const CTransferRecord& item = contents[i];
        if (item.csFileName == "..")
            continue;
        const std::string child = item.csFileName + "\r\n" + item.csFolder + "\r\n-1";
        if (UpperAscii(item.FtpAttributes).rfind("D", 0) == 0) {
            DeleteTree(child);
        } else if (!DeleteEntry(child, false)) {
            return false;
        }
    }
    if (!ChangeToParent())
        return false;
    QueryCurrentFolder();
    return DeleteEntry(entry, true);
}
