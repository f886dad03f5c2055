// The TLS channel against "openssl s_server" on 127.0.0.1, with certificates made for
// the test run; and the trust store file on its own.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <openssl/x509_vfy.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "net/tls_channel.h"
#include "net/trust_store.h"
#include "support/temp_folder.h"
#include "support/test_certificates.h"
#include "support/tls_test_server.h"

using namespace std::chrono_literals;
using testsupport::CertificateFiles;
using testsupport::CertificateFingerprint;
using testsupport::ReadWholeFile;
using testsupport::TempFolder;
using testsupport::TestCertificates;
using testsupport::TlsTestServer;
using testsupport::WriteWholeFile;

namespace {

// Added authorities cannot be taken back, so the certificates are made once per process
// and the test authority is trusted for all tests.
struct SharedCertificates {
    TestCertificates certs;
    bool caAdded = CTlsSettings::AddCaFile(certs.ca.cert);
};

const TestCertificates& Certs()
{
    static SharedCertificates shared;
    EXPECT_TRUE(shared.caAdded);
    return shared.certs;
}

// A connected test socket. Receive and send time-outs turn a channel that waits for
// nothing into a failing test instead of a hanging one.
class TestSocket {
public:
    explicit TestSocket(int port) : m_fd(testsupport::ConnectToLoopback(port))
    {
        timeval limit{5, 0};
        if (m_fd >= 0) {
            setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        }
    }
    ~TestSocket()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    TestSocket(const TestSocket&) = delete;
    TestSocket& operator=(const TestSocket&) = delete;
    int Fd() const { return m_fd; }

private:
    int m_fd;
};

// Shuts the socket down when the test still waits after the limit, so that a channel
// ignoring its own time-out fails the test instead of hanging it.
class SocketWatchdog {
public:
    SocketWatchdog(int fd, std::chrono::milliseconds limit)
        : m_thread([this, fd, limit] {
              std::unique_lock<std::mutex> lock(m_mutex);
              if (!m_changed.wait_for(lock, limit, [this] { return m_bDone; }))
                  shutdown(fd, SHUT_RDWR);
          })
    {
    }
    ~SocketWatchdog()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bDone = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_bDone = false;
    std::thread m_thread;
};

bool SocketReadable(int fd, std::chrono::milliseconds limit)
{
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, static_cast<int>(limit.count())) > 0;
}

int BytesWaitingOnSocket(int fd)
{
    int count = 0;
    return ioctl(fd, FIONREAD, &count) == 0 ? count : -1;
}

// Reads until count bytes came, the channel ends, or nothing arrives for 5 s.
std::string ReadSome(CTlsChannel& channel, int fd, std::size_t count)
{
    std::string data;
    char buffer[4096];
    while (data.size() < count && (channel.HasPendingData() || SocketReadable(fd, 5s))) {
        long n = channel.Recv(buffer, std::min(sizeof buffer, count - data.size()));
        if (n <= 0)
            break;
        data.append(buffer, static_cast<std::size_t>(n));
    }
    return data;
}

std::string ReadToEnd(CTlsChannel& channel, int fd)
{
    return ReadSome(channel, fd, std::string::npos);
}

// 3000 bytes served by "s_server -WWW" in pieces of 512, and the answer it sends.
const std::string& FileContent()
{
    static const std::string content = [] {
        std::string text;
        unsigned value = 12345;
        while (text.size() < 3000) {
            value = value * 1103515245u + 12345u;
            text += static_cast<char>('!' + (value >> 16) % 90);
        }
        return text;
    }();
    return content;
}

const std::string kFileRequest = "GET /data.txt HTTP/1.0\r\n";
const std::string kFileAnswerHead = "HTTP/1.0 200 ok\r\nContent-type: text/plain\r\n\r\n";

class TlsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Certs();
        CTlsSettings::SetTrustStorePath(m_folder / "trusted-certificates");
        CTlsSettings::SetCertificateQuestion(nullptr);
    }
    void TearDown() override
    {
        CTlsSettings::SetTrustStorePath("");
        CTlsSettings::SetCertificateQuestion(nullptr);
    }

    // An s_server that answers kFileRequest with FileContent() in records of at most
    // 512 bytes, then sends its close-notify.
    bool StartFileServer(TlsTestServer& server, const CertificateFiles& files, std::vector<std::string> extra = {})
    {
        WriteWholeFile(m_folder / "data.txt", FileContent());
        extra.insert(extra.end(), {"-WWW", "-max_send_frag", "512"});
        return server.Start(files.cert, files.key, extra, m_folder.Path());
    }

    void TrustInStore(const std::string& certPath, const std::string& host)
    {
        WriteWholeFile(CTlsSettings::TrustStorePath(), CertificateFingerprint(certPath) + " " + host + "\n");
    }

    TempFolder m_folder;
};

TEST_F(TlsTest, CertificateOfAnAddedAuthorityPassesForTheNameAndTheAddress)
{
    TlsTestServer server;
    ASSERT_TRUE(server.Start(Certs().localhost.cert, Certs().localhost.key)) << server.Output();

    int connections = 0;
    for (const char* host : {"localhost", "127.0.0.1"}) {
        SCOPED_TRACE(host);
        TestSocket socket(server.Port());
        CTlsChannel channel;
        ASSERT_TRUE(channel.Handshake(socket.Fd(), host, false)) << channel.Error();
        EXPECT_EQ(channel.LastError(), 0u);
        EXPECT_EQ(channel.Error(), "");
        EXPECT_TRUE(channel.IsOpen());
        EXPECT_FALSE(channel.SessionReused());
        EXPECT_EQ(fcntl(socket.Fd(), F_GETFL) & O_NONBLOCK, 0) << "the socket is left blocking";

        std::string request = std::string("hello from ") + host + "\n";
        EXPECT_EQ(channel.Send(request.data(), request.size()), static_cast<long>(request.size()));
        EXPECT_TRUE(server.WaitForOutput(request, 5s)) << server.Output();
        ASSERT_TRUE(server.WriteInput("answer from the server\n"));
        EXPECT_EQ(ReadSome(channel, socket.Fd(), 23), "answer from the server\n");

        channel.Shutdown();
        channel.Shutdown();
        EXPECT_FALSE(channel.IsOpen());
        EXPECT_EQ(channel.Send("x", 1), -1);
        char byte;
        EXPECT_EQ(channel.Recv(&byte, 1), 0);
        // s_server prints DONE when a close-notify arrives (the socket is still open here).
        EXPECT_TRUE(server.WaitForOutput("DONE", 5s, ++connections)) << server.Output();
    }
    EXPECT_FALSE(std::filesystem::exists(CTlsSettings::TrustStorePath()));

    // Without a name nothing can match it: a valid chain alone is not enough.
    TestSocket socket(server.Port());
    CTlsChannel channel;
    EXPECT_FALSE(channel.Handshake(socket.Fd(), "", false));
    EXPECT_EQ(channel.LastError(), static_cast<std::uint32_t>(X509_V_ERR_HOSTNAME_MISMATCH));
}

struct FailingCertificate {
    const char* label;
    const CertificateFiles& (*files)();
    const char* host;
    std::uint32_t firstError;
};

const FailingCertificate kFailingCertificates[] = {
    {"self-signed", []() -> const CertificateFiles& { return Certs().selfSigned; }, "localhost",
     X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT},
    {"expired", []() -> const CertificateFiles& { return Certs().expired; }, "localhost", X509_V_ERR_CERT_HAS_EXPIRED},
    {"other name", []() -> const CertificateFiles& { return Certs().otherName; }, "localhost",
     X509_V_ERR_HOSTNAME_MISMATCH},
    {"other address", []() -> const CertificateFiles& { return Certs().otherName; }, "127.0.0.1",
     X509_V_ERR_IP_ADDRESS_MISMATCH},
    // The chain fails before the name does: the first failure is the one kept.
    {"self-signed for another name", []() -> const CertificateFiles& { return Certs().selfSigned; }, "other.example",
     X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT},
};

