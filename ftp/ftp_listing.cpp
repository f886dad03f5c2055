#include <cctype>
#include <cstring>

#include "engine/file_list_format.h"
#include "ftp/ftp_protocol.h"
#include "net/messages.h"

namespace {

constexpr std::size_t LIST_CHUNK = 64 * 1024;
// A listing line longer than this is not a listing line; it is cut.
constexpr std::size_t MAX_LIST_LINE = 10000;

// One number of a PASV reply: 1 to 3 digits from 0 to 255; pos moves past it.
bool TakeByte(const std::string& text, std::size_t& pos, std::string& digits)
{
    digits.clear();
    while (pos < text.size() && text[pos] == ' ')
        ++pos;
    while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos])) && digits.size() < 4)
        digits += text[pos++];
    while (pos < text.size() && text[pos] == ' ')
        ++pos;
    return !digits.empty() && digits.size() <= 3 && std::stoi(digits) <= 255;
}

}  // namespace

bool ParsePassiveReply(const std::string& reply, std::string& address)
{
    // Inside the parentheses when there are any; otherwise (as some servers answer) from the
    // first digit after the code.
    std::size_t pos = reply.find('(');
    const bool parenthesised = pos != std::string::npos;
    if (parenthesised) {
        ++pos;
    } else {
        pos = reply.size() > 3 ? 3 : reply.size();
        while (pos < reply.size() && !std::isdigit(static_cast<unsigned char>(reply[pos])))
            ++pos;
        if (pos >= reply.size())
            return false;
    }
    std::string parts[6];
    for (int i = 0; i < 6; ++i) {
        if (!TakeByte(reply, pos, parts[i]))
            return false;
        if (i < 5) {
            if (pos >= reply.size() || reply[pos] != ',')
                return false;
            ++pos;
        }
    }
    if (parenthesised && (pos >= reply.size() || reply[pos] != ')'))
        return false;
    const int port = std::stoi(parts[4]) * 256 + std::stoi(parts[5]);
    if (port == 0)
        return false;
    address = parts[0] + "." + parts[1] + "." + parts[2] + "." + parts[3] + ":" + std::to_string(port) + ":1";
    return true;
}

bool CFtpProtocol::RequestPassive(std::string& reply)
{
    reply = "PASV\r\n";
    Log(reply);
    if (SendCommand(m_socket, reply, "227")) {
        Log(reply);
        m_csPasvReply = reply;
        return true;
    }
    Log(ContainsText(reply, "\r\n") ? reply : m_csError);
    return false;
}

bool CFtpProtocol::ConnectDataChannel(const std::string& pasvReply, SOCKET& socket)
{
    socket = INVALID_SOCKET;
    std::string address;
    if (!ParsePassiveReply(pasvReply, address)) {
        m_csError = "No data address in the PASV reply\r\n";
        Log(m_csError);
        return false;
    }
    const std::size_t colon = address.find(':');
    const std::string host = address.substr(0, colon);
    const int port = DecimalValue(std::string_view(address).substr(colon + 1));
    Log("connecting data channel to " + host + ":" + std::to_string(port) + "\r\n");

    // Connect1 describes the peer it reached in these; the control connection keeps its own.
    const std::string savedPort = m_csPort;
    const std::string savedHost = m_csHost;
    const std::string savedAddress = m_csIPAddress;
    const bool savedTls = m_bTls;
    const SOCKET savedControl = m_socket;
    auto restore = [&]() {
        m_csPort = savedPort;
        m_csHost = savedHost;
        m_csIPAddress = savedAddress;
        m_bTls = savedTls;
        m_socket = savedControl;
    };

    bool connected = Connect1(host, port, socket, FTP_CONNECT_TIMEOUT_MS, false);
    // A server behind an address translator names an address we cannot reach: the server we
    // are talking to is the one to ask, and only after the direct attempt failed.
    if (!connected && !m_csControlIP.empty() && host != m_csControlIP) {
        Log("Substituting connection address " + savedAddress + " for private address " + host +
            " from PASV\r\ndata channel connected to " + m_csControlIP + ":" + std::to_string(port) + "\r\n");
        connected = Connect1(m_csControlIP, port, socket, FTP_CONNECT_TIMEOUT_MS, false);
    }
    if (!connected) {
        Log(m_csError);
        restore();
        return false;
    }
    CloseDataSocket();
    m_nDataSocket = socket;
    restore();
    return true;
}

void CFtpProtocol::AddListLine(std::string line, bool first)
{
    std::string year;
    ConvertDosListLine(line, year);
    const std::string upper = UpperAscii(line);
    if (ContainsText(upper, " ..\r\n") || (first && ContainsText(upper, "TOTAL")))
        return;
    const std::size_t blank = line.find(' ');
    line.insert(blank == std::string::npos ? 0 : blank, " FTP 0");
    const std::size_t before = m_aListing.GetSize();
    if (!ParseListLine(m_csUser, m_csPassword, m_aListing, m_csLabel, m_csCurrentDir, line, "", year, "0:00"))
        return;
    // A name that could climb out of a local folder is never offered.
    if (m_aListing.GetSize() > before && !IsSafeEntryName(m_aListing[before].csFileName)) {
        Log("Unsafe name in the listing skipped\r\n");
        m_aListing.RemoveAt(before);
    }
}

