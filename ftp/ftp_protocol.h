#pragma once
// FTP and FTPS over passive data connections: the control channel (commands, replies,
// login with explicit TLS), listings of remote folders, and file and folder jobs. An FTP
// client thread embeds one object and drives it; everything runs on that thread.
//
// Operations return nonzero for success; a few return a third value (-1 the control
// connection is gone or the server refused RETR/STOR, 530 the login was refused). The
// reason of a failure is left in m_csError.

#include <cstdint>
#include <string>

#include "engine/command_protocol.h"
#include "transfers/transfer_record.h"

inline constexpr std::uint32_t FTP_CONNECT_TIMEOUT_MS = 10000;
inline constexpr std::uint32_t FTP_REPLY_TIMEOUT_MS = 30000;
inline constexpr std::uint32_t FTP_LIST_LINE_TIMEOUT_MS = 5000;
inline constexpr std::uint32_t FTP_CLOSING_REPLY_TIMEOUT_MS = 5000;
inline constexpr int FTP_LOGIN_REFUSED = 530;

inline constexpr const char* FTP_HIDDEN_PASSWORD = "PASS [hidden]";
inline constexpr const char* FTP_TLS_REFUSED =
    "The server refused TLS (AUTH TLS and AUTH SSL); no clear-text login was made";

// Reads the six numbers of a PASV reply inside its parentheses: "h1.h2.h3.h4:port:1".
// False (address unchanged) when the reply has no parentheses, fewer than six numbers,
// or an address part that is not a number from 0 to 255.
bool ParsePassiveReply(const std::string& reply, std::string& address);

// True for the first line of a multi-line reply: three digits and "-".
bool IsMultiLineStart(const std::string& line);

// The code of a reply: the number its first three characters give (0 for a short reply).
int ReplyCode(const std::string& reply);

class CFtpProtocol : public CCommandProtocol {
public:
    CFtpProtocol();
    ~CFtpProtocol() override;

    // Control channel.
    bool SendCommand(SOCKET socket, std::string& text, const std::string& expected,
                     const std::string& terminator = "\r\n");
    bool ReadReplyUntil(SOCKET socket, std::string& text, const std::string& terminator,
                        std::uint32_t timeoutMs = FTP_REPLY_TIMEOUT_MS);
    // Reads on after a first line "ddd-..." until the closing "ddd " line; the whole reply
    // is appended to reply. False when the reply ended early.
    bool ReadMultiLineRest(SOCKET socket, std::string& reply, const std::string& code);
    int Login(SOCKET socket, const std::string& user, const std::string& password);
    bool NegotiateTls(SOCKET socket);
    bool SetTransferType(const std::string& type);
    bool SetProtectionLevel(const std::string& level);
    // Sends one command that must be answered 200; the reply code is kept in m_nLastReply.
    bool SendExpectingOk(const std::string& command);
    bool QueryCurrentFolder();
    int ChangeDirectory(std::string& reply, const std::string& path);
    int ChangeDirectory(const std::string& path);
    bool ChangeToParent();
    bool MakeDirectory(const std::string& path);
    bool ChangeOrMakeDirectory(const std::string& path);
    bool DeleteEntry(const std::string& entry, bool folder);
    bool Quit();

    // Data channel and listings.
    bool RequestPassive(std::string& reply);
    bool ConnectDataChannel(const std::string& pasvReply, SOCKET& socket);
    bool ListFolder();
    bool ShowFolder(const std::string& path);

    // File and folder jobs.
    int RunJob() override;
    int RunFtpJob();
    int TransferFile(const std::string& folder, const std::string& name);
    bool TransferFolder(const std::string& folder, const std::string& name, char attribute);
    int EnqueueChildren(const std::string& name);
    bool NewerWins();
    bool DeleteTree(const std::string& entry);

    bool m_bAuthDone = false;
    std::string m_csControlIP;
    std::string m_csBrowseFolder;
    std::string m_csListedFolder;
    std::string m_csJobProtocol;
    SOCKET m_nDataSocket = INVALID_SOCKET;
    int m_nLastReply = 0;
    std::string m_csPasvReply;
    CTransferRecordArray m_aListing;
    std::string m_csCurrentDir;
    std::string m_csType;
    std::string m_csProt;
    // Set when the last job was turned round by NewerWins: it must not run in the first
    // direction any more.
    bool m_bJobReversed = false;

protected:
    // Every command and reply goes through here to the log window.
    virtual void Log(const std::string& text);

private:
    bool UploadJob() const;
    void CloseDataSocket();
    void ReadListing(CCommandConnection& reader);
    void AddListLine(std::string line, bool first);
};
