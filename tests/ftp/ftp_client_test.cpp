#include <gtest/gtest.h>

#include <filesystem>

#include "ftp/fake_ftp_server.h"
#include "ftp/ftp_job_fixture.h"

namespace fs = std::filesystem;
using testsupport::FakeFtpScript;
using testsupport::FakeFtpServer;
using testsupport::ReadWholeFile;
using testsupport::WriteWholeFile;

namespace {

class FtpClientFake : public testsupport::FtpJobs {};

TEST_F(FtpClientFake, DownloadsAndResumesAtAnOffset)
{
    FakeFtpScript script;
    script.fileData = "0123456789abcdefghij";
    FakeFtpServer server(script, 2);

    Submit(Download(server.Port(), false, "/pub", "f.bin", 20, "tester", "pw"));
    ASSERT_TRUE(WaitUntil([&] { return list.Has("f.bin", TRANSFER_EVENT_COMPLETE); }));
    EXPECT_EQ(ReadWholeFile(Local() + "f.bin"), script.fileData);
    // TYPE I before RETR; no REST for a whole file.
    EXPECT_LT(server.IndexOf("TYPE I"), server.IndexOf("RETR f.bin"));
    EXPECT_EQ(server.IndexOf("REST 0"), server.IndexOf("REST 100") + 1);
    ASSERT_TRUE(WaitUntil([&] { return WorkersEnded(); }));

    list.events.clear();
    WriteWholeFile(Local() + "g.bin", "0123456789");
    CTransferRecord resumed = Download(server.Port(), false, "/pub", "g.bin", 20, "tester", "pw");
    resumed.dwDownloaded = 10;
    Submit(resumed);
    ASSERT_TRUE(WaitUntil([&] { return list.Has("g.bin", TRANSFER_EVENT_COMPLETE); }));
    EXPECT_EQ(ReadWholeFile(Local() + "g.bin"), script.fileData);
    EXPECT_GE(server.IndexOf("REST 10"), 0);
}

TEST_F(FtpClientFake, UploadsThroughStor)
{
    FakeFtpScript script;
    FakeFtpServer server(script);
    WriteWholeFile(Local() + "up.txt", "uploaded bytes");
    Submit(Upload(server.Port(), false, Local() + "up.txt", "/in/", 14, "tester", "pw"));
    ASSERT_TRUE(WaitUntil([&] { return list.Has("up.txt", TRANSFER_EVENT_COMPLETE); }));
    EXPECT_EQ(server.Stored(), "uploaded bytes");
    EXPECT_GE(server.IndexOf("CWD /in/"), 0);
    EXPECT_GE(server.IndexOf("STOR up.txt"), 0);
}

TEST_F(FtpClientFake, QueuedJobForTheSameServerTakesTheSameConnection)
{
    FakeFtpScript script;
    script.fileData = "first";
    // Multi-line replies around the data phase, as pure-ftpd sends them: read whole, they
    // keep the replies of later commands in step.
    script.preliminary = "150-Accepted data connection\r\n150 5 bytes to download\r\n";
    script.closing = "226-File successfully transferred\r\n226 0.000 seconds\r\n";
    script.replies["CWD"] = "250-OK\r\n250 Current directory is /\r\n";
    FakeFtpServer server(script, 2);
    WriteWholeFile(Local() + "second.txt", "second job");
    Submit(Upload(server.Port(), false, Local() + "second.txt", "/in/", 10, "tester", "pw"), false);
    Submit(Download(server.Port(), false, "/pub", "first.bin", 5, "tester", "pw"));
    ASSERT_TRUE(WaitUntil([&] { return list.Has("second.txt", TRANSFER_EVENT_COMPLETE); }));
    ASSERT_TRUE(WaitUntil([&] { return WorkersEnded(); }));
    EXPECT_EQ(server.Stored(), "second job");
    EXPECT_EQ(server.Accepted(), 1);
    int users = 0;
    for (const std::string& command : server.Commands())
        users += command.rfind("USER", 0) == 0;
    EXPECT_EQ(users, 1);
    // After the download the client went back to the folder it started in before the upload.
    EXPECT_LT(server.IndexOf("RETR first.bin"), server.IndexOf("STOR second.txt"));
}

TEST_F(FtpClientFake, ServerSilentAfterTheDataEndsTheWorker)
{
    FakeFtpScript script;
    script.fileData = "abc";
    script.silentAfterData = true;
    FakeFtpServer server(script);
    Submit(Download(server.Port(), false, "/pub", "s.bin", 3, "tester", "pw"));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitUntil([&] { return server.IndexOf("RETR s.bin") >= 0; }));
    ASSERT_TRUE(WaitUntil([&] { return WorkersEnded(); }, std::chrono::seconds(15)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(12));
    EXPECT_FALSE(list.Has("s.bin", TRANSFER_EVENT_COMPLETE));
}

TEST_F(FtpClientFake, RefusedLoginOfAnUnattendedJobFailsWithoutRetrying)
{
    FakeFtpScript script;
    script.replies["PASS"] = "530 Login incorrect.\r\n";
    FakeFtpServer server(script);
    Submit(Download(server.Port(), false, "/pub", "f.bin", 3, "tester", "wrong"));
    ASSERT_TRUE(WaitUntil([&] { return WorkersEnded() && server.IndexOf("PASS") >= 0; }));
    EXPECT_EQ(server.IndexOf("RETR"), -1);
    int users = 0;
    for (const std::string& command : server.Commands())
        users += command.rfind("USER", 0) == 0;
    EXPECT_EQ(users, 1);
}

TEST_F(FtpClientFake, HostileNameIsNeverWrittenLocally)
{
    FakeFtpScript script;
    script.fileData = "evil";
    FakeFtpServer server(script);
    Submit(Download(server.Port(), false, "/pub", "../escaped", 4, "tester", "pw"));
    ASSERT_TRUE(WaitUntil([&] { return WorkersEnded(); }));
    EXPECT_FALSE(fs::exists(folder / "escaped"));
    EXPECT_FALSE(fs::exists(Local() + "../escaped"));
    EXPECT_EQ(server.IndexOf("RETR"), -1);
}

}  // namespace
