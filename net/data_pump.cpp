#include "net/data_pump.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <mutex>
#include <vector>

#include "app/logging.h"
#include "net/messages.h"
#include "platform/named_mutex.h"
#include "platform/system.h"

namespace {

void PostProgress(const CTransferRecord& record)
{
    platform::PostThreadMessage(record.m_dwWorkerThreadId, WM_TRANSFER_PROGRESS,
                                static_cast<platform::WPARAM>(record.dwDownloaded), 0);
}

void PostError(const CTransferRecord& record)
{
    platform::PostThreadMessage(record.m_dwWorkerThreadId, WM_TRANSFER_ERROR, 0, 0);
}

// A name that stays inside its folder.
bool IsPlainFileName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

bool WriteAll(int fd, const char* data, std::size_t length)
{
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

long ReadSome(int fd, char* data, std::size_t length)
{
    for (;;) {
        ssize_t n = ::read(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        return static_cast<long>(n);
    }
}

// Ends the data socket unless a failed read or send has closed it already (Disconnect
// clears the current socket; the number may belong to another socket by then).
void EndDataSocket(CCommandConnection& connection, CTransferRecord& record, SOCKET socket)
{
    if (connection.m_socket == socket && socket != INVALID_SOCKET) {
        if (!record.bDeleted)
            ShutdownSocket(socket, SD_BOTH);
        CloseSocket(socket);
        connection.m_socket = INVALID_SOCKET;
    }
    record.m_nSocketKey = -1;
}

}  // namespace

int TransferFileData(CTransferRecord record, CCommandConnection& connection)
{
    const SOCKET socket = record.m_nSocketKey;
    platform::PostThreadMessage(record.m_dwWorkerThreadId, WM_DATA_SOCKET, static_cast<platform::WPARAM>(socket), 0);
    record.nTransfersState = 2;
    connection.m_socket = socket;
    if (!platform::IsWindow(connection.m_pMainWnd)) {
        EndDataSocket(connection, record, socket);
        return 0;
    }
    NotifyUi(connection.m_pMainWnd, WM_NOTIFY_DATA_START, reinterpret_cast<platform::WPARAM>(&record), 0);

    if (record.dwDownloaded == record.qwFileSize)
        record.dwDownloaded = 0;
    if (record.bUpload) {
        SendFileData(connection, record);
        return 0;
    }

    const std::string path = record.csDownloadTo + record.csFileName;
    int fd = -1;
    if (IsPlainFileName(record.csFileName)) {
        if (record.dwDownloaded == 0) {
            platform::MakeFolder(record.csDownloadTo);
            fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        } else {
            fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        }
    }
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        if (fd >= 0)
            ::close(fd);
        record.dwDownloaded = 0;
        PostProgress(record);
        AddTransferLog(record, "ERROR: Invalid handle in CreateFile (Path=" + path + ")");
        PostError(record);
        return -1;
    }

    try {
        const std::uint64_t existing = static_cast<std::uint64_t>(info.st_size);
        if (record.dwDownloaded > existing) {
            record.dwDownloaded = existing;
            PostProgress(record);
        }
        ::lseek(fd, static_cast<off_t>(record.dwDownloaded), SEEK_SET);
        std::vector<char> buffer(PUMP_CHUNK_SIZE);
        do {
            std::size_t n = static_cast<std::size_t>(
                std::min<std::uint64_t>(PUMP_CHUNK_SIZE, record.qwFileSize - record.dwDownloaded));
            if (!connection.ReadRowData(socket, buffer.data(), n, PUMP_READ_TIMEOUT_MS)) {
                if (record.qwFileSize != 0) {
                    AddTransferLog(record, "ERROR: Read=FALSE");
                    PostError(record);
                }
                break;
            }
            if (!WriteAll(fd, buffer.data(), n)) {
                AddTransferLog(record, std::string("ERROR: Write=FALSE (") + std::strerror(errno) + ")");
                PostError(record);
                break;
            }
            record.dwDownloaded += n;
            PostProgress(record);
        } while (record.dwDownloaded < record.qwFileSize);
    } catch (const std::exception&) {
        AddTransferLog(record, "Unexpected error in download thread");
        PostError(record);
    }
    ::close(fd);
    EndDataSocket(connection, record, socket);
    return 1;
}

int SendFileData(CCommandConnection& connection, CTransferRecord& record)
{
    const SOCKET socket = record.m_nSocketKey;
    connection.m_socket = socket;
    int fd = ::open(record.csFullFromAddress.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        if (fd >= 0)
            ::close(fd);
        EndDataSocket(connection, record, socket);
        AddTransferLog(record, "ERROR: Invalid handle in CreateFile (Path=" + record.csFullFromAddress + ")");
        PostError(record);
        return 0;
    }
    const std::uint64_t length = static_cast<std::uint64_t>(info.st_size);
    if (record.dwDownloaded > length) {
        EndDataSocket(connection, record, socket);
        AddTransferLog(record, "ERROR: Offset > Length (" + std::to_string(record.dwDownloaded) + " > " +
                                   std::to_string(length) + ")");
        PostError(record);
        ::close(fd);
        return 0;
    }

    int result = 1;
    try {
        ::lseek(fd, static_cast<off_t>(record.dwDownloaded), SEEK_SET);
        std::vector<char> buffer(PUMP_CHUNK_SIZE);
        do {
            std::size_t n = static_cast<std::size_t>(
                std::min<std::uint64_t>(PUMP_CHUNK_SIZE, record.qwFileSize - record.dwDownloaded));
            long got = n == 0 ? 0 : ReadSome(fd, buffer.data(), n);
            if (got < 0 || (got == 0 && n > 0)) {
                // The file is shorter than its listed size, or unreadable: stop, never spin.
                AddTransferLog(record, "ERROR: Read=FALSE");
                PostError(record);
                result = 0;
                break;
            }
            std::size_t sent = static_cast<std::size_t>(got);
            if (!connection.SendAndWait(socket, buffer.data(), sent)) {
                AddTransferLog(record, "ERROR: Send = FALSE");
                PostError(record);
                result = 0;
                break;
            }
            record.dwDownloaded += sent;
            PostProgress(record);
        } while (record.dwDownloaded < record.qwFileSize);
    } catch (const std::exception&) {
        AddTransferLog(record, "Unexpected error in download thread");
        PostError(record);
        result = 0;
    }
    ::close(fd);
    EndDataSocket(connection, record, socket);
    return result;
}
