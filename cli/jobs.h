#pragma once
// The transfer records of the tool's commands, as the explorer panes make them: a
// download from a server, an upload to one, a copy between two servers, a local copy.
// The login travels in the record's fields, never inside an address.

#include <cstdint>
#include <string>

#include "cli/location.h"
#include "transfers/transfer_record.h"

namespace cli {

struct CLogin {
    std::string csUser;
    std::string csPassword;
};

// entry: what the server lists for the source (name, folder or file, size).
// localFolder: the destination folder, with a trailing slash.
CTransferRecord DownloadJob(const CCliLocation& source, const CTransferRecord& entry, const CLogin& login,
                            const std::string& localFolder);
// localPath: a file or folder (without a trailing slash); remoteFolder ends with "/".
CTransferRecord UploadJob(const std::string& localPath, bool isFolder, std::uint64_t size,
                          const CCliLocation& destination, const std::string& remoteFolder, const CLogin& login);
// From one server to another (through the temporary folder).
CTransferRecord ServerCopyJob(const CCliLocation& source, const CTransferRecord& entry, const CLogin& sourceLogin,
                              const CCliLocation& destination, const std::string& remoteFolder,
                              const CLogin& destinationLogin);
// localFolder of the destination ends with "/".
CTransferRecord LocalCopyJob(const std::string& localPath, bool isFolder, std::uint64_t size,
                             const std::string& localFolder);

// "/a/b" -> "/a/b/".
std::string WithSlash(std::string folder);

}  // namespace cli
