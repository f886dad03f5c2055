#include <gtest/gtest.h>

#include <sys/socket.h>

#include <csignal>
#include <filesystem>
#include <thread>

#include "app/vexo_app.h"
#include "net/command_connection.h"
#include "support/fake_tcp_server.h"
#include "support/temp_folder.h"

using testsupport::FakeTcpServer;

namespace {

class Connection : public testing::Test {
protected:
    void SetUp() override { app.m_csLogsDir = logs.Path() + "/"; }
    std::string MainLog() { return testsupport::ReadWholeFile(logs / "Korvalo.log"); }

    testsupport::TempFolder logs;
    CVexoApp app{"/nonexistent/korvalo", platform::Registry("/nonexistent/registry")};
    CCommandConnection connection;
    SOCKET socket = INVALID_SOCKET;
};

}  // namespace

TEST_F(Connection, ResolvesNamesAndAddressesIncludingOnesThatBeginWithADigit)
{
    FakeTcpServer server([](int client) { testsupport::SendAll(client, "hello\r\n"); }, 3);
    // "localhost" may answer ::1 first; the server only listens on 127.0.0.1.
    for (const char* host : {"127.0.0.1", "127.1", "localhost"}) {
        ASSERT_TRUE(connection.Connect1(host, server.Port(), socket, 5000, false)) << host << connection.m_csError;
        EXPECT_TRUE(connection.m_bConnected);
        EXPECT_EQ(connection.m_csIPAddress, "127.0.0.1") << host;
        EXPECT_EQ(connection.m_csHost, host);
        EXPECT_EQ(connection.m_csPort, std::to_string(server.Port()));
        std::string line;
        EXPECT_TRUE(connection.ReadString(socket, line, "\r\n", 5000));
        EXPECT_EQ(line, "hello\r\n");
        std::string local;
        EXPECT_TRUE(connection.GetLocalAddress(socket, local));
        EXPECT_EQ(local, "127.0.0.1");
        connection.m_socket = socket;
        connection.Disconnect(true);
        EXPECT_FALSE(IsRegisteredSocket(socket));
    }
}

TEST_F(Connection, FailedConnectsLeaveNoSocketBehind)
{
    int port = 0;
    {
        FakeTcpServer closed([](int) {});
        port = closed.Port();
    }
    EXPECT_FALSE(connection.Connect1("127.0.0.1", port, socket, 2000, false));
    EXPECT_EQ(socket, INVALID_SOCKET);
    EXPECT_FALSE(connection.m_bConnected);

    EXPECT_FALSE(connection.Connect1("no-such-host.invalid", 21, socket, 2000, false));
    EXPECT_EQ(connection.m_csError.rfind("Error in Connect1: gethostbyname - failed\r\nID: ", 0), 0u);
    EXPECT_EQ(socket, INVALID_SOCKET);
}

TEST_F(Connection, SilentServerTimesOutAsAClosedConnection)
{
    FakeTcpServer silent([](int client) { testsupport::WaitForPeerClose(client, 5000); });
    ASSERT_TRUE(connection.Connect1("127.0.0.1", silent.Port(), socket, 5000, false));
    char buffer[16];
    std::size_t length = sizeof buffer;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(connection.ReadRowData(socket, buffer, length, 300));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(290));
    EXPECT_EQ(connection.m_csError, "Remote host has closed the connection\r\n");
    EXPECT_EQ(connection.m_socket, INVALID_SOCKET);
    EXPECT_FALSE(IsRegisteredSocket(socket));
    EXPECT_NE(MainLog().find("Close socket hSocket=" + std::to_string(SocketFd(socket)) + ". TIME="), std::string::npos);
}

TEST_F(Connection, ReadsReturnWhatArrivedBeforeTheServerClosed)
{
    FakeTcpServer partial([](int client) { testsupport::SendAll(client, std::string(40, 'x')); });
    ASSERT_TRUE(connection.Connect1("127.0.0.1", partial.Port(), socket, 5000, false));
    char buffer[100];
    std::size_t length = sizeof buffer;
    ASSERT_TRUE(connection.ReadRowData(socket, buffer, length, 5000));
    EXPECT_EQ(length, 40u);
    length = sizeof buffer;
    EXPECT_FALSE(connection.ReadRowData(socket, buffer, length, 5000));
    EXPECT_EQ(connection.m_csError, "Remote host has closed the connection\r\n");
}

