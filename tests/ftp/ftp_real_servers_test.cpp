// The FTP client against vsftpd, pure-ftpd and proftpd on 127.0.0.1, in clear and over
// AUTH TLS (data connections resuming the control connection's session).

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <tuple>

#include "ftp/ftp_job_fixture.h"
#include "ftp/ftp_session.h"
#include "net/tls_channel.h"
#include "support/ftp_test_server.h"

namespace fs = std::filesystem;
using testsupport::CLoggedFtpProtocol;
using testsupport::FtpTestServer;
using testsupport::RandomBytes;
using testsupport::FolderTree;
using testsupport::ReadWholeFile;
using testsupport::WriteSampleTree;
using testsupport::TempFolder;
using testsupport::WriteWholeFile;

namespace {

using Param = std::tuple<std::string, bool>;

class FtpRealServer : public testsupport::FtpJobs, public testing::WithParamInterface<Param> {
protected:
    void SetUp() override
    {
        const auto& [name, tls] = GetParam();
        if (!FtpTestServer::Available(name))
            GTEST_SKIP() << FtpTestServer::WhyUnavailable(name);
        FtpJobs::SetUp();
        ASSERT_TRUE(server.Start(name, root.Path(), tls)) << server.Output();
        if (tls) {
            ASSERT_TRUE(CTlsSettings::AddCaFile(server.CertFile()));
        }
        m_bTls = tls;
    }
    void TearDown() override
    {
        if (HasFailure() && !server.StateDir().empty())
            std::cout << "--- tls.log\n" << ReadWholeFile(server.StateDir() + "/tls.log");
        if (app)
            FtpJobs::TearDown();
    }
    // A protocol object logged in on its own connection, on the test's thread.
    bool OpenDirect(CLoggedFtpProtocol& ftp)
    {
        return ftp.Open(server.Port(), m_bTls) && ftp.Login(ftp.m_socket, server.User(), server.Password()) == 1;
    }

