#include "net/command_connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

constexpr std::size_t READ_STRING_LIMIT = 10000;

using Clock = std::chrono::steady_clock;

bool SetBlocking(int fd, bool blocking)
{
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0)
        return false;
    flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return ::fcntl(fd, F_SETFL, flags) == 0;
}

int PollTimeout(std::uint32_t timeoutMs)
{
    return timeoutMs == platform::INFINITE ? -1 : static_cast<int>(std::min<std::uint32_t>(timeoutMs, 0x7FFFFFFF));
}

std::string NumericAddress(const sockaddr* address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address->sa_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    else if (address->sa_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
    return text;
}

// Connects a non-blocking socket within the deadline; true when the connection stands.
bool ConnectBefore(int fd, const addrinfo& address, Clock::time_point deadline)
{
    if (::connect(fd, address.ai_addr, address.ai_addrlen) == 0)
        return true;
    if (errno != EINPROGRESS)
        return false;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd entry{fd, POLLOUT, 0};
        int ready = ::poll(&entry, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        int error = 0;
        socklen_t size = sizeof error;
        return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
    }
}

}  // namespace

std::string FormatErrorWithId(const char* message, int code)
{
    return std::string(message) + "\r\nID: " + std::to_string(code) + "\r\n";
}

CCommandConnection::CCommandConnection() = default;

CCommandConnection::~CCommandConnection() { Disconnect(true); }

long CCommandConnection::Recv(void* buffer, std::size_t length, int flags)
{
    if (m_bTls)
        return m_tls && m_bConnected ? m_tls->Recv(buffer, length) : 0;
    for (;;) {
        ssize_t n = ::recv(SocketFd(m_socket), buffer, length, flags);
        if (n < 0 && errno == EINTR)
            continue;
        return static_cast<long>(n);
    }
}