TEST_F(Connection, ReadStringTakesNothingPastTheTerminatorAndGivesUpAfter10000Bytes)
{
    FakeTcpServer server([](int client) {
        testsupport::SendAll(client, "220-first\r\n220 last\r\nBODY");
        testsupport::ReceiveLine(client);
        testsupport::SendAll(client, "split\r");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        testsupport::SendAll(client, "\nHTTP/1.1 200 OK\r\nA: b\r\n\r\n" + std::string(10001, 'a'));
        testsupport::WaitForPeerClose(client, 5000);
    });
    ASSERT_TRUE(connection.Connect1("127.0.0.1", server.Port(), socket, 5000, false));
    std::string line;
    ASSERT_TRUE(connection.ReadString(socket, line, "\r\n", 5000));
    EXPECT_EQ(line, "220-first\r\n");
    ASSERT_TRUE(connection.ReadString(socket, line, "\r\n", 5000));
    EXPECT_EQ(line, "220 last\r\n");
    char body[4];
    std::size_t length = sizeof body;
    ASSERT_TRUE(connection.ReadRowData(socket, body, length, 5000));
    EXPECT_EQ(std::string(body, length), "BODY");

    std::string command = "NEXT\r\n";
    std::size_t size = command.size();
    ASSERT_TRUE(connection.SendAndWait(socket, command.data(), size));
    ASSERT_TRUE(connection.ReadString(socket, line, "\r\n", 5000));
    EXPECT_EQ(line, "split\r\n");
    ASSERT_TRUE(connection.ReadString(socket, line, "\r\n\r\n", 5000));
    EXPECT_EQ(line, "HTTP/1.1 200 OK\r\nA: b\r\n\r\n");
    EXPECT_FALSE(connection.ReadString(socket, line, "\r\n", 5000));
    EXPECT_EQ(line.size(), 10000u);
}

TEST_F(Connection, SendsGoOutWholeAndAClosedPeerRaisesNoSignal)
{
    const std::string big(8 << 20, 'z');
    std::string received;
    {
        FakeTcpServer sink([&](int client) { received = testsupport::ReceiveUntilClosed(client); });
        ASSERT_TRUE(connection.Connect1("127.0.0.1", sink.Port(), socket, 5000, false));
        std::size_t length = big.size();
        ASSERT_TRUE(connection.SendAndWait(socket, big.data(), length));
        EXPECT_EQ(length, big.size());
        connection.m_socket = socket;
        connection.Disconnect(true);
    }
    EXPECT_EQ(received.size(), big.size());

    // With the default action a SIGPIPE would end the test binary here.
    auto previous = std::signal(SIGPIPE, SIG_DFL);
    FakeTcpServer closer([](int) {});
    ASSERT_TRUE(connection.Connect1("127.0.0.1", closer.Port(), socket, 5000, false));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    bool failed = false;
    for (int i = 0; i < 50 && !failed; ++i) {
        std::size_t length = 65536;
        failed = !connection.SendAndWait(socket, big.data(), length);
    }
    std::signal(SIGPIPE, previous);
    EXPECT_TRUE(failed);
    EXPECT_EQ(connection.m_csError.rfind("Error ID=", 0), 0u);
    EXPECT_EQ(connection.m_socket, INVALID_SOCKET);
}

TEST_F(Connection, RegistryClosesASocketOnceAndLogsIt)
{
    SOCKET s = CreateSocket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(s, INVALID_SOCKET);
    EXPECT_TRUE(IsRegisteredSocket(s));
    EXPECT_EQ(ShutdownSocket(s, SD_BOTH), -1) << "not connected: the system refuses";
    EXPECT_EQ(CloseSocket(s), 0);
    EXPECT_EQ(CloseSocket(s), -1);
    EXPECT_EQ(ShutdownSocket(s, SD_BOTH), -1);
    const std::string log = MainLog();
    const std::string line = "Close socket hSocket=" + std::to_string(SocketFd(s)) + ". TIME=";
    EXPECT_NE(log.find(line), std::string::npos);
    EXPECT_EQ(log.find(line), log.rfind(line)) << "one line only";
}

TEST(FormatIPv4, JoinsFourBytesInDecimal)
{
    const unsigned char bytes[4] = {10, 0, 255, 7};
    std::string text;
    CCommandConnection::FormatIPv4(bytes, text);
    EXPECT_EQ(text, "10.0.255.7");
}
