#pragma once
// "openssl s_server" as a child process on 127.0.0.1, for TLS tests against a real peer.
// Its stdin is a pipe (in its default mode what is written there goes to the connected
// client); its stdout and stderr are collected. It serves one connection at a time.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace testsupport {

class TlsTestServer {
public:
    TlsTestServer() = default;
    ~TlsTestServer();
    TlsTestServer(const TlsTestServer&) = delete;
    TlsTestServer& operator=(const TlsTestServer&) = delete;

    // Starts it on a free port with the certificate, key and further s_server arguments,
    // in workDir when one is given, and waits until it accepts. False when it did not
    // come up; Output() then tells why.
    bool Start(const std::string& cert, const std::string& key, const std::vector<std::string>& extraArgs = {},
               const std::string& workDir = "");
    int Port() const { return m_port; }

    bool WriteInput(const std::string& data);
    // True once text has appeared in what the server printed, at least occurrences times.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds limit, int occurrences = 1);
    std::string Output() const;

    // Kills it at once: its connections end without a close-notify.
    void Kill();
    // Ends it (SIGTERM, then SIGKILL) and reaps it. Safe to call twice.
    void Stop();

private:
    bool StartOnce(const std::vector<std::string>& args, const std::string& workDir);
    void ReadOutput(int fd);
    void Reap(std::chrono::milliseconds limit);

    pid_t m_pid = -1;
    int m_port = 0;
    int m_input = -1;
    std::thread m_reader;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_output;
    bool m_outputClosed = false;
};

// A blocking TCP connection to 127.0.0.1:port, or -1.
int ConnectToLoopback(int port);

// A listening TCP socket on 127.0.0.1 at a free port that never answers: the kernel
// completes the connections, nothing reads them unless the test accepts them itself.
// Closes its socket when destroyed.
class SilentServer {
public:
    SilentServer();
    ~SilentServer();
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;
    int Port() const { return m_port; }
    int Fd() const { return m_socket; }

private:
    int m_socket = -1;
    int m_port = 0;
};

}  // namespace testsupport
