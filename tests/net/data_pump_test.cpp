#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "app/vexo_app.h"
#include "net/data_pump.h"
#include "net/messages.h"
#include "platform/window_table.h"
#include "support/fake_tcp_server.h"
#include "support/temp_folder.h"

using testsupport::FakeTcpServer;
namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t FOUR_GIB = 4ULL << 30;

std::string RandomBytes(std::size_t size)
{
    std::mt19937 random(static_cast<unsigned>(size));
    std::string data(size, '\0');
    for (char& c : data)
        c = static_cast<char>(random());
    return data;
}

class CountingFrame : public platform::WindowTarget {
public:
    platform::LRESULT WindowProc(platform::Message& msg) override
    {
        if (msg.message == WM_NOTIFY_DATA_START)
            ++dataStarts;
        return 0;
    }
    int dataStarts = 0;
};

struct Posted {
    std::uint32_t message;
    std::uint64_t value;
};

// The test thread plays the worker (it receives the pump's posts) and the user interface.
class Pump : public testing::Test {
protected:
    void SetUp() override
    {
        platform::SetUiThread();
        app.m_csLogsDir = folder.Path() + "/";
        connection.m_pMainWnd = platform::RegisterWindow(&frame);
        record.csDownloadTo = folder.Path() + "/down/";
        record.csFileName = "file.bin";
        record.m_dwWorkerThreadId = queue.Id();
    }
    void TearDown() override { platform::UnregisterWindow(connection.m_pMainWnd); }

    SOCKET ConnectTo(const FakeTcpServer& server)
    {
        SOCKET socket = INVALID_SOCKET;
        EXPECT_TRUE(connection.Connect1("127.0.0.1", server.Port(), socket, 5000, false));
        record.m_nSocketKey = socket;
        return socket;
    }
    std::vector<Posted> TakePosts()
    {
        std::vector<Posted> posts;
        platform::Message msg;
        bool quit = false;
        while (platform::GetMessageTimeout(msg, 0, quit))
            posts.push_back({msg.message, static_cast<std::uint64_t>(msg.wParam)});
        return posts;
    }
    static bool HasError(const std::vector<Posted>& posts)
    {
        for (const Posted& p : posts)
            if (p.message == WM_TRANSFER_ERROR)
                return true;
        return false;
    }
    static std::uint64_t LastProgress(const std::vector<Posted>& posts)
    {
        std::uint64_t last = ~0ULL;
        for (const Posted& p : posts)
            if (p.message == WM_TRANSFER_PROGRESS)
                last = p.value;
        return last;
    }
    std::string Local() { return testsupport::ReadWholeFile(record.csDownloadTo + record.csFileName); }
    std::string TransferLog() { return testsupport::ReadWholeFile(folder / (record.csFileName + ".log")); }

    testsupport::TempFolder folder;
    CVexoApp app{"/nonexistent/korvalo", platform::Registry("/nonexistent/registry")};
    platform::ThreadQueueScope queue;
    CountingFrame frame;
    CCommandConnection connection;
    CTransferRecord record;
};

}  // namespace