TEST_F(TlsTest, FailingCertificateIsRefusedUnlessItsFingerprintIsStoredForTheHost)
{
    for (const FailingCertificate& c : kFailingCertificates) {
        SCOPED_TRACE(c.label);
        TlsTestServer server;
        ASSERT_TRUE(server.Start(c.files().cert, c.files().key)) << server.Output();
        std::filesystem::remove(CTlsSettings::TrustStorePath());
        std::string reason = X509_verify_cert_error_string(c.firstError);

        {
            TestSocket socket(server.Port());
            CTlsChannel channel;
            EXPECT_FALSE(channel.Handshake(socket.Fd(), c.host, false));
            EXPECT_EQ(channel.LastError(), c.firstError);
            EXPECT_EQ(channel.Error(), std::string("The certificate of ") + c.host + " is not trusted: " + reason);
            EXPECT_FALSE(channel.IsOpen());
            EXPECT_EQ(channel.Session(), nullptr);
        }
        {
            // Trusted for another name only.
            TrustInStore(c.files().cert, "elsewhere.example");
            TestSocket socket(server.Port());
            CTlsChannel channel;
            EXPECT_FALSE(channel.Handshake(socket.Fd(), c.host, false));
        }
        {
            TrustInStore(c.files().cert, c.host);
            TestSocket socket(server.Port());
            CTlsChannel channel;
            ASSERT_TRUE(channel.Handshake(socket.Fd(), c.host, false)) << channel.Error();
            EXPECT_EQ(channel.LastError(), c.firstError) << "the first failing check is kept";
            ASSERT_TRUE(server.WriteInput("trusted\n"));
            EXPECT_EQ(ReadSome(channel, socket.Fd(), 8), "trusted\n");
        }
    }
}

TEST_F(TlsTest, CertificateQuestionDecidesOnlyForInteractiveConnections)
{
    struct Case {
        const char* label;
        bool interactive;
        std::optional<ETrustAnswer> answer;   // nullopt: no question set
        bool asked;
        bool accepted;
        bool stored;
        const char* errorStart;   // of the text of a refused set-up
    };
    const Case cases[] = {
        {"always", true, ETrustAnswer::TrustAlways, true, true, true, ""},
        {"once", true, ETrustAnswer::TrustOnce, true, true, false, ""},
        {"refuse", true, ETrustAnswer::Refuse, true, false, false, "The certificate of localhost was refused: "},
        {"unattended", false, ETrustAnswer::TrustAlways, false, false, false,
         "The certificate of localhost is not trusted: "},
        {"no question", true, std::nullopt, false, false, false, "The certificate of localhost is not trusted: "},
    };
    const CertificateFiles& files = Certs().selfSigned;
    TlsTestServer server;
    ASSERT_TRUE(server.Start(files.cert, files.key)) << server.Output();
    const std::string store = CTlsSettings::TrustStorePath();

    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::filesystem::remove(store);
        std::vector<CCertificateInfo> asked;
        if (c.answer) {
            ETrustAnswer answer = *c.answer;
            CTlsSettings::SetCertificateQuestion([&asked, answer](const CCertificateInfo& info) {
                asked.push_back(info);
                return answer;
            });
        } else {
            CTlsSettings::SetCertificateQuestion(nullptr);
        }

        {
            TestSocket socket(server.Port());
            CTlsChannel channel;
            bool accepted = channel.Handshake(socket.Fd(), "localhost", c.interactive);
            EXPECT_EQ(accepted, c.accepted) << channel.Error();
            EXPECT_EQ(channel.IsOpen(), c.accepted);
            EXPECT_EQ(channel.LastError(), static_cast<std::uint32_t>(X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT));
            if (c.accepted) {
                EXPECT_EQ(channel.Error(), "");
            } else {
                EXPECT_EQ(channel.Error().rfind(c.errorStart, 0), 0u) << channel.Error();
            }
        }
        ASSERT_EQ(asked.size(), c.asked ? 1u : 0u);
        if (c.asked) {
            const CCertificateInfo& info = asked[0];
            EXPECT_EQ(info.csHost, "localhost");
            EXPECT_EQ(info.csFingerprint, CertificateFingerprint(files.cert));
            EXPECT_EQ(info.dwError, static_cast<std::uint32_t>(X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT));
            EXPECT_EQ(info.csError, X509_verify_cert_error_string(X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT));
            EXPECT_NE(info.csSubject.find("CN = localhost"), std::string::npos) << info.csSubject;
            EXPECT_EQ(info.csIssuer, info.csSubject);
            EXPECT_NE(info.csNotBefore.find("GMT"), std::string::npos) << info.csNotBefore;
            EXPECT_NE(info.csNotAfter.find("GMT"), std::string::npos) << info.csNotAfter;
        }

        EXPECT_EQ(std::filesystem::exists(store), c.stored);
        if (c.stored) {
            struct stat status {};
            ASSERT_EQ(stat(store.c_str(), &status), 0);
            EXPECT_EQ(status.st_mode & 0777, 0600u);
            EXPECT_EQ(ReadWholeFile(store), CertificateFingerprint(files.cert) + " localhost\n");
        }
        // What was stored decides an unattended connection without asking.
        TestSocket socket(server.Port());
        CTlsChannel later;
        EXPECT_EQ(later.Handshake(socket.Fd(), "localhost", false), c.stored) << later.Error();
        EXPECT_EQ(asked.size(), c.asked ? 1u : 0u);
    }
}

