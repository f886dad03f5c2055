// The FTP server fixture itself: each real server starts on 127.0.0.1, greets, takes the
// fixture's login (in clear or over AUTH TLS with the fixture's certificate, as the mode
// says), and leaves no process behind when stopped, destroyed or orphaned.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "support/ftp_test_server.h"
#include "support/temp_folder.h"

extern char** environ;

namespace {

using testsupport::FtpTestServer;
using testsupport::ProcessAlive;
using testsupport::TempFolder;

// A control connection with 10 s time-outs on every read and write, in clear or TLS.
class Control {
public:
    explicit Control(int port)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval limit{10, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~Control()
    {
        if (m_ssl)
            SSL_free(m_ssl);
        if (m_ctx)
            SSL_CTX_free(m_ctx);
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    bool Connected() const { return m_fd >= 0; }

    // One reply, multi-line ones whole ("220-..." up to "220 ..."); "" when none came.
    std::string Reply()
    {
        std::string reply;
        for (;;) {
            std::string line = Line();
            if (line.empty())
                return reply;
            reply += line;
            if (line.size() >= 4 && line[3] == ' ' && reply.compare(0, 3, line, 0, 3) == 0)
                return reply;
        }
    }

    // Sends a command and returns the reply's three-digit code, or 0.
    int Command(const std::string& command)
    {
        std::string data = command + "\r\n";
        bool sent = m_ssl ? SSL_write(m_ssl, data.data(), static_cast<int>(data.size())) == static_cast<int>(data.size())
                          : ::send(m_fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
        if (!sent)
            return 0;
        m_last = Reply();
        return Code(m_last);
    }
    const std::string& LastReply() const { return m_last; }

    static int Code(const std::string& reply)
    {
        if (reply.size() < 3 || !std::isdigit(static_cast<unsigned char>(reply[0])))
            return 0;
        return std::stoi(reply.substr(0, 3));
    }

    // TLS over the connection, the peer checked against caFile for the address 127.0.0.1.
    // Empty when it worked, else why not.
    std::string StartTls(const std::string& caFile)
    {
        m_ctx = SSL_CTX_new(TLS_client_method());
        if (!m_ctx || SSL_CTX_load_verify_locations(m_ctx, caFile.c_str(), nullptr) != 1)
            return "cannot load " + caFile;
        SSL_CTX_set_verify(m_ctx, SSL_VERIFY_PEER, nullptr);
        m_ssl = SSL_new(m_ctx);
        SSL_set_fd(m_ssl, m_fd);
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(m_ssl), "127.0.0.1");
        if (SSL_connect(m_ssl) != 1)
            return std::string("handshake failed: ") +
                   X509_verify_cert_error_string(SSL_get_verify_result(m_ssl));
        return "";
    }

private:
    std::string Line()
    {
        std::string line;
        char c = 0;
        while (line.size() < 4096) {
            int n = m_ssl ? SSL_read(m_ssl, &c, 1) : static_cast<int>(::recv(m_fd, &c, 1, 0));
            if (n != 1)
                return "";
            line += c;
            if (c == '\n')
                return line;
        }
        return line;
    }

    int m_fd = -1;
    SSL_CTX* m_ctx = nullptr;
    SSL* m_ssl = nullptr;
    std::string m_last;
};

bool PortAnswers(int port) { return Control(port).Connected(); }

std::vector<int> StillAlive(const std::vector<int>& pids)
{
    std::vector<int> alive;
    for (int pid : pids)
        if (ProcessAlive(pid))
            alive.push_back(pid);
    return alive;
}

// Waits up to limit for every process of pids to end; returns those still alive.
std::vector<int> WaitForEnd(const std::vector<int>& pids, std::chrono::milliseconds limit)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    std::vector<int> alive = StillAlive(pids);
    while (!alive.empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        alive = StillAlive(pids);
    }
    return alive;
}

#define SKIP_UNLESS_AVAILABLE(name)                                   \
    if (!FtpTestServer::Available(name))                              \
    GTEST_SKIP() << FtpTestServer::WhyUnavailable(name)

const char* const kServers[] = {"vsftpd", "pure-ftpd", "proftpd"};

// --- every server in every TLS mode -------------------------------------------------------

enum class Tls { Off, On, Required };

class FtpServerModes : public testing::TestWithParam<std::tuple<const char*, Tls>> {};

TEST_P(FtpServerModes, GreetsTakesTheLoginAndStopsWithEveryProcess)
{
    const std::string name = std::get<0>(GetParam());
    const Tls mode = std::get<1>(GetParam());
    SKIP_UNLESS_AVAILABLE(name);
    TempFolder root;
    FtpTestServer server;
    ASSERT_TRUE(server.Start(name, root.Path(), mode != Tls::Off, mode == Tls::Required)) << server.Output();
    const int port = server.Port();
    ASSERT_GT(port, 0);
    EXPECT_EQ(server.CertFile().empty(), mode == Tls::Off);

    // In clear: the login is taken, unless TLS is required. This session stays open
    // while the server is stopped.
    Control clear(port);
    ASSERT_TRUE(clear.Connected());
    std::string greeting = clear.Reply();
    ASSERT_EQ(Control::Code(greeting), 220) << greeting;
    if (mode == Tls::Required) {
        int code = clear.Command("USER " + server.User());
        EXPECT_TRUE(code >= 400 && code < 600) << clear.LastReply();
    } else {
        EXPECT_EQ(clear.Command("USER " + server.User()), 331) << clear.LastReply();
        EXPECT_EQ(clear.Command("PASS " + server.Password()), 230) << clear.LastReply();
    }

    Control other(port);
    ASSERT_EQ(Control::Code(other.Reply()), 220);
    if (mode == Tls::Off) {
        // The login is the fixture's, not just any.
        EXPECT_EQ(other.Command("USER " + server.User()), 331) << other.LastReply();
        EXPECT_EQ(other.Command("PASS wrong-" + server.Password()), 530) << other.LastReply();
    } else {
        // Over AUTH TLS with the fixture's certificate, checked for 127.0.0.1.
        ASSERT_EQ(other.Command("AUTH TLS"), 234) << other.LastReply();
        ASSERT_EQ(other.StartTls(server.CertFile()), "");
        EXPECT_EQ(other.Command("USER " + server.User()), 331) << other.LastReply();
        EXPECT_EQ(other.Command("PASS " + server.Password()), 230) << other.LastReply();
    }
    const std::vector<int> processes = server.Processes();
    // The launcher, pid 1 of the server's namespace, the server, a session at least.
    EXPECT_GE(processes.size(), 4u);
    EXPECT_EQ(other.Command("QUIT"), 221) << other.LastReply();

    server.Stop();
    EXPECT_FALSE(server.Running());
    EXPECT_EQ(server.Port(), 0);
    EXPECT_EQ(StillAlive(processes), std::vector<int>{});
    EXPECT_FALSE(PortAnswers(port));
    if (mode != Tls::Required) {
        EXPECT_EQ(clear.Reply(), "");   // the open session has ended: end of stream
    }
}

std::string ModeName(const testing::TestParamInfo<FtpServerModes::ParamType>& info)
{
    std::string name = std::get<0>(info.param);
    name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
    switch (std::get<1>(info.param)) {
    case Tls::Off: return name + "_plain";
    case Tls::On: return name + "_tls";
    case Tls::Required: return name + "_tlsRequired";
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(AllServers, FtpServerModes,
                         testing::Combine(testing::ValuesIn(kServers),
                                          testing::Values(Tls::Off, Tls::On, Tls::Required)),
                         ModeName);

// --- ending -------------------------------------------------------------------------------

class FtpServerEnd : public testing::TestWithParam<const char*> {};

TEST_P(FtpServerEnd, DestructorStopsTheServerAndItsSessions)
{
    const std::string name = GetParam();
    SKIP_UNLESS_AVAILABLE(name);
    TempFolder root;
    std::vector<int> processes;
    int port = 0;
    std::unique_ptr<Control> open;   // a logged-in session that outlives the server object
    {
        FtpTestServer server;
        ASSERT_TRUE(server.Start(name, root.Path(), false)) << server.Output();
        port = server.Port();
        open = std::make_unique<Control>(port);
        ASSERT_EQ(Control::Code(open->Reply()), 220);
        ASSERT_EQ(open->Command("USER " + server.User()), 331);
        ASSERT_EQ(open->Command("PASS " + server.Password()), 230);
        processes = server.Processes();
        ASSERT_FALSE(processes.empty());
    }
    EXPECT_EQ(StillAlive(processes), std::vector<int>{});
    EXPECT_FALSE(PortAnswers(port));
    EXPECT_EQ(open->Reply(), "");   // the session has gone too: end of stream
}

std::string ServerName(const testing::TestParamInfo<const char*>& info)
{
    std::string name = info.param;
    name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
    return name;
}

INSTANTIATE_TEST_SUITE_P(AllServers, FtpServerEnd, testing::ValuesIn(kServers), ServerName);

// A test process that dies without stopping its server (a crash, a killed test) must
// not leave it running: here a stand-in owner process goes away.
TEST(FtpServerWatchdog, ServerEndsSoonAfterItsOwnerProcess)
{
    SKIP_UNLESS_AVAILABLE("vsftpd");
    pid_t owner = -1;
    char sleepPath[] = "/bin/sleep", seconds[] = "60";
    char* argv[] = {sleepPath, seconds, nullptr};
    ASSERT_EQ(::posix_spawn(&owner, sleepPath, nullptr, nullptr, argv, environ), 0);

    TempFolder root;
    FtpTestServer server;
    server.Set("OWNER_PID", std::to_string(owner));
    bool started = server.Start("vsftpd", root.Path(), false);
    std::vector<int> processes = server.Processes();
    ::kill(owner, SIGKILL);
    ::waitpid(owner, nullptr, 0);
    ASSERT_TRUE(started) << server.Output();
    ASSERT_FALSE(processes.empty());

    // The watchdog looks once a second.
    EXPECT_EQ(WaitForEnd(processes, std::chrono::seconds(5)), std::vector<int>{});
    EXPECT_FALSE(PortAnswers(server.Port()));
}

// --- failures tell why ---------------------------------------------------------------------

TEST(FtpServerStart, BusyPortFailsWithAReasonAndLeavesNothing)
{
    SKIP_UNLESS_AVAILABLE("pure-ftpd");
    int busy = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(busy, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(busy, 4), 0);
    socklen_t size = sizeof address;
    ::getsockname(busy, reinterpret_cast<sockaddr*>(&address), &size);
    const int port = ntohs(address.sin_port);

    TempFolder root;
    FtpTestServer server;
    server.Set("PORT", std::to_string(port));
    EXPECT_FALSE(server.Start("pure-ftpd", root.Path(), false));
    EXPECT_FALSE(server.Running());
    EXPECT_NE(server.Output().find("already in use"), std::string::npos) << server.Output();
    EXPECT_TRUE(server.StateDir().empty());
    ::close(busy);
}

TEST(FtpServerStart, UnknownServerIsRefused)
{
    EXPECT_FALSE(FtpTestServer::Available("wu-ftpd"));
    FtpTestServer server;
    EXPECT_FALSE(server.Start("wu-ftpd", "/tmp", false));
    EXPECT_NE(server.Output().find("unknown"), std::string::npos) << server.Output();
}

}  // namespace
