#pragma once
// The thread of one FTP or FTPS connection. It serves an explorer pane (browsing, folder
// creation, deletion) or the main frame (an unattended transfer, then further queued
// transfers for the same server on the same connection, without a new login). The
// embedded CFtpProtocol does the protocol work on this thread.

#include <string>

#include "engine/command_client.h"
#include "ftp/ftp_protocol.h"
#include "platform/message.h"

// Sent to the owner pane when a login was refused: the pane shows the authorizing dialog
// and answers nonzero with the (possibly changed) user and password in the payload, or 0
// to give up. A client without a pane gives up at once.
inline constexpr std::uint32_t WM_PANE_AUTHORIZE = platform::WM_USER + 163;

class CFtpLoginPayload : public platform::MessagePayload {
public:
    CFtpLoginPayload(std::string host, std::string user, std::string password)
        : m_csHost(std::move(host)), m_csUser(std::move(user)), m_csPassword(std::move(password)) {}
    std::string m_csHost;
    std::string m_csUser;
    std::string m_csPassword;
};

// Offered as the password of an anonymous login.
inline constexpr const char* FTP_ANONYMOUS_PASSWORD = "korvalo@example.com";

class CFtpClient : public CCommandClient {
public:
    CFtpClient();
    ~CFtpClient() override;

    bool InitInstance() override;
    int ExitInstance() override;
    int Connect(const std::string& address) override;
    int RunJob() override;
    int ParseAddress(const std::string& url, std::string& host, std::string& port) override;
    int OnTransferError() override;
    int OnTransferProgress(std::uint64_t bytes) override;
    int OnFileOperation(platform::Message& msg) override;
    int OnRefreshList() override;
    int OnDirUp() override;
    int OnMakeDir(platform::Message& msg) override;
    int OnDownloadEnd() override;
    int OnConnectionClosed(bool flag) override;
    int OnTransferComplete() override;
    int OnContinueJob() override;

    bool ConnectFtp(const std::string& label);
    bool StartFtpSession();

    std::string m_csBrowseDir;
    CFtpProtocol m_protocol;

protected:
    CCommandProtocol& Embedded() override { return m_protocol; }

private:
    // False when the user (or nobody, unattended) declined to try other credentials.
    bool AskForLogin(std::string& user, std::string& password);
    void EndClientThread();
    bool m_bRanUnattended = false;
};