TEST_F(TlsTest, ClientCertificateRequestsAreAnsweredWithoutOne)
{
    struct Case {
        const char* option;    // -verify asks for a certificate, -Verify insists on one
        const char* version;
        bool works;
    };
    for (const Case& c : {Case{"-verify", "-tls1_2", true}, Case{"-verify", "-tls1_3", true},
                          Case{"-Verify", "-tls1_2", false}, Case{"-Verify", "-tls1_3", false}}) {
        SCOPED_TRACE(std::string(c.option) + " " + c.version);
        TlsTestServer server;
        ASSERT_TRUE(server.Start(Certs().localhost.cert, Certs().localhost.key, {c.option, "1", c.version}))
            << server.Output();
        TestSocket socket(server.Port());
        CTlsChannel channel;
        bool set = channel.Handshake(socket.Fd(), "localhost", true);
        if (c.works) {
            ASSERT_TRUE(set) << channel.Error();
            ASSERT_TRUE(server.WriteInput("served\n"));
            EXPECT_EQ(ReadSome(channel, socket.Fd(), 7), "served\n");
            continue;
        }
        // Under TLS 1.3 the refusal comes after the client's side of the handshake ended.
        if (set) {
            EXPECT_EQ(std::string(c.version), "-tls1_3");
            EXPECT_TRUE(channel.WaitReadable(5000));
            char buffer[16];
            EXPECT_EQ(channel.Recv(buffer, sizeof buffer), 0);
        }
        EXPECT_EQ(channel.Error(), "The server localhost asks for a client certificate; none is set up");
        EXPECT_NE(channel.LastError(), 0u);
    }
}

TEST_F(TlsTest, HandshakeWithAServerThatSpeaksNoTlsEndsInTime)
{
    const std::uint32_t timeoutMs = 300;
    {
        testsupport::SilentServer silent;
        ASSERT_NE(silent.Port(), 0);
        TestSocket socket(silent.Port());
        SocketWatchdog watchdog(socket.Fd(), 3s);
        CTlsChannel channel;
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(channel.Handshake(socket.Fd(), "localhost", false, nullptr, timeoutMs));
        auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_GE(elapsed, 250ms);
        EXPECT_LT(elapsed, 3s);
        EXPECT_EQ(channel.Error(), "The TLS handshake with localhost timed out: no answer within 300 ms");
        EXPECT_EQ(channel.LastError(), static_cast<std::uint32_t>(ETIMEDOUT));
        EXPECT_EQ(fcntl(socket.Fd(), F_GETFL) & O_NONBLOCK, 0);
    }
    {
        // A plain-text greeting and a close, as from an FTP server on the wrong port.
        testsupport::SilentServer listener;
        TestSocket socket(listener.Port());
        std::thread peer([&listener] {
            int accepted = accept(listener.Fd(), nullptr, nullptr);
            if (accepted >= 0) {
                const char greeting[] = "220 Service ready\r\n";
                (void)!write(accepted, greeting, sizeof greeting - 1);
                close(accepted);
            }
        });
        SocketWatchdog watchdog(socket.Fd(), 3s);
        CTlsChannel channel;
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(channel.Handshake(socket.Fd(), "localhost", false, nullptr, 5000));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
        EXPECT_EQ(channel.Error().rfind("The TLS handshake with localhost failed: ", 0), 0u) << channel.Error();
        EXPECT_NE(channel.LastError(), 0u);
        peer.join();
    }
}