TEST_F(Pump, DownloadsResumesAndRestartsAsTheLocalFileSays)
{
    const std::string content = RandomBytes(100000);
    struct Case {
        const char* what;
        std::size_t localBytes;     // of content already on disk (npos: a finished file of other bytes)
        std::uint64_t downloaded;   // the record's offset
        std::size_t servedFrom;     // where the server's bytes start
    } cases[] = {
        {"new download", 0, 0, 0},
        {"resume at the stored offset", 30000, 30000, 30000},
        {"offset past the local end resumes at the end", 30000, 50000, 30000},
        {"finished file starts again from 0", std::string::npos, 100000, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(record.csDownloadTo);
        if (c.localBytes != 0) {
            fs::create_directories(record.csDownloadTo);
            testsupport::WriteWholeFile(record.csDownloadTo + record.csFileName,
                                        c.localBytes == std::string::npos ? std::string(100000, '?')
                                                                          : content.substr(0, c.localBytes));
        }
        FakeTcpServer server([&](int client) { testsupport::SendAll(client, content.substr(c.servedFrom)); });
        SOCKET socket = ConnectTo(server);
        record.qwFileSize = content.size();
        record.dwDownloaded = c.downloaded;
        EXPECT_EQ(TransferFileData(record, connection), 1);
        EXPECT_TRUE(Local() == content);
        auto posts = TakePosts();
        ASSERT_FALSE(posts.empty());
        EXPECT_EQ(posts.front().message, WM_DATA_SOCKET);
        EXPECT_EQ(posts.front().value, static_cast<std::uint64_t>(socket));
        EXPECT_FALSE(HasError(posts));
        EXPECT_EQ(LastProgress(posts), content.size());
        EXPECT_FALSE(IsRegisteredSocket(socket));
    }
    EXPECT_EQ(frame.dataStarts, 4);
}

TEST_F(Pump, ACutConnectionIsReportedAndThePartialFileStaysForResume)
{
    const std::string content = RandomBytes(100000);
    FakeTcpServer server([&](int client) { testsupport::SendAll(client, content.substr(0, 50000)); });
    ConnectTo(server);
    record.qwFileSize = content.size();
    EXPECT_EQ(TransferFileData(record, connection), 1);
    auto posts = TakePosts();
    EXPECT_TRUE(HasError(posts));
    EXPECT_EQ(LastProgress(posts), 50000u);
    EXPECT_TRUE(Local() == content.substr(0, 50000));
    EXPECT_NE(TransferLog().find("ERROR: Read=FALSE. TIME="), std::string::npos);
}

TEST_F(Pump, AnEmptyFileTakesNoByteAndEndsWhenTheConnectionCloses)
{
    FakeTcpServer server([](int) {});
    ConnectTo(server);
    record.qwFileSize = 0;
    EXPECT_EQ(TransferFileData(record, connection), 1);
    EXPECT_TRUE(fs::exists(record.csDownloadTo + record.csFileName));
    EXPECT_EQ(fs::file_size(record.csDownloadTo + record.csFileName), 0u);
    EXPECT_FALSE(HasError(TakePosts()));
}

TEST_F(Pump, NamesThatLeaveTheFolderAreRefused)
{
    for (const char* name : {"../escape.bin", "a/b", ".."}) {
        FakeTcpServer server([](int client) { testsupport::SendAll(client, "data"); });
        ConnectTo(server);
        record.csFileName = name;
        record.qwFileSize = 4;
        EXPECT_EQ(TransferFileData(record, connection), -1) << name;
        EXPECT_TRUE(HasError(TakePosts()));
        connection.m_socket = record.m_nSocketKey;
        connection.Disconnect(true);
    }
    EXPECT_FALSE(fs::exists(folder / "escape.bin"));
}

TEST_F(Pump, UploadsSendFromTheOffsetAndRefuseAnOffsetPastTheEnd)
{
    const std::string content = RandomBytes(100000);
    const std::string source = folder / "source.bin";
    testsupport::WriteWholeFile(source, content);
    record.bUpload = 1;
    record.csFullFromAddress = source;
    record.qwFileSize = content.size();

    std::string received;
    {
        FakeTcpServer sink([&](int client) { received = testsupport::ReceiveUntilClosed(client); });
        ConnectTo(sink);
        record.dwDownloaded = 25000;
        EXPECT_EQ(TransferFileData(record, connection), 0);
    }
    EXPECT_TRUE(received == content.substr(25000)) << received.size();
    auto posts = TakePosts();
    EXPECT_FALSE(HasError(posts));
    EXPECT_EQ(LastProgress(posts), content.size());

    FakeTcpServer sink([](int client) { testsupport::ReceiveUntilClosed(client); });
    SOCKET socket = ConnectTo(sink);
    record.dwDownloaded = 100200;
    record.qwFileSize = 100300;
    EXPECT_EQ(SendFileData(connection, record), 0);
    EXPECT_TRUE(HasError(TakePosts()));
    EXPECT_NE(TransferLog().find("ERROR: Offset > Length (100200 > 100000). TIME="), std::string::npos);
    EXPECT_FALSE(IsRegisteredSocket(socket));
}

TEST_F(Pump, FilesOver4GiBResumeAtTheirFullOffset)
{
    const std::string tail = RandomBytes(64);
    // Download: a sparse local file of 4 GiB + 100 bytes gets its last 64 bytes.
    fs::create_directories(record.csDownloadTo);
    const std::string local = record.csDownloadTo + record.csFileName;
    {
        int fd = ::open(local.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(FOUR_GIB + 100)), 0);
        ::close(fd);
    }
    {
        FakeTcpServer server([&](int client) { testsupport::SendAll(client, tail); });
        ConnectTo(server);
        record.dwDownloaded = FOUR_GIB + 100;
        record.qwFileSize = FOUR_GIB + 164;
        EXPECT_EQ(TransferFileData(record, connection), 1);
    }
    EXPECT_EQ(fs::file_size(local), FOUR_GIB + 164);
    {
        std::string back(64, '\0');
        int fd = ::open(local.c_str(), O_RDONLY);
        ASSERT_EQ(::pread(fd, back.data(), 64, static_cast<off_t>(FOUR_GIB + 100)), 64);
        ::close(fd);
        EXPECT_TRUE(back == tail);
    }
    EXPECT_EQ(LastProgress(TakePosts()), FOUR_GIB + 164);

    // Upload: the last 64 bytes of a sparse source of 4 GiB + 64 bytes.
    const std::string source = folder / "big-source.bin";
    {
        int fd = ::open(source.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_EQ(::pwrite(fd, tail.data(), 64, static_cast<off_t>(FOUR_GIB)), 64);
        ::close(fd);
    }
    std::string received;
    {
        FakeTcpServer sink([&](int client) { received = testsupport::ReceiveUntilClosed(client); });
        ConnectTo(sink);
        record.bUpload = 1;
        record.csFullFromAddress = source;
        record.dwDownloaded = FOUR_GIB;
        record.qwFileSize = FOUR_GIB + 64;
        EXPECT_EQ(SendFileData(connection, record), 1);
    }
    EXPECT_TRUE(received == tail);
    EXPECT_EQ(LastProgress(TakePosts()), FOUR_GIB + 64);
}
