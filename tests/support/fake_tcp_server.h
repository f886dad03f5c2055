#pragma once
// A small TCP server on 127.0.0.1 for faults real servers will not produce: it accepts
// connections on its own thread and runs a scripted session on each. Everything it does
// is bounded in time; the destructor stops it.

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace testsupport {

class FakeTcpServer {
public:
    using Session = std::function<void(int client)>;
    explicit FakeTcpServer(Session session, int maxConnections = 1);
    ~FakeTcpServer();
    FakeTcpServer(const FakeTcpServer&) = delete;
    FakeTcpServer& operator=(const FakeTcpServer&) = delete;
    int Port() const { return m_port; }
    int Accepted() const { return m_accepted; }

private:
    int m_listener = -1;
    int m_port = 0;
    std::atomic<int> m_accepted = 0;
    std::atomic<bool> m_stop = false;
    std::thread m_thread;
};

// Session helpers: all give up after timeoutMs.
bool SendAll(int fd, const std::string& data);
std::string ReceiveUntilClosed(int fd, int timeoutMs = 10000);
std::string ReceiveLine(int fd, int timeoutMs = 10000);
// Waits until the peer has closed its side (or the time runs out).
void WaitForPeerClose(int fd, int timeoutMs = 10000);

}  // namespace testsupport
