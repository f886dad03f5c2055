#include "cli/jobs.h"

#include <filesystem>

namespace cli {

namespace {

std::string Protocol(const CCliLocation& where) { return where.bTls ? "FTPS" : "FTP"; }

std::string FolderAttributes(bool isFolder) { return isFolder ? "drwxr-xr-x" : "-rw-r--r--"; }

std::string ParentOf(const std::string& path)
{
    return WithSlash(std::filesystem::path(path).parent_path().string());
}

void FromServer(CTransferRecord& record, const CCliLocation& source, const CTransferRecord& entry,
                const CLogin& login)
{
    const bool isFolder = !entry.FtpAttributes.empty() && (entry.FtpAttributes[0] == 'd' || entry.FtpAttributes[0] == 'D');
    record.csProtocol = Protocol(source);
    record.FtpAttributes = FolderAttributes(isFolder);
    record.csFolder = source.Folder();
    record.csFileName = source.Name();
    record.csFullFromAddress = source.Server() + record.csFolder + record.csFileName;
    record.csUserSource = login.csUser;
    record.csPasswordSource = login.csPassword;
    record.csHostAddress = source.csHost;
    record.csHostPort = std::to_string(source.nPort);
    record.qwFileSize = isFolder ? 0 : entry.qwFileSize;
    record.bSsl = source.bTls ? 1 : 0;
    record.nYar = entry.nYar;
    record.nMonth = entry.nMonth;
    record.nDay = entry.nDay;
    record.nHour = entry.nHour;
    record.nMin = entry.nMin;
}

}  // namespace

std::string WithSlash(std::string folder)
{
    if (folder.empty() || folder.back() != '/')
        folder += '/';
    return folder;
}

CTransferRecord DownloadJob(const CCliLocation& source, const CTransferRecord& entry, const CLogin& login,
                            const std::string& localFolder)
{
    CTransferRecord record;
    FromServer(record, source, entry, login);
    record.csDestinProtocol = "FILE";
    record.csDownloadTo = WithSlash(localFolder);
    record.csRealDownloadTo = record.csDownloadTo;
    record.csOldSource = source.Server() + record.csFolder;
    return record;
}

CTransferRecord UploadJob(const std::string& localPath, bool isFolder, std::uint64_t size,
                          const CCliLocation& destination, const std::string& remoteFolder, const CLogin& login)
{
    CTransferRecord record;
    record.csProtocol = "FILE";
    record.csDestinProtocol = Protocol(destination);
    record.FtpAttributes = isFolder ? "d" : "-";
    record.csFolder = ParentOf(localPath);
    record.csFileName = std::filesystem::path(localPath).filename().string();
    record.csFullFromAddress = localPath;
    record.csRealDownloadTo = destination.Server() + WithSlash(remoteFolder);
    record.csDownloadTo = record.csRealDownloadTo;
    record.csUser = login.csUser;
    record.csPassword = login.csPassword;
    record.csHostAddress = destination.csHost;
    record.csHostPort = std::to_string(destination.nPort);
    record.qwFileSize = isFolder ? 0 : size;
    record.bSsl = destination.bTls ? 1 : 0;
    return record;
}

CTransferRecord ServerCopyJob(const CCliLocation& source, const CTransferRecord& entry, const CLogin& sourceLogin,
                              const CCliLocation& destination, const std::string& remoteFolder,
                              const CLogin& destinationLogin)
{
    CTransferRecord record;
    FromServer(record, source, entry, sourceLogin);
    record.csDestinProtocol = Protocol(destination);
    record.csRealDownloadTo = destination.Server() + WithSlash(remoteFolder);
    record.csDownloadTo = record.csRealDownloadTo;
    record.csOldSource = source.Server() + record.csFolder;
    record.csUser = destinationLogin.csUser;
    record.csPassword = destinationLogin.csPassword;
    return record;
}

CTransferRecord LocalCopyJob(const std::string& localPath, bool isFolder, std::uint64_t size,
                             const std::string& localFolder)
{
    CTransferRecord record;
    record.csProtocol = "FILE";
    record.csDestinProtocol = "FILE";
    record.FtpAttributes = isFolder ? "d" : "-";
    record.csFolder = ParentOf(localPath);
    record.csFileName = std::filesystem::path(localPath).filename().string();
    record.csFullFromAddress = localPath;
    record.csDownloadTo = WithSlash(localFolder);
    record.csRealDownloadTo = record.csDownloadTo;
    record.csHostAddress = ":";
    record.csHostPort = "0";
    record.qwFileSize = isFolder ? 0 : size;
    return record;
}

}  // namespace cli
