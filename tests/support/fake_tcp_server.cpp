#include "support/fake_tcp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace testsupport {

FakeTcpServer::FakeTcpServer(Session session, int maxConnections)
{
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listener, 16) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.1");
    socklen_t size = sizeof address;
    ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &size);
    m_port = ntohs(address.sin_port);

    m_thread = std::thread([this, session = std::move(session), maxConnections] {
        // A connection that is already waiting when the server stops is still served.
        for (int served = 0; served < maxConnections;) {
            pollfd entry{m_listener, POLLIN, 0};
            if (::poll(&entry, 1, m_stop ? 0 : 50) <= 0) {
                if (m_stop)
                    break;
                continue;
            }
            int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            ++m_accepted;
            ++served;
            session(client);
            ::close(client);
        }
    });
}

FakeTcpServer::~FakeTcpServer()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    ::close(m_listener);
}

bool SendAll(int fd, const std::string& data)
{
    std::size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

namespace {

// Reads what arrives until stop says so, the peer closes, or the time runs out.
template <class Stop>
std::string Receive(int fd, int timeoutMs, Stop stop)
{
    std::string data;
    char buffer[65536];
    while (!stop(data)) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, timeoutMs) <= 0)
            break;
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        data.append(buffer, static_cast<std::size_t>(n));
    }
    return data;
}

}  // namespace

std::string ReceiveUntilClosed(int fd, int timeoutMs)
{
    return Receive(fd, timeoutMs, [](const std::string&) { return false; });
}

std::string ReceiveLine(int fd, int timeoutMs)
{
    return Receive(fd, timeoutMs, [](const std::string& data) { return data.find("\r\n") != std::string::npos; });
}

void WaitForPeerClose(int fd, int timeoutMs) { ReceiveUntilClosed(fd, timeoutMs); }

}  // namespace testsupport
