#pragma once
// A scriptable FTP server on 127.0.0.1 for what real servers will not do. Each command
// gets the reply its verb is given in the script (a default otherwise); a custom
// handler may answer first. PASV opens a one-shot data listener; LIST and RETR send the
// script's data over it, STOR keeps what arrives. Everything is bounded in time.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/fake_tcp_server.h"

namespace testsupport {

struct FakeFtpScript {
    std::string greeting = "220 fake FTP\r\n";
    // Verb ("USER", "PASS", "CWD", ...) -> the whole reply, CR LF included.
    std::map<std::string, std::string> replies;
    // Returns a reply for a command line, or "" for the scripted one.
    std::function<std::string(const std::string& line)> handler;
    std::string listing;          // sent on LIST
    std::string fileData;         // sent on RETR (from the REST offset on)
    std::string pasvAddress = "127,0,0,1";
    bool pasvParentheses = true;
    bool silentAfterData = false; // no closing reply after a data phase
    std::string preliminary = "150 Opening data connection\r\n";
    std::string closing = "226 Transfer complete\r\n";
};

class FakeFtpServer {
public:
    explicit FakeFtpServer(FakeFtpScript script, int connections = 1);
    ~FakeFtpServer();
    int Port() const { return m_control->Port(); }
    int Accepted() const { return m_control->Accepted(); }
    std::vector<std::string> Commands() const;
    std::string Stored() const;
    // Index of the first received command beginning with prefix, or -1.
    int IndexOf(const std::string& prefix) const;

private:
    void Session(int client);
    FakeFtpScript m_script;
    mutable std::mutex m_lock;
    std::vector<std::string> m_commands;
    std::string m_stored;
    std::unique_ptr<FakeTcpServer> m_control;
};

}  // namespace testsupport