TEST_F(TlsTest, RecordsAlreadyReceivedAreReadWithoutWaitingOnAnEmptySocket)
{
    TlsTestServer server;
    ASSERT_TRUE(StartFileServer(server, Certs().localhost)) << server.Output();
    TestSocket socket(server.Port());
    CTlsChannel channel;
    ASSERT_TRUE(channel.Handshake(socket.Fd(), "localhost", false)) << channel.Error();
    ASSERT_EQ(channel.Send(kFileRequest.data(), kFileRequest.size()), static_cast<long>(kFileRequest.size()));

    // The whole answer is sent at once. Each read must find its bytes decrypted already
    // or waiting on the socket: a channel that took them all off the socket but reports
    // nothing pending would leave a caller waiting for the socket here.
    std::string received;
    int reads = 0;
    char buffer[16384];
    for (;;) {
        ASSERT_TRUE(channel.HasPendingData() || SocketReadable(socket.Fd(), 2s))
            << "stalled after " << received.size() << " bytes";
        long n = channel.Recv(buffer, sizeof buffer);
        if (n == 0)
            break;
        ASSERT_GT(n, 0);
        EXPECT_LE(n, 512) << "one record per read";
        received.append(buffer, static_cast<std::size_t>(n));
        ++reads;
    }
    EXPECT_EQ(received, kFileAnswerHead + FileContent());
    EXPECT_GE(reads, 6);
}

TEST_F(TlsTest, OneByteReadsAreServedFromDecryptedBytesWithoutTouchingTheSocket)
{
    TlsTestServer server;
    ASSERT_TRUE(StartFileServer(server, Certs().localhost)) << server.Output();
    TestSocket socket(server.Port());
    CTlsChannel channel;
    ASSERT_TRUE(channel.Handshake(socket.Fd(), "localhost", false)) << channel.Error();
    ASSERT_EQ(channel.Send(kFileRequest.data(), kFileRequest.size()), static_cast<long>(kFileRequest.size()));

    const std::string expected = kFileAnswerHead + FileContent();
    std::string received;
    int servedFromPending = 0;
    while (received.size() < expected.size()) {
        bool pending = channel.HasPendingData();
        ASSERT_TRUE(pending || SocketReadable(socket.Fd(), 2s)) << "stalled after " << received.size() << " bytes";
        int onSocketBefore = BytesWaitingOnSocket(socket.Fd());
        char byte;
        ASSERT_EQ(channel.Recv(&byte, 1), 1) << channel.Error();
        received += byte;
        if (pending) {
            // More bytes may arrive meanwhile, but none may have been taken.
            EXPECT_GE(BytesWaitingOnSocket(socket.Fd()), onSocketBefore) << "at byte " << received.size();
            ++servedFromPending;
        }
        if (received.size() == 1) {
            EXPECT_TRUE(channel.HasPendingData()) << "a record holds more than one byte";
        }
    }
    EXPECT_EQ(received, expected);
    // At most one read per record goes to the socket.
    EXPECT_GE(servedFromPending, static_cast<int>(expected.size()) - 8);
}

TEST_F(TlsTest, EndOfTheChannelWithAndWithoutCloseNotify)
{
    {
        SCOPED_TRACE("close-notify");
        TlsTestServer server;
        ASSERT_TRUE(StartFileServer(server, Certs().localhost)) << server.Output();
        TestSocket socket(server.Port());
        CTlsChannel channel;
        ASSERT_TRUE(channel.Handshake(socket.Fd(), "localhost", false)) << channel.Error();
        ASSERT_EQ(channel.Send(kFileRequest.data(), kFileRequest.size()), static_cast<long>(kFileRequest.size()));
        const std::string expected = kFileAnswerHead + FileContent();
        EXPECT_EQ(ReadSome(channel, socket.Fd(), expected.size()), expected);
        // The close-notify follows the last record: the next read ends, and so does every later one.
        char buffer[100];
        EXPECT_EQ(channel.Recv(buffer, sizeof buffer), 0);
        EXPECT_EQ(channel.Recv(buffer, sizeof buffer), 0);
        EXPECT_EQ(channel.LastError(), 0u) << channel.Error();
        EXPECT_EQ(channel.Error(), "");
    }
    {
        SCOPED_TRACE("server gone");
        TlsTestServer server;
        ASSERT_TRUE(server.Start(Certs().localhost.cert, Certs().localhost.key)) << server.Output();
        TestSocket socket(server.Port());
        CTlsChannel channel;
        ASSERT_TRUE(channel.Handshake(socket.Fd(), "localhost", false)) << channel.Error();
        ASSERT_TRUE(server.WriteInput("last words\n"));
        EXPECT_EQ(ReadSome(channel, socket.Fd(), 11), "last words\n");
        server.Kill();
        char buffer[100];
        EXPECT_EQ(channel.Recv(buffer, sizeof buffer), 0);
        EXPECT_NE(channel.LastError(), 0u);
        EXPECT_EQ(channel.Error(),
                  "The TLS connection with localhost failed: the server closed the connection without a close-notify");
        EXPECT_EQ(channel.Recv(buffer, sizeof buffer), 0);
    }
}