    TempFolder root;
    FtpTestServer server;
    bool m_bTls = false;
};

TEST_P(FtpRealServer, LoginListingAndFolderCommands)
{
    WriteSampleTree(root / "tree");
    {
        CLoggedFtpProtocol refused;
        ASSERT_TRUE(refused.Open(server.Port(), m_bTls));
        EXPECT_EQ(refused.Login(refused.m_socket, server.User(), "not the password"), 530) << refused.AllLog();
        EXPECT_EQ(refused.AllLog().find("not the password"), std::string::npos);
    }
    CLoggedFtpProtocol ftp;
    ASSERT_TRUE(OpenDirect(ftp)) << ftp.AllLog();
    EXPECT_EQ(ftp.m_bAuthDone, m_bTls);
    ASSERT_EQ(ftp.ChangeDirectory("/tree"), 1);
    ASSERT_TRUE(ftp.QueryCurrentFolder());
    EXPECT_EQ(ftp.m_csCurrentDir, "/tree");
    ASSERT_TRUE(ftp.ListFolder()) << ftp.AllLog();
    std::map<std::string, std::pair<std::uint64_t, bool>> entries;
    for (std::size_t i = 0; i < ftp.m_aListing.GetSize(); ++i)
        entries[ftp.m_aListing[i].csFileName] = {ftp.m_aListing[i].qwFileSize,
                                                 UpperAscii(ftp.m_aListing[i].FtpAttributes).rfind("D", 0) == 0};
    SCOPED_TRACE(ftp.AllLog());
    const std::map<std::string, std::pair<std::uint64_t, bool>> expected = {
        {"..", {0, true}}, {"big.bin", {300000, false}}, {"with blank.txt", {10, false}}, {"sub", {4096, true}}};
    ASSERT_EQ(entries.size(), expected.size()) << ftp.AllLog();
    for (const auto& [name, value] : expected) {
        ASSERT_TRUE(entries.count(name)) << name;
        EXPECT_EQ(entries[name].second, value.second) << name;
        if (!value.second) {
            EXPECT_EQ(entries[name].first, value.first) << name;
        }
    }

    EXPECT_TRUE(ftp.MakeDirectory("/made/one/two"));
    EXPECT_TRUE(fs::is_directory(root / "made/one/two"));

    ASSERT_EQ(ftp.ChangeDirectory("/"), 1);
    EXPECT_TRUE(ftp.DeleteTree("tree\r\n/\r\n-1")) << ftp.AllLog();
    EXPECT_FALSE(fs::exists(root / "tree")) << ftp.AllLog();
    ftp.Quit();
}

TEST_P(FtpRealServer, FilesDownAndUpWithResume)
{
    const std::string data = RandomBytes(200000, 3);
    WriteWholeFile(root / "file one.bin", data);

    Submit(Download(server.Port(), m_bTls, "/", "file one.bin", data.size(), server.User(), server.Password()));
    ASSERT_TRUE(WaitUntil([&] { return list.Has("file one.bin", TRANSFER_EVENT_COMPLETE); }));
    EXPECT_EQ(ReadWholeFile(Local() + "file one.bin"), data);
    ASSERT_TRUE(WaitUntil([&] { return WorkersEnded(); }));

    // Resumed download: the local file holds the first 70000 bytes.
    WriteWholeFile(Local() + "part.bin", data.substr(0, 70000));
    WriteWholeFile(root / "part.bin", data);
    CTransferRecord resumed = Download(server.Port(), m_bTls, "/", "part.bin", data.size(), server.User(),
                                       server.Password());
    resumed.dwDownloaded = 70000;
    Submit(resumed);
    ASSERT_TRUE(WaitUntil([&] { return list.Has("part.bin", TRANSFER_EVENT_COMPLETE); }));
    EXPECT_EQ(ReadWholeFile(Local() + "part.bin"), data);
    ASSERT_TRUE(WaitUntil([&] { return WorkersEnded(); }));

    // Upload, then a resumed upload onto a server copy that has the first 50000 bytes.
    WriteWholeFile(Local() + "up.bin", data);
    fs::create_directories(root / "in");
    Submit(Upload(server.Port(), m_bTls, Local() + "up.bin", "/in/", data.size(), server.User(), server.Password()));
    ASSERT_TRUE(WaitUntil([&] { return list.Has("up.bin", TRANSFER_EVENT_COMPLETE); }));
    ASSERT_TRUE(WaitUntil([&] { return WorkersEnded(); }));
    EXPECT_EQ(ReadWholeFile(root / "in/up.bin"), data);

    WriteWholeFile(root / "in/up2.bin", data.substr(0, 50000));
    WriteWholeFile(Local() + "up2.bin", data);
    CTransferRecord upload =
        Upload(server.Port(), m_bTls, Local() + "up2.bin", "/in/", data.size(), server.User(), server.Password());
    upload.dwDownloaded = 50000;
    Submit(upload);
    ASSERT_TRUE(WaitUntil([&] { return list.Has("up2.bin", TRANSFER_EVENT_COMPLETE); }));
    ASSERT_TRUE(WaitUntil([&] { return WorkersEnded(); }));
    EXPECT_EQ(ReadWholeFile(root / "in/up2.bin"), data);
}

TEST_P(FtpRealServer, FolderTreeDownAndUpByteIdentical)
{
    WriteSampleTree(root / "tree");
    Submit(Download(server.Port(), m_bTls, "/", "tree", 0, server.User(), server.Password(), true));
    ASSERT_TRUE(WaitUntil([&] { return WorkersEnded() && fs::exists(Local() + "tree/sub/deeper/b.bin"); },
                          std::chrono::seconds(30)));
    ASSERT_TRUE(WaitUntil([&] { return list.Has("b.bin", TRANSFER_EVENT_COMPLETE); }));
    EXPECT_EQ(FolderTree(Local() + "tree"), FolderTree(root / "tree"));

    fs::create_directories(root / "up");
    Submit(Upload(server.Port(), m_bTls, Local() + "tree", "/up/", 0, server.User(), server.Password(), true));
    ASSERT_TRUE(WaitUntil([&] { return WorkersEnded() && fs::exists(root / "up/tree/sub/deeper/b.bin") &&
                                       fs::file_size(root / "up/tree/sub/deeper/b.bin") == 9000; },
                          std::chrono::seconds(30)));
    ASSERT_TRUE(WaitUntil([&] { return WorkersEnded(); }));
    EXPECT_EQ(FolderTree(root / "up/tree"), FolderTree(root / "tree"));
}

TEST_P(FtpRealServer, FolderFetchedAgainContinuesItsUnfinishedFiles)
{
    WriteSampleTree(root / "tree");
    const std::string big = ReadWholeFile(root / "tree/big.bin");
    // An earlier run got 100000 bytes of big.bin; they are marked so that fetching them
    // again would show.
    fs::create_directories(Local() + "tree");
    WriteWholeFile(Local() + "tree/big.bin", std::string(100000, 'k'));
    Submit(Download(server.Port(), m_bTls, "/", "tree", 0, server.User(), server.Password(), true));
    ASSERT_TRUE(WaitUntil([&] { return list.Has("big.bin", TRANSFER_EVENT_COMPLETE) && list.Has("b.bin", TRANSFER_EVENT_COMPLETE); },
                          std::chrono::seconds(30)));
    ASSERT_TRUE(WaitUntil([&] { return WorkersEnded(); }));
    EXPECT_EQ(ReadWholeFile(Local() + "tree/big.bin"), std::string(100000, 'k') + big.substr(100000));
    EXPECT_EQ(ReadWholeFile(Local() + "tree/sub/deeper/b.bin"), ReadWholeFile(root / "tree/sub/deeper/b.bin"));
}

TEST_P(FtpRealServer, QueuedSecondJobRunsOnTheSameConnection)
{
    WriteWholeFile(root / "first.bin", RandomBytes(50000, 4));
    WriteWholeFile(Local() + "second.txt", "second job");
    fs::create_directories(root / "in");
    // The upload waits in the queue; the download's worker takes it when it is done.
    Submit(Upload(server.Port(), m_bTls, Local() + "second.txt", "/in/", 10, server.User(), server.Password()), false);
    Submit(Download(server.Port(), m_bTls, "/", "first.bin", 50000, server.User(), server.Password()));
    ASSERT_TRUE(WaitUntil([&] { return list.Has("second.txt", TRANSFER_EVENT_COMPLETE); }));
    ASSERT_TRUE(WaitUntil([&] { return WorkersEnded(); }));
    EXPECT_EQ(ReadWholeFile(root / "in/second.txt"), "second job");
    EXPECT_TRUE(list.Has("first.bin", TRANSFER_EVENT_COMPLETE));
    // Taken over by the first job's worker, not started by a worker of its own.
    EXPECT_NE(ReadWholeFile(app->m_csLogsDir + "second.txt.log").find("try resume from queue"), std::string::npos);
}

TEST_P(FtpRealServer, CopyBetweenServersGoesThroughTheTemporaryFolder)
{
    const std::string data = RandomBytes(120000, 5);
    WriteWholeFile(root / "across one.bin", data);
    TempFolder otherRoot;
    fs::create_directories(otherRoot / "inbox");
    FtpTestServer other;
    ASSERT_TRUE(other.Start(std::get<0>(GetParam()), otherRoot.Path(), m_bTls)) << other.Output();
    if (m_bTls) {
        ASSERT_TRUE(CTlsSettings::AddCaFile(other.CertFile()));
    }
    CTransferRecord copy =
        Download(server.Port(), m_bTls, "/", "across one.bin", data.size(), server.User(), server.Password());
    copy.csDestinProtocol = "FTP";
    copy.csRealDownloadTo = Server(other.Port(), m_bTls) + "/inbox/";
    copy.csDownloadTo = copy.csRealDownloadTo;
    copy.csUser = other.User();
    copy.csPassword = other.Password();
    Submit(copy);
    ASSERT_TRUE(WaitUntil([&] { return list.Has("across one.bin", TRANSFER_EVENT_COMPLETE); }));
    ASSERT_TRUE(WaitUntil([&] { return WorkersEnded(); }));
    EXPECT_EQ(ReadWholeFile(otherRoot / "inbox/across one.bin"), data);
    EXPECT_FALSE(fs::exists(app->m_csTempDir + "across one.bin")) << "the temporary copy is removed";
    const std::string log = ReadWholeFile(app->m_csLogsDir + "across one.bin.log");
    EXPECT_NE(log.find("add to queue for upload"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpRealServer,
                         testing::Combine(testing::Values("vsftpd", "pure-ftpd", "proftpd"), testing::Bool()),
                         [](const testing::TestParamInfo<Param>& parameter) {
                             std::string name = std::get<0>(parameter.param);
                             name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                             return name + (std::get<1>(parameter.param) ? "Tls" : "Plain");
                         });

}  // namespace
