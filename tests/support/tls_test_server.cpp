#include "support/tls_test_server.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace testsupport {

namespace {

sockaddr_in LoopbackAddress(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Binds to port 0 and reports the port the system chose; the caller binds it again
// soon after (a rare clash only costs a retry).
int FreePort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address = LoopbackAddress(0);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

}  // namespace

TlsTestServer::~TlsTestServer()
{
    Stop();
}

bool TlsTestServer::Start(const std::string& cert, const std::string& key, const std::vector<std::string>& extraArgs,
                          const std::string& workDir)
{
    Stop();
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = FreePort();
        if (m_port == 0)
            continue;
        std::vector<std::string> args = {"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(m_port),
                                         "-cert",   cert,       "-key",    key};
        args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        if (StartOnce(args, workDir))
            return true;
    }
    return false;
}

bool TlsTestServer::StartOnce(const std::vector<std::string>& args, const std::string& workDir)
{
    Stop();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_output.clear();
        m_outputClosed = false;
    }
    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) != 0)
        return false;
    if (::pipe2(output, O_CLOEXEC) != 0) {
        ::close(input[0]);
        ::close(input[1]);
        return false;
    }
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        ::dup2(input[0], STDIN_FILENO);
        ::dup2(output[1], STDOUT_FILENO);
        ::dup2(output[1], STDERR_FILENO);
        if (!workDir.empty() && ::chdir(workDir.c_str()) != 0)
            ::_exit(126);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(input[0]);
    ::close(output[1]);
    if (pid < 0) {
        ::close(input[1]);
        ::close(output[0]);
        return false;
    }
    m_pid = pid;
    m_input = input[1];
    m_reader = std::thread([this, fd = output[0]] { ReadOutput(fd); });

    // "ACCEPT" is printed once the listening socket exists; an early end of the output
    // means it could not start (a port taken meanwhile, a bad argument).
    std::unique_lock<std::mutex> lock(m_mutex);
    bool up = m_changed.wait_for(lock, 10s, [this] {
        return m_output.find("ACCEPT") != std::string::npos || m_outputClosed;
    }) && m_output.find("ACCEPT") != std::string::npos;
    lock.unlock();
    if (!up)
        Stop();
    return up;
}

void TlsTestServer::ReadOutput(int fd)
{
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_output.append(buffer, static_cast<std::size_t>(n));
        m_changed.notify_all();
    }
    ::close(fd);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_outputClosed = true;
    m_changed.notify_all();
}

bool TlsTestServer::WriteInput(const std::string& data)
{
    std::size_t done = 0;
    while (m_input >= 0 && done < data.size()) {
        ssize_t n = ::write(m_input, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return m_input >= 0;
}

bool TlsTestServer::WaitForOutput(const std::string& text, std::chrono::milliseconds limit, int occurrences)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, limit, [&] {
        int found = 0;
        for (std::size_t at = m_output.find(text); at != std::string::npos && found < occurrences;
             at = m_output.find(text, at + text.size()))
            ++found;
        return found >= occurrences;
    });
}

std::string TlsTestServer::Output() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_output;
}

void TlsTestServer::Reap(std::chrono::milliseconds limit)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (m_pid > 0) {
        pid_t done = ::waitpid(m_pid, nullptr, WNOHANG);
        if (done == m_pid || (done < 0 && errno != EINTR)) {
            m_pid = -1;
            return;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return;
        std::this_thread::sleep_for(10ms);
    }
}

void TlsTestServer::Kill()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        Reap(5s);
    }
}

void TlsTestServer::Stop()
{
    if (m_input >= 0) {
        ::close(m_input);
        m_input = -1;
    }
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        Reap(2s);
    }
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        Reap(5s);
    }
    if (m_reader.joinable())
        m_reader.join();
}

int ConnectToLoopback(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address = LoopbackAddress(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

SilentServer::SilentServer()
{
    m_socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = LoopbackAddress(0);
    socklen_t length = sizeof address;
    if (m_socket >= 0 && ::bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::listen(m_socket, 4) == 0 && ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        m_port = ntohs(address.sin_port);
}

SilentServer::~SilentServer()
{
    if (m_socket >= 0)
        ::close(m_socket);
}

}  // namespace testsupport