TEST_F(TlsTest, WaitReadableLooksPastRecordsThatCarryNoData)
{
    TlsTestServer server;
    ASSERT_TRUE(server.Start(Certs().localhost.cert, Certs().localhost.key, {"-tls1_3"})) << server.Output();
    TestSocket socket(server.Port());
    CTlsChannel channel;
    ASSERT_TRUE(channel.Handshake(socket.Fd(), "localhost", false)) << channel.Error();

    // The session tickets make the socket readable although no data was sent.
    EXPECT_TRUE(SocketReadable(socket.Fd(), 2s));
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(channel.WaitReadable(300));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
    EXPECT_NE(channel.Session(), nullptr) << "the tickets were taken in";
    EXPECT_EQ(fcntl(socket.Fd(), F_GETFL) & O_NONBLOCK, 0);

    ASSERT_TRUE(server.WriteInput("now some data\n"));
    EXPECT_TRUE(channel.WaitReadable(5000));
    EXPECT_EQ(ReadSome(channel, socket.Fd(), 14), "now some data\n");

    server.Kill();
    EXPECT_TRUE(channel.WaitReadable(5000));
    char buffer[16];
    EXPECT_EQ(channel.Recv(buffer, sizeof buffer), 0);
    EXPECT_NE(channel.LastError(), 0u);
}

TEST_F(TlsTest, SecondConnectionResumesTheSessionOfTheFirst)
{
    for (const char* version : {"-tls1_2", "-tls1_3"}) {
        SCOPED_TRACE(version);
        TlsTestServer server;
        ASSERT_TRUE(StartFileServer(server, Certs().localhost, {version})) << server.Output();

        std::shared_ptr<CTlsSession> session;
        {
            TestSocket socket(server.Port());
            CTlsChannel first;
            ASSERT_TRUE(first.Handshake(socket.Fd(), "localhost", false)) << first.Error();
            if (std::string(version) == "-tls1_3") {
                EXPECT_EQ(first.Session(), nullptr) << "TLS 1.3 tickets come after the handshake";
            }
            ASSERT_EQ(first.Send(kFileRequest.data(), kFileRequest.size()), static_cast<long>(kFileRequest.size()));
            ReadToEnd(first, socket.Fd());
            session = first.Session();
            ASSERT_NE(session, nullptr);
            EXPECT_FALSE(first.SessionReused());
        }
        TestSocket socket(server.Port());
        CTlsChannel second;
        ASSERT_TRUE(second.Handshake(socket.Fd(), "localhost", false, session)) << second.Error();
        EXPECT_TRUE(second.SessionReused());
        EXPECT_EQ(second.LastError(), 0u);
        ASSERT_EQ(second.Send(kFileRequest.data(), kFileRequest.size()), static_cast<long>(kFileRequest.size()));
        EXPECT_EQ(ReadToEnd(second, socket.Fd()), kFileAnswerHead + FileContent());
    }
}

