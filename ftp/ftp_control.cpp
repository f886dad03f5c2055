#include <cctype>

#include "engine/file_list_format.h"
#include "ftp/ftp_protocol.h"
#include "net/messages.h"

namespace {

// A reply longer than this many lines is not a reply any more.
constexpr int MAX_REPLY_LINES = 10000;

bool BeginsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

bool IsMultiLineStart(const std::string& line)
{
    return line.size() >= 4 && std::isdigit(static_cast<unsigned char>(line[0])) &&
           std::isdigit(static_cast<unsigned char>(line[1])) && std::isdigit(static_cast<unsigned char>(line[2])) &&
           line[3] == '-';
}

int ReplyCode(const std::string& reply)
{
    if (reply.size() < 3)
        return 0;
    return DecimalValue(std::string_view(reply).substr(0, 3));
}

CFtpProtocol::CFtpProtocol() = default;

CFtpProtocol::~CFtpProtocol() { CloseDataSocket(); }

void CFtpProtocol::Log(const std::string& text) { LogLine(text); }

void CFtpProtocol::CloseDataSocket()
{
    if (m_nDataSocket == INVALID_SOCKET)
        return;
    ShutdownSocket(m_nDataSocket, SD_BOTH);
    CloseSocket(m_nDataSocket);
    m_nDataSocket = INVALID_SOCKET;
}

bool CFtpProtocol::SendCommand(SOCKET socket, std::string& text, const std::string& expected,
                               const std::string& terminator)
{
    std::size_t length = text.size();
    if (!SendAndWait(socket, text.data(), length)) {
        text.clear();
        return false;
    }
    std::string reply;
    if (!ReadString(socket, reply, terminator, platform::INFINITE)) {
        text.clear();
        return false;
    }
    const bool expectedSeen = ContainsText(reply, expected.c_str());
    // A multi-line reply is read whole here, so no later command reads its rest as its own
    // reply (pure-ftpd answers many commands in several lines).
    if (IsMultiLineStart(reply))
        ReadMultiLineRest(socket, reply, reply.substr(0, 3));
    text = reply;
    return expectedSeen;
}

bool CFtpProtocol::ReadReplyUntil(SOCKET socket, std::string& text, const std::string& terminator,
                                  std::uint32_t timeoutMs)
{
    text.clear();
    return ReadString(socket, text, terminator, timeoutMs);
}

bool CFtpProtocol::ReadMultiLineRest(SOCKET socket, std::string& reply, const std::string& code)
{
    // Continuation lines may hold anything, the code too; only a line that begins with the
    // code and a blank closes the reply.
    const std::string closing = code + " ";
    for (int lines = 0; lines < MAX_REPLY_LINES; ++lines) {
        std::string line;
        if (!ReadReplyUntil(socket, line, "\r\n"))
            return false;
        reply += line;
        if (BeginsWith(line, closing))
            return true;
    }
    m_csError = "The server's reply does not end";
    return false;
}

bool CFtpProtocol::NegotiateTls(SOCKET socket)
{
    m_bTls = false;
    for (const char* command : {"AUTH TLS\r\n", "AUTH SSL\r\n"}) {
        Log(command);
        std::string reply = command;
        SendCommand(socket, reply, "234");
        if (reply.empty()) {
            platform::PostThreadMessage(m_dwOwnThreadId, WM_TRANSFER_ERROR);
            platform::PostThreadMessage(m_dwOwnThreadId, WM_STOP_WORKER);
            return false;
        }
        Log(reply);
        if (BeginsWith(reply, "234")) {
            m_bTls = true;
            // Servers that insist on data connections resuming the control connection's
            // session accept each TLS 1.3 ticket once and issue new ones only on the control
            // connection at login, so a long session runs out of them; a TLS 1.2 session
            // can be resumed by every data connection of the login.
            m_bTls12Only = true;
            if (!StartTls(socket))
                return false;
            m_bAuthDone = true;
            return true;
        }
    }
    m_csError = FTP_TLS_REFUSED;
    return false;
}

int CFtpProtocol::Login(SOCKET socket, const std::string& user, const std::string& password)
{
    if (m_bTls && !m_bAuthDone && !NegotiateTls(socket)) {
        // No clear-text login once TLS was asked for.
        if (m_csError.empty())
            m_csError = FTP_TLS_REFUSED;
        Log(m_csError.find("\r\n") == std::string::npos ? m_csError + "\r\n" : m_csError);
        return 0;
    }
    m_csUser = user;
    m_csPassword = password;

    const std::string userCommand = "USER " + user + "\r\n";
    Log(userCommand);
    std::string reply = userCommand;
    SendCommand(socket, reply, "331");
    if (reply.empty())
        return 0;
    const bool loggedInByUser = BeginsWith(reply, "230");
    if (!loggedInByUser && !BeginsWith(reply, "331")) {
        // A server that wants TLS before it takes a user name.
        if (m_bAuthDone || !NegotiateTls(socket)) {
            Log(reply);
            return 0;
        }
        reply = userCommand;
        Log(userCommand);
        SendCommand(socket, reply, "331");
        if (reply.empty())
            return 0;
    }
    Log(reply);

    if (!BeginsWith(reply, "230")) {
        Log(std::string(FTP_HIDDEN_PASSWORD) + "\r\n");
        reply = "PASS " + password + "\r\n";
        SendCommand(socket, reply, "230");
    }
    if (!BeginsWith(reply, "230")) {
        Log(reply);
        if (reply.empty())
            return 0;
        m_csError = reply;
        return BeginsWith(reply, "530") ? FTP_LOGIN_REFUSED : 0;
    }
    Log(reply);

    // Whether the server can resume; the outcome is not kept.
    std::string rest = "REST 100\r\n";
    Log(rest);
    const bool resumes = SendCommand(socket, rest, "350");
    Log(rest);
    if (resumes) {
        rest = "REST 0\r\n";
        Log(rest);
        SendCommand(socket, rest, "350");
        Log(rest);
    }
    if (m_bTls)
        SetProtectionLevel("P");
    return 1;
}

bool CFtpProtocol::SetTransferType(const std::string& type)
{
    if (m_csType == type)
        return true;
    if (!SendExpectingOk("TYPE " + type + "\r\n"))
        return false;
    m_csType = type;
    return true;
}

bool CFtpProtocol::SetProtectionLevel(const std::string& level)
{
    if (m_csProt == level)
        return true;
    if (!SendExpectingOk("PBSZ 0\r\n") || !SendExpectingOk("PROT " + level + "\r\n"))
        return false;
    m_csProt = level;
    return true;
}

bool CFtpProtocol::SendExpectingOk(const std::string& command)
{
    std::string reply = command;
    Log(command);
    const bool ok = SendCommand(m_socket, reply, "200");
    Log(reply);
    m_nLastReply = ok ? 200 : ReplyCode(reply);
    return ok;
}

bool CFtpProtocol::QueryCurrentFolder()
{
    std::string reply = "PWD\r\n";
    Log(reply);
    const bool ok = SendCommand(m_socket, reply, "257");
    Log(reply);
    if (!ok)
        return false;
    m_csCurrentDir.clear();
    const std::size_t open = reply.find('"');
    if (open != std::string::npos) {
        const std::size_t close = reply.find('"', open + 1);
        if (close != std::string::npos)
            m_csCurrentDir = reply.substr(open + 1, close - open - 1);
    }
    const std::size_t colon = m_csLabel.find(':');
    const std::string host = m_csLabel.substr(0, colon);
    int port = 21;
    if (colon != std::string::npos)
        port = DecimalValue(std::string_view(m_csLabel).substr(colon + 1));
    std::string folder = m_csCurrentDir;
    if (!BeginsWith(folder, "/"))
        folder.insert(0, "/");
    m_csUrl = port == 21 ? "ftp://" + host + folder : "ftp://" + host + ":" + std::to_string(port) + folder;
    return true;
}

int CFtpProtocol::ChangeDirectory(const std::string& path)
{
    std::string reply;
    return ChangeDirectory(reply, path);
}

int CFtpProtocol::ChangeDirectory(std::string& reply, const std::string& path)
{
    if (ContainsText(path, ".."))
        return ChangeToParent() ? 1 : 0;
    const std::string folder = path.empty() ? "/" : path;
    reply = "CWD " + folder + "\r\n";
    Log(reply);
    SendCommand(m_socket, reply, "250");
    if (reply.empty()) {
        platform::PostThreadMessage(m_dwOwnThreadId, WM_STOP_WORKER);
        return -1;
    }
    if (BeginsWith(reply, "530"))
        return Login(m_socket, m_csUser, m_csPassword);
    if (BeginsWith(reply, "425"))
        return 0;
    Log(reply);
    m_csCurrentDir = folder;
    m_nLastReply = ReplyCode(reply);
    if (!BeginsWith(reply, "250")) {
        // Learn where the server really is.
        const std::string refused = reply;
        QueryCurrentFolder();
        reply = refused;
        return 0;
    }
    return 1;
}

bool CFtpProtocol::ChangeToParent()
{
    if (!IsSocketValid(m_socket))
        return false;
    std::string reply = "CDUP\r\n";
    Log(reply);
    SendCommand(m_socket, reply, "250");
    Log(reply);
    // The server has answered; whatever it said, the caller asks it where it is now.
    return !reply.empty();
}

bool CFtpProtocol::MakeDirectory(const std::string& path)
{
    auto mkd = [this](const std::string& folder) {
        std::string reply = "MKD " + folder + "\r\n";
        Log(reply);
        const bool ok = SendCommand(m_socket, reply, "257");
        Log(reply);
        m_nLastReply = ReplyCode(reply);
        return ok;
    };
    if (mkd(path))
        return true;
    // Walk up to the deepest folder that can be made, then down again to the full path.
    std::string prefix = path;
    bool made = false;
    for (;;) {
        const std::size_t slash = prefix.rfind('/');
        if (slash == std::string::npos || slash == 0)
            break;
        prefix.resize(slash);
        if (mkd(prefix)) {
            made = true;
            break;
        }
    }
    if (!made)
        return false;
    const std::string full = path + "/";
    bool ok = true;
    for (std::size_t next = full.find('/', prefix.size() + 1); ok && next != std::string::npos;
         next = full.find('/', next + 1))
        ok = mkd(full.substr(0, next));
    return ok;
}

bool CFtpProtocol::ChangeOrMakeDirectory(const std::string& path)
{
    std::string reply;
    if (ChangeDirectory(reply, path) != 0) {
        m_nLastReply = ReplyCode(reply);
        return true;
    }
    if (ContainsText(reply, "501"))
        return false;
    if (!MakeDirectory(path))
        return false;
    if (CTransferRecord* job = Job())
        job->nFolderAction = 4;
    ChangeDirectory(path);
    return true;
}

bool CFtpProtocol::DeleteEntry(const std::string& entry, bool folder)
{
    const std::size_t first = entry.find("\r\n");
    const std::string name = entry.substr(0, first);
    std::string where;
    if (first != std::string::npos) {
        const std::size_t second = entry.find("\r\n", first + 2);
        where = entry.substr(first + 2, second == std::string::npos ? std::string::npos : second - first - 2);
    }
    if (where != m_csCurrentDir && ChangeDirectory(where) == 0)
        return false;
    std::string reply = (folder ? "RMD " : "DELE ") + name + "\r\n";
    Log(reply);
    const bool ok = SendCommand(m_socket, reply, "250");
    Log(reply);
    if (!ok) {
        m_nLastReply = ReplyCode(reply);
        return false;
    }
    return true;
}

bool CFtpProtocol::Quit()
{
    std::string reply = "QUIT\r\n";
    Log(reply);
    const bool ok = SendCommand(m_socket, reply, "221");
    if (!reply.empty())
        Log(reply);
    return ok;
}
