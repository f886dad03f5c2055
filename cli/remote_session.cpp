#include "cli/remote_session.h"

#include <cctype>

#include "cli/terminal.h"
#include "ftp/ftp_client.h"
#include "ftp/ftp_protocol.h"

namespace cli {

namespace {

constexpr int LOGIN_TRIES = 3;

std::string Trimmed(std::string text)
{
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

// A server host for the name check and the connection: without IPv6 brackets.
std::string ConnectHost(const std::string& host)
{
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        return host.substr(1, host.size() - 2);
    return host;
}

}  // namespace

// Keeps the replies of the control connection (the password line is logged hidden by
// the protocol) for the messages the user sees.
class CLoggedProtocol : public CFtpProtocol {
public:
    std::string m_csLastReply;

protected:
    void Log(const std::string& text) override
    {
        if (text.size() >= 3 && std::isdigit(static_cast<unsigned char>(text[0])))
            m_csLastReply = Trimmed(text);
    }
};

bool IsFolderEntry(const CTransferRecord& entry)
{
    return !entry.FtpAttributes.empty() && std::toupper(static_cast<unsigned char>(entry.FtpAttributes[0])) == 'D';
}

CRemoteSession::CRemoteSession() = default;

CRemoteSession::~CRemoteSession() { Close(); }

void CRemoteSession::Close()
{
    if (!m_pFtp)
        return;
    if (m_pFtp->m_socket != INVALID_SOCKET) {
        m_pFtp->Quit();
        m_pFtp->Disconnect(true);
    }
    m_pFtp.reset();
}

bool CRemoteSession::Connect(std::string& error)
{
    Close();
    m_pFtp = std::make_unique<CLoggedProtocol>();
    CLoggedProtocol& ftp = *m_pFtp;
    ftp.m_bLogToWindow = false;
    ftp.m_bInteractive = true;
    const std::string host = ConnectHost(m_where.csHost);
    SOCKET socket = INVALID_SOCKET;
    if (!ftp.Connect1(host, m_where.nPort, socket, FTP_CONNECT_TIMEOUT_MS, false)) {
        error = "cannot connect to " + m_where.csHost + ":" + std::to_string(m_where.nPort) + ": " +
                Trimmed(ftp.m_csError.substr(0, ftp.m_csError.find("\r\n")));
        return false;
    }
    ftp.m_socket = socket;
    ftp.m_csHost = host;
    ftp.m_csControlIP = ftp.m_csIPAddress;
    ftp.m_csLabel = host + ":" + std::to_string(m_where.nPort) + ":0";
    std::string greeting;
    if (!ftp.ReadReplyUntil(socket, greeting, "\r\n") ||
        (IsMultiLineStart(greeting) && !ftp.ReadMultiLineRest(socket, greeting, "220")) ||
        greeting.rfind("220", 0) != 0) {
        error = "no FTP greeting from " + m_where.csHost + ": " + Trimmed(greeting);
        return false;
    }
    ftp.m_bTls = m_where.bTls;
    return true;
}

bool CRemoteSession::Open(const CCliLocation& where, std::string& error)
{
    m_where = where;
    std::string user = where.bHasUser ? where.csUser : "anonymous";
    std::string password = where.bHasUser ? where.csPassword : FTP_ANONYMOUS_PASSWORD;
    if (where.bHasUser && !where.bHasPassword) {
        if (!CanAsk()) {
            error = "no password for " + user + "@" + where.csHost + " in the URL, and no terminal to ask for it";
            return false;
        }
        if (!ReadLine("Password for " + user + "@" + where.csHost + ": ", password, true)) {
            error = "no password given";
            return false;
        }
    }
    for (int attempt = 1;; ++attempt) {
        if (!Connect(error))
            return false;
        CLoggedProtocol& ftp = *m_pFtp;
        const int result = ftp.Login(ftp.m_socket, user, password);
        if (result == 1) {
            m_csUser = user;
            m_csPassword = password;
            return true;
        }
        if (where.bTls && !ftp.m_bAuthDone) {
            error = "TLS with " + where.csHost + " failed: " + Trimmed(ftp.m_csError);
            return false;
        }
        const std::string reply = ftp.m_csLastReply.empty() ? Trimmed(ftp.m_csError) : ftp.m_csLastReply;
        error = "the login as " + user + " to " + where.csHost + " was refused" + (reply.empty() ? "" : ": " + reply);
        if (result != FTP_LOGIN_REFUSED || !CanAsk() || attempt >= LOGIN_TRIES)
            return false;
        std::fprintf(stderr, "korvalo-cli: %s\n", error.c_str());
        if (!ReadLine("User [" + user + "]: ", user)) 
            return false;
        if (user.empty())
            user = m_csUser.empty() ? (where.bHasUser ? where.csUser : "anonymous") : m_csUser;
        if (!ReadLine("Password for " + user + "@" + where.csHost + ": ", password, true))
            return false;
    }
}

bool CRemoteSession::List(const std::string& folder, CTransferRecordArray& entries, std::string& error)
{
    entries.RemoveAll();
    if (!m_pFtp) {
        error = "not connected";
        return false;
    }
    CLoggedProtocol& ftp = *m_pFtp;
    if (ftp.ChangeDirectory(folder) != 1) {
        error = "cannot open the folder " + folder + (ftp.m_csLastReply.empty() ? "" : ": " + ftp.m_csLastReply);
        return false;
    }
    ftp.QueryCurrentFolder();
    if (!ftp.ListFolder()) {
        error = "cannot list " + folder + (ftp.m_csLastReply.empty() ? "" : ": " + ftp.m_csLastReply);
        return false;
    }
    entries.Reserve(ftp.m_aListing.GetSize());
    for (const CTransferRecord& entry : ftp.m_aListing)
        if (entry.csFileName != ".." && entry.csFileName != ".")
            entries.Add(entry);
    return true;
}

bool CRemoteSession::Lookup(const std::string& path, CTransferRecord& entry, std::string& error)
{
    CCliLocation where = m_where;
    where.csPath = path;
    const std::string name = where.Name();
    if (name.empty()) {
        entry = CTransferRecord();
        entry.FtpAttributes = "drwxr-xr-x";
        entry.csFolder = "/";
        return true;
    }
    CTransferRecordArray entries;
    if (!List(where.Folder(), entries, error))
        return false;
    for (const CTransferRecord& candidate : entries) {
        if (candidate.csFileName == name) {
            entry = candidate;
            return true;
        }
    }
    error = "no such file or folder on the server: " + path;
    return false;
}

}  // namespace cli