TEST_F(TlsTest, EachTls13TicketIsOfferedOnce)
{
    TlsTestServer server;
    ASSERT_TRUE(StartFileServer(server, Certs().localhost, {"-tls1_3", "-num_tickets", "2"})) << server.Output();
    auto fetch = [](CTlsChannel& channel, int fd) {
        ASSERT_EQ(channel.Send(kFileRequest.data(), kFileRequest.size()), static_cast<long>(kFileRequest.size()));
        EXPECT_EQ(ReadToEnd(channel, fd), kFileAnswerHead + FileContent());
    };
    // The test server serves one connection at a time; the channel keeps its tickets after it closed.
    CTlsChannel control;
    {
        TestSocket controlSocket(server.Port());
        ASSERT_TRUE(control.Handshake(controlSocket.Fd(), "localhost", false)) << control.Error();
        fetch(control, controlSocket.Fd());
        control.Shutdown();
    }

    std::shared_ptr<CTlsSession> first = control.Session();
    std::shared_ptr<CTlsSession> second = control.Session();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second) << "two tickets, two different offers";
    EXPECT_EQ(control.Session(), first) << "with none unused left, the newest is offered again";

    for (const auto& ticket : {first, second}) {
        TestSocket socket(server.Port());
        CTlsChannel data;
        ASSERT_TRUE(data.Handshake(socket.Fd(), "localhost", false, ticket)) << data.Error();
        EXPECT_TRUE(data.SessionReused());
        fetch(data, socket.Fd());
        data.Shutdown();
    }
    EXPECT_EQ(control.Session(), first) << "tickets of the resumed connections stay theirs";
}

TEST_F(TlsTest, ACutConnectionLeavesItsSessionResumableForTheNext)
{
    TlsTestServer server;
    ASSERT_TRUE(StartFileServer(server, Certs().localhost, {"-tls1_2"})) << server.Output();
    std::shared_ptr<CTlsSession> session;
    {
        TestSocket socket(server.Port());
        CTlsChannel control;
        ASSERT_TRUE(control.Handshake(socket.Fd(), "localhost", false)) << control.Error();
        session = control.Session();
        ASSERT_NE(session, nullptr);
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        SCOPED_TRACE(attempt);
        TestSocket socket(server.Port());
        CTlsChannel data;
        ASSERT_TRUE(data.Handshake(socket.Fd(), "localhost", false, session)) << data.Error();
        EXPECT_TRUE(data.SessionReused());
        // The connection breaks under the channel: it ends without a close-notify.
        ::shutdown(socket.Fd(), SHUT_RDWR);
        EXPECT_EQ(data.Send(kFileRequest.data(), kFileRequest.size()), -1);
    }
}

TEST_F(TlsTest, ResumedSessionCarriesTheOutcomeOfItsChecksAndOnlyToItsServer)
{
    // Trusted once by the user: its data connection resumes without another question
    // and with the same first failing check.
    const CertificateFiles& files = Certs().selfSigned;
    int questions = 0;
    CTlsSettings::SetCertificateQuestion([&questions](const CCertificateInfo&) {
        ++questions;
        return ETrustAnswer::TrustOnce;
    });
    TlsTestServer server;
    ASSERT_TRUE(StartFileServer(server, files)) << server.Output();
    std::shared_ptr<CTlsSession> session;
    {
        TestSocket socket(server.Port());
        CTlsChannel control;
        ASSERT_TRUE(control.Handshake(socket.Fd(), "localhost", true)) << control.Error();
        ASSERT_EQ(control.Send(kFileRequest.data(), kFileRequest.size()), static_cast<long>(kFileRequest.size()));
        ReadToEnd(control, socket.Fd());
        session = control.Session();
        ASSERT_NE(session, nullptr);
    }
    {
        TestSocket socket(server.Port());
        CTlsChannel data;
        ASSERT_TRUE(data.Handshake(socket.Fd(), "localhost", false, session)) << data.Error();
        EXPECT_TRUE(data.SessionReused());
        EXPECT_EQ(data.LastError(), static_cast<std::uint32_t>(X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT));
    }
    EXPECT_EQ(questions, 1);

    // Another server cannot resume it: its certificate is checked in full and refused.
    TlsTestServer other;
    ASSERT_TRUE(other.Start(files.cert, files.key)) << other.Output();
    TestSocket socket(other.Port());
    CTlsChannel channel;
    EXPECT_FALSE(channel.Handshake(socket.Fd(), "localhost", false, session));
    EXPECT_FALSE(channel.SessionReused());
    EXPECT_EQ(channel.LastError(), static_cast<std::uint32_t>(X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT));
}

// ---------------------------------------------------------------------------------------
// The trust store file

const char kPrint[] = "ab:cd:ef:01";

