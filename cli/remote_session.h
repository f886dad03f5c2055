#pragma once
// A control connection of the tool's own to an FTP or FTPS server, on the calling
// thread: it asks the certificate question, finds a login that works (from the URL, or
// asked at the terminal), lists folders and looks up what a path names. The transfers
// themselves run in the program's workers with the login found here.

#include <memory>
#include <string>

#include "cli/location.h"
#include "transfers/transfer_record.h"

namespace cli {

class CLoggedProtocol;

class CRemoteSession {
public:
    CRemoteSession();
    ~CRemoteSession();
    CRemoteSession(const CRemoteSession&) = delete;
    CRemoteSession& operator=(const CRemoteSession&) = delete;

    // Connects and logs in. Without a user in the URL the login is anonymous; a user
    // without a password is asked for it. A refused login is asked again at a terminal
    // (three tries); without one it fails. error tells why in words for the user.
    bool Open(const CCliLocation& where, std::string& error);
    void Close();

    // The listing of a folder (without ".."); false when it cannot be entered or listed.
    bool List(const std::string& folder, CTransferRecordArray& entries, std::string& error);
    // What path names: a listing entry (folder or file, size) from its parent's listing;
    // "/" is a folder. False when there is no such entry.
    bool Lookup(const std::string& path, CTransferRecord& entry, std::string& error);

    const std::string& User() const { return m_csUser; }
    const std::string& Password() const { return m_csPassword; }

private:
    bool Connect(std::string& error);

    CCliLocation m_where;
    std::unique_ptr<CLoggedProtocol> m_pFtp;
    std::string m_csUser;
    std::string m_csPassword;
};

// True for a listing entry that is a folder ("d..." attributes).
bool IsFolderEntry(const CTransferRecord& entry);

}  // namespace cli
