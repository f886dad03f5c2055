#pragma once
// A CFtpProtocol on the test's own thread, connected to a server on 127.0.0.1 with the
// greeting read, and every log line kept.

#include <string>
#include <vector>

#include "ftp/ftp_protocol.h"

namespace testsupport {

class CLoggedFtpProtocol : public CFtpProtocol {
public:
    std::vector<std::string> m_aLog;
    std::string AllLog() const
    {
        std::string all;
        for (const std::string& line : m_aLog)
            all += line;
        return all;
    }

    // Connects, reads the (possibly multi-line) greeting and fills in what the client would.
    bool Open(int port, bool tls = false)
    {
        SOCKET socket = INVALID_SOCKET;
        if (!Connect1("127.0.0.1", port, socket, FTP_CONNECT_TIMEOUT_MS, false))
            return false;
        m_socket = socket;
        m_csControlIP = m_csIPAddress;
        m_csLabel = "127.0.0.1:" + std::to_string(port) + ":0";
        m_bLogToWindow = false;
        std::string greeting;
        if (!ReadReplyUntil(m_socket, greeting, "\r\n"))
            return false;
        if (greeting.rfind("220-", 0) == 0 && !ReadMultiLineRest(m_socket, greeting, "220"))
            return false;
        m_csGreeting = greeting;
        m_bTls = tls;   // asked for; the login negotiates it
        return greeting.rfind("220", 0) == 0;
    }

    ~CLoggedFtpProtocol() override
    {
        if (m_socket != INVALID_SOCKET)
            Disconnect(true);
    }

    std::string m_csGreeting;

protected:
    void Log(const std::string& text) override { m_aLog.push_back(text); }
};

}  // namespace testsupport