TEST(TrustStore, ReadsPairsAndSkipsWhatIsNotAPair)
{
    TempFolder folder;
    CTrustStore store(folder / "trusted");
    EXPECT_FALSE(store.IsTrusted(kPrint, "ftp.example.com")) << "a missing file trusts nothing";

    WriteWholeFile(store.Path(),
                   "ab:cd:ef:01 ftp.example.com\n"
                   "11:22 other.example\r\n"
                   "\n"
                   "33:44\n"
                   "55:66 three fields.example x\n"
                   "  77:88   spaced.example  \n"
                   "99:aa last.example");
    struct Query {
        const char* fingerprint;
        const char* host;
        bool trusted;
    };
    const Query queries[] = {
        {kPrint, "ftp.example.com", true},
        {"AB:CD:EF:01", "FTP.Example.COM", true},
        {kPrint, "other.example", false},
        {"11:22", "other.example", true},
        {"33:44", "", false},
        {"55:66", "three", false},
        {"77:88", "spaced.example", true},
        {"99:aa", "last.example", true},
        {"ab:cd:ef", "ftp.example.com", false},
    };
    for (const Query& q : queries)
        EXPECT_EQ(store.IsTrusted(q.fingerprint, q.host), q.trusted) << q.fingerprint << " " << q.host;
}

TEST(TrustStore, AddCreatesAPrivateFileAndStoresEachPairOnce)
{
    TempFolder folder;
    CTrustStore store(folder / "missing/folder/trusted");
    std::string error;
    ASSERT_TRUE(store.Add(kPrint, "ftp.example.com", error)) << error;
    ASSERT_TRUE(store.Add(kPrint, "ftp.example.com", error)) << error;
    ASSERT_TRUE(store.Add(kPrint, "FTP.EXAMPLE.COM", error)) << error;
    ASSERT_TRUE(store.Add(kPrint, "mirror.example.com", error)) << error;
    EXPECT_EQ(ReadWholeFile(store.Path()), "ab:cd:ef:01 ftp.example.com\nab:cd:ef:01 mirror.example.com\n");
    struct stat status {};
    ASSERT_EQ(stat(store.Path().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);

    // A hand-written last line without its end keeps its own line.
    WriteWholeFile(store.Path(), "11:22 by-hand.example");
    ASSERT_TRUE(store.Add(kPrint, "ftp.example.com", error)) << error;
    EXPECT_EQ(ReadWholeFile(store.Path()), "11:22 by-hand.example\nab:cd:ef:01 ftp.example.com\n");

    for (const char* host : {"", "two words", "line\nbreak"}) {
        EXPECT_FALSE(store.Add(kPrint, host, error)) << host;
        EXPECT_FALSE(error.empty());
    }
    EXPECT_FALSE(CTrustStore("").Add(kPrint, "ftp.example.com", error));
}

TEST(TrustStore, ProcessesAddingAtOnceNeitherMixLinesNorStoreAPairTwice)
{
    TempFolder folder;
    const std::string path = folder / "trusted";
    const int kProcesses = 4;
    const int kEach = 200;
    int start[2];
    ASSERT_EQ(pipe(start), 0);
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // All begin together when the parent closes the pipe.
            close(start[1]);
            char ignored;
            while (read(start[0], &ignored, 1) < 0 && errno == EINTR) {
            }
            CTrustStore store(path);
            std::string error;
            bool ok = true;
            for (int i = 0; i < kEach; ++i) {
                // Every process adds the same shared pairs, and pairs of its own.
                ok = store.Add("00:" + std::to_string(i), "shared.example", error) && ok;
                ok = store.Add("11:" + std::to_string(i), "host" + std::to_string(p) + ".example", error) && ok;
            }
            _exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    close(start[0]);
    close(start[1]);
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    std::istringstream lines(ReadWholeFile(path));
    std::set<std::string> seen;
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        EXPECT_TRUE(seen.insert(line).second) << "twice: " << line;
        EXPECT_EQ(std::count(line.begin(), line.end(), ' '), 1) << line;
    }
    EXPECT_EQ(count, kEach + kProcesses * kEach);
    EXPECT_TRUE(seen.count("00:199 shared.example"));
    EXPECT_TRUE(seen.count("11:199 host3.example"));
}

}  // namespace