long CCommandConnection::Send(const void* buffer, std::size_t length, int flags)
{
    if (m_bTls)
        return m_tls && m_bConnected ? m_tls->Send(buffer, length) : 0;
    const char* data = static_cast<const char*>(buffer);
    std::size_t sent = 0;
    while (sent < length) {
        ssize_t n = ::send(SocketFd(m_socket), data + sent, length - sent, flags | MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        sent += static_cast<std::size_t>(n);
    }
    return static_cast<long>(sent);
}

void CCommandConnection::Disconnect(bool graceful)
{
    if (m_tls)
        m_tls->Shutdown();
    if (m_socket != INVALID_SOCKET) {
        if (graceful)
            ShutdownSocket(m_socket, SD_BOTH);
        CloseSocket(m_socket);
    }
    m_socket = INVALID_SOCKET;
    m_bConnected = false;
    m_dwLastError = 0;
    m_tls.reset();
}

bool CCommandConnection::Connect1(const std::string& host, int port, SOCKET& socket, std::uint32_t timeoutMs,
                                  bool tls)
{
    m_bTls = tls;
    socket = INVALID_SOCKET;
    if (!m_bWinsockReady)
        return false;
    m_csPort = std::to_string(port);
    m_csHost = host;

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* addresses = nullptr;
    int resolved = ::getaddrinfo(host.c_str(), m_csPort.c_str(), &hints, &addresses);
    if (resolved != 0 || !addresses) {
        m_csError = FormatErrorWithId(host.empty() ? MSG_ADDRESS_FAILED : MSG_RESOLVE_FAILED, resolved);
        return false;
    }

    const SOCKET saved = m_socket;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    bool connected = false;
    // Every address of the name is tried in turn within the one time-out.
    for (const addrinfo* address = addresses; address && !connected; address = address->ai_next) {
        SOCKET candidate = CreateSocket(address->ai_family, SOCK_STREAM, 0);
        if (candidate == INVALID_SOCKET) {
            m_csError = FormatErrorWithId(MSG_SOCKET_FAILED, errno);
            continue;
        }
        m_csIPAddress = NumericAddress(address->ai_addr);
        const int fd = SocketFd(candidate);
        connected = SetBlocking(fd, false) && ConnectBefore(fd, *address, deadline) && SetBlocking(fd, true);
        if (connected) {
            socket = candidate;
        } else {
            ShutdownSocket(candidate, SD_BOTH);
            CloseSocket(candidate);
        }
        if (Clock::now() >= deadline)
            break;
    }
    ::freeaddrinfo(addresses);
    m_bConnected = connected;
    if (!connected) {
        m_socket = saved;
        return false;
    }

    int noDelay = 1;
    ::setsockopt(SocketFd(socket), IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    m_socket = socket;
    if (!tls || RunTlsSetUp()) {
        m_socket = saved;
        return true;
    }
    const std::uint32_t failure = m_dwLastError;
    Disconnect(true);
    m_dwLastError = failure;   // the caller reads why the set-up failed
    socket = INVALID_SOCKET;
    m_socket = saved;
    return false;
}

bool CCommandConnection::StartTls(SOCKET socket)
{
    m_socket = socket;
    m_bConnected = true;
    m_bTls = true;
    if (RunTlsSetUp())
        return true;
    const std::uint32_t failure = m_dwLastError;
    Disconnect(true);
    m_dwLastError = failure;
    return false;
}

bool CCommandConnection::RunTlsSetUp()
{
    m_tls = std::make_unique<CTlsChannel>();
    m_tls->LimitToTls12(m_bTls12Only);
    bool ok = m_tls->Handshake(SocketFd(m_socket), m_csHost, m_bInteractive, m_pResumeSession);
    m_dwLastError = m_tls->LastError();
    if (!ok) {
        m_csError = m_tls->Error();
        if (m_csError.size() < 2 || m_csError.compare(m_csError.size() - 2, 2, "\r\n") != 0)
            m_csError += "\r\n";
        const std::uint32_t failure = m_dwLastError;
        m_tls.reset();
        m_dwLastError = failure;
    }
    m_bConnected = ok;
    return ok;
}

int CCommandConnection::PollReadable(SOCKET socket, std::uint32_t timeoutMs)
{
    if (m_bTls && m_tls) {
        // The channel looks through records that carry no data (session tickets).
        if (m_tls->WaitReadable(timeoutMs))
            return 1;
        pollfd entry{SocketFd(socket), POLLIN, 0};
        return ::poll(&entry, 1, 0) >= 0 && !(entry.revents & (POLLERR | POLLNVAL)) ? 0 : -1;
    }
    pollfd entry{SocketFd(socket), POLLIN, 0};
    for (;;) {
        int ready = ::poll(&entry, 1, PollTimeout(timeoutMs));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || (entry.revents & (POLLERR | POLLNVAL)))
            return -1;
        return ready > 0 ? 1 : 0;
    }
}

bool CCommandConnection::ReadRowData(SOCKET socket, void* buffer, std::size_t& length, std::uint32_t timeoutMs,
                                     int flags)
{
    m_socket = socket;
    if (!m_bWinsockReady) {
        Disconnect(true);
        m_csError = FormatErrorWithId(MSG_NOT_INITIALIZED, 0);
        return false;
    }
    if (socket == INVALID_SOCKET) {
        m_csError = FormatErrorWithId(MSG_INVALID_SOCKET_READ, EBADF);
        return false;
    }
    char* data = static_cast<char*>(buffer);
    std::size_t done = 0;
    for (;;) {
        int readable = PollReadable(socket, timeoutMs);
        long n = 0;
        if (readable > 0)
            n = Recv(data + done, length - done, flags);
        if (readable < 0 || n < 0) {
            m_csError = "ERROR ID=" + std::to_string(errno);
            Disconnect(true);
            return false;
        }
        if (n == 0 && done == 0) {
            Disconnect(true);
            m_csError = std::string(MSG_REMOTE_CLOSED) + "\r\n";
            return false;
        }
        done += static_cast<std::size_t>(n);
        if (done >= length || n == 0) {
            length = done;
            return true;
        }
    }
}

bool CCommandConnection::SendAndWait(SOCKET socket, const void* buffer, std::size_t& length)
{
    m_socket = socket;
    if (!m_bWinsockReady) {
        Disconnect(true);
        return false;
    }
    if (socket == INVALID_SOCKET) {
        m_csError = FormatErrorWithId(MSG_INVALID_SOCKET_SEND, EBADF);
        return false;
    }
    long sent = Send(buffer, length, 0);
    if (sent >= 0 && static_cast<std::size_t>(sent) == length)
        return true;
    m_csError = "Error ID=" + std::to_string(errno) + "\r\n";
    length = sent < 0 ? 0 : static_cast<std::size_t>(sent);
    Disconnect(true);
    return false;
}

long CCommandConnection::Peek(void* buffer, std::size_t length)
{
    for (;;) {
        ssize_t n = ::recv(SocketFd(m_socket), buffer, length, MSG_PEEK);
        if (n < 0 && errno == EINTR)
            continue;
        return static_cast<long>(n);
    }
}

bool CCommandConnection::ReadString(SOCKET socket, std::string& text, const std::string& terminator,
                                    std::uint32_t timeoutMs)
{
    if (!IsSocketValid(socket)) {
        m_csError = FormatErrorWithId(MSG_INVALID_SOCKET_STRING, EBADF);
        return false;
    }
    m_socket = socket;
    text.clear();
    if (terminator.empty())
        return false;
    char chunk[READ_STRING_LIMIT];
    while (text.size() < READ_STRING_LIMIT) {
        // Look at what has arrived without taking it, then take exactly up to the
        // terminator, so the bytes after it stay for whoever reads the socket next.
        std::size_t room = READ_STRING_LIMIT - text.size();
        std::size_t wanted = room;
        if (m_bTls) {
            wanted = 1;   // decrypted bytes are served from memory; one record decrypts once
        } else {
            int readable = PollReadable(socket, timeoutMs);
            long seen = readable > 0 ? Peek(chunk, room) : (readable < 0 ? -1 : 0);
            if (seen <= 0) {
                std::size_t none = 1;
                char byte;
                if (!ReadRowData(socket, &byte, none, 0))   // reports the close or the error
                    return false;
                text += byte;
                continue;
            }
            const std::size_t before = text.size();
            const std::size_t from = before >= terminator.size() ? before - terminator.size() + 1 : 0;
            text.append(chunk, static_cast<std::size_t>(seen));
            std::size_t found = text.find(terminator, from);
            wanted = found == std::string::npos ? static_cast<std::size_t>(seen) : found + terminator.size() - before;
            text.resize(before);
        }
        std::size_t got = wanted;
        if (!ReadRowData(socket, chunk, got, timeoutMs))
            return false;
        text.append(chunk, got);
        const std::size_t from = text.size() >= got + terminator.size() ? text.size() - got - terminator.size() + 1 : 0;
        if (text.find(terminator, from) != std::string::npos)
            return true;
    }
    return false;
}

bool CCommandConnection::IsSocketValid(SOCKET socket)
{
    if (socket == INVALID_SOCKET)
        return false;
    pollfd entry{SocketFd(socket), 0, 0};
    return ::poll(&entry, 1, 0) >= 0 && !(entry.revents & (POLLERR | POLLNVAL));
}

bool CCommandConnection::WaitReadable(SOCKET socket, std::uint32_t timeoutMs)
{
    return PollReadable(socket, timeoutMs) > 0;
}

bool CCommandConnection::GetLocalAddress(SOCKET socket, std::string& address)
{
    sockaddr_storage local{};
    socklen_t size = sizeof local;
    if (::getsockname(SocketFd(socket), reinterpret_cast<sockaddr*>(&local), &size) != 0)
        return false;
    address = NumericAddress(reinterpret_cast<sockaddr*>(&local));
    return !address.empty();
}

void CCommandConnection::FormatIPv4(const unsigned char bytes[4], std::string& text)
{
    text = std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." + std::to_string(bytes[2]) + "." +
           std::to_string(bytes[3]);
}

std::shared_ptr<CTlsSession> CCommandConnection::TlsSession() const { return m_tls ? m_tls->Session() : nullptr; }

bool CCommandConnection::TlsSessionReused() const { return m_tls && m_tls->SessionReused(); }