void CFtpProtocol::ReadListing(CCommandConnection& reader)
{
    // Lines end in CR LF or, from some servers, LF alone; each is handed on with CR LF.
    std::string pending;
    bool first = true;
    char buffer[LIST_CHUNK];
    for (;;) {
        std::size_t length = sizeof buffer;
        if (!reader.ReadRowData(m_nDataSocket, buffer, length, FTP_LIST_LINE_TIMEOUT_MS))
            break;
        pending.append(buffer, length);
        std::size_t start = 0;
        for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
            std::size_t stop = end;
            if (stop > start && pending[stop - 1] == '\r')
                --stop;
            AddListLine(pending.substr(start, std::min(stop - start, MAX_LIST_LINE)) + "\r\n", first);
            first = false;
        }
        pending.erase(0, start);
        if (pending.size() > MAX_LIST_LINE) {
            AddListLine(pending.substr(0, MAX_LIST_LINE) + "\r\n", first);
            first = false;
            pending.clear();
        }
    }
    if (!pending.empty() && pending.find_first_not_of(" \r") != std::string::npos)
        AddListLine(pending + "\r\n", first);
}

bool CFtpProtocol::ListFolder()
{
    if (!SetTransferType("A"))
        return false;
    std::string pasv;
    if (!RequestPassive(pasv))
        return false;
    const std::string list = "LIST\r\n";
    Log(list);
    std::size_t length = list.size();
    if (!SendAndWait(m_socket, list.data(), length))
        return false;
    SOCKET data = INVALID_SOCKET;
    if (!ConnectDataChannel(m_csPasvReply, data))
        return false;
    std::string line;
    if (!ReadReplyUntil(m_socket, line, "\r\n"))
        return false;
    if (IsMultiLineStart(line))
        ReadMultiLineRest(m_socket, line, line.substr(0, 3));
    if (!ContainsText(line, "150") && line.rfind("125", 0) != 0 && line.size() >= 3) {
        Log(line);
        Log(m_csError.empty() ? "LIST refused\r\n" : m_csError);
        return false;
    }
    CCommandConnection reader;
    reader.m_csHost = m_csHost;
    reader.m_csIPAddress = m_csHost;
    reader.m_pResumeSession = TlsSession();
    reader.m_pMainWnd = m_pMainWnd;
    if (m_bTls && !reader.StartTls(m_nDataSocket)) {
        m_csError = reader.m_csError;
        Log(m_csError);
        CloseDataSocket();
        return false;
    }
    Log(line);

    m_aListing.RemoveAll();
    ParseListLine(m_csUser, m_csPassword, m_aListing, m_csLabel, m_csCurrentDir, "d FTP 0 0 0 0 0 0 0 0  ..\r\n", "",
                  "", "0:00");
    // The data first, to its end: the closing reply follows it.
    ReadListing(reader);
    reader.Disconnect(true);
    m_nDataSocket = INVALID_SOCKET;

    std::string closing;
    if (ReadReplyUntil(m_socket, closing, "\r\n")) {
        if (IsMultiLineStart(closing))
            ReadMultiLineRest(m_socket, closing, closing.substr(0, 3));
        Log(closing);
    }
    Log("Data recieved OK, (" + std::to_string(m_aListing.GetSize() - 1) + " records)\r\n");
    m_csListedFolder = m_csCurrentDir;
    return true;
}

bool CFtpProtocol::ShowFolder(const std::string& path)
{
    int result = 0;
    const std::size_t up = path.find("..", 1);
    if (up != std::string::npos) {
        const std::string parent = path.substr(0, up - 1);
        if (UpperAscii(parent) != UpperAscii(m_csCurrentDir))
            result = ChangeDirectory(parent);
        else
            result = ChangeToParent() ? 1 : 0;
    } else {
        result = ChangeDirectory(path);
        if (result == 0) {
            SendToOwner(WM_PANE_CWD_FAILED, reinterpret_cast<platform::WPARAM>(&m_csUrl), 0);
            return false;
        }
        if (result == -1) {
            if (!m_bAutoMode && platform::IsWindow(m_hOwnerWnd))
                platform::SendMessage(m_hOwnerWnd, WM_PANE_LOGGED_IN, reinterpret_cast<platform::WPARAM>(&m_csUser),
                                      reinterpret_cast<platform::LPARAM>(&m_csPassword));
            SendToOwner(WM_PANE_RECONNECT, 0, 0);
            return false;
        }
    }
    if (result == 0)
        return false;
    QueryCurrentFolder();
    const bool listed = ListFolder();
    if (listed && !m_bAutoMode) {
        if (m_csCurrentDir.empty() || m_csCurrentDir.back() != '/')
            m_csCurrentDir += '/';
        SendToOwner(WM_PANE_LISTING, reinterpret_cast<platform::WPARAM>(&m_aListing),
                    reinterpret_cast<platform::LPARAM>(&m_csCurrentDir));
        SendToOwner(WM_PANE_READY, 0, -1);
    }
    return listed;
}
