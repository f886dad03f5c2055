#include <gtest/gtest.h>

#include <mutex>
#include <set>

#include "ftp/fake_ftp_server.h"
#include "ftp/ftp_protocol.h"
#include "ftp/ftp_session.h"

using testsupport::CLoggedFtpProtocol;
using testsupport::FakeFtpScript;
using testsupport::FakeFtpServer;

namespace {

struct LoginCase {
    const char* name;
    std::string greeting;
    std::string userReply;
    std::string passReply;
    int result;
    bool passSent;
};

TEST(FtpLogin, RepliesOfRealAndOddServers)
{
    const LoginCase cases[] = {
        {"plain", "220 (vsFTPd 3.0.3)\r\n", "331 Please specify the password.\r\n", "230 Login successful.\r\n", 1, true},
        {"multi-line greeting and welcome",
         "220-Welcome\r\n220-line with 220 inside\r\n220 You will be disconnected.\r\n",
         "331-Password\r\n331-needed\r\n331 now\r\n", "230-Welcome\r\n230-230 is here too\r\n230 Login successful.\r\n", 1,
         true},
        {"refused password", "220 x\r\n", "331 Password\r\n", "530 Login incorrect.\r\n", 530, true},
        {"other failure", "220 x\r\n", "331 Password\r\n", "421 Too many users\r\n", 0, true},
        {"230 without password", "220 x\r\n", "230 Logged in\r\n", "", 1, false},
    };
    for (const LoginCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeFtpScript script;
        script.greeting = c.greeting;
        script.replies["USER"] = c.userReply;
        if (!c.passReply.empty())
            script.replies["PASS"] = c.passReply;
        FakeFtpServer server(script);
        CLoggedFtpProtocol ftp;
        ASSERT_TRUE(ftp.Open(server.Port()));
        EXPECT_EQ(ftp.m_csGreeting, c.greeting);
        EXPECT_EQ(ftp.Login(ftp.m_socket, "tester", "s3cret"), c.result);
        ftp.Quit();
        EXPECT_EQ(server.IndexOf("PASS") >= 0, c.passSent);
        EXPECT_EQ(ftp.AllLog().find("s3cret"), std::string::npos);
        if (c.passSent) {
            EXPECT_NE(ftp.AllLog().find("PASS [hidden]\r\n"), std::string::npos);
        }
        if (c.result == 1) {
            // The whole welcome was read before the next command went out.
            const int rest = server.IndexOf("REST 100");
            ASSERT_GE(rest, 0);
            EXPECT_EQ(server.Commands()[rest + 1], "REST 0");
            EXPECT_EQ(server.IndexOf("QUIT"), rest + 2);
        }
    }
}

TEST(FtpLogin, TlsRefusedMeansNoClearTextLogin)
{
    FakeFtpScript script;
    script.replies["AUTH"] = "500 AUTH not understood\r\n";
    FakeFtpServer server(script);
    CLoggedFtpProtocol ftp;
    ASSERT_TRUE(ftp.Open(server.Port(), true));
    EXPECT_EQ(ftp.Login(ftp.m_socket, "tester", "s3cret"), 0);
    ftp.Quit();
    const std::vector<std::string> commands = server.Commands();
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ(commands[0], "AUTH TLS");
    EXPECT_EQ(commands[1], "AUTH SSL");
    EXPECT_EQ(server.IndexOf("USER"), -1);
    EXPECT_EQ(server.IndexOf("PASS"), -1);
    EXPECT_EQ(ftp.m_csError, FTP_TLS_REFUSED);
}

TEST(FtpLogin, ServerThatWantsTlsBeforeUserIsNotGivenThePassword)
{
    FakeFtpScript script;
    script.replies["USER"] = "530 Non-anonymous sessions must use encryption.\r\n";
    script.replies["AUTH"] = "504 no\r\n";
    FakeFtpServer server(script);
    CLoggedFtpProtocol ftp;
    ASSERT_TRUE(ftp.Open(server.Port()));
    EXPECT_EQ(ftp.Login(ftp.m_socket, "tester", "s3cret"), 0);
    ftp.Quit();
    EXPECT_GE(server.IndexOf("AUTH TLS"), 0);
    EXPECT_EQ(server.IndexOf("PASS"), -1);
}

TEST(FtpControl, CurrentFolderAndUrl)
{
    struct {
        int labelPort;
        std::string reply;
        std::string dir;
        std::string url;
    } cases[] = {
        {21, "257 \"/home/user\" is current directory\r\n", "/home/user", "ftp://127.0.0.1/home/user"},
        {2121, "257 \"/home/user\" is current directory\r\n", "/home/user", "ftp://127.0.0.1:2121/home/user"},
        {21, "257 \"pub\"\r\n", "pub", "ftp://127.0.0.1/pub"},
        {21, "257 no quotes\r\n", "", "ftp://127.0.0.1/"},
        {21, "257 \"unterminated\r\n", "", "ftp://127.0.0.1/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        FakeFtpScript script;
        script.replies["PWD"] = c.reply;
        FakeFtpServer server(script);
        CLoggedFtpProtocol ftp;
        ASSERT_TRUE(ftp.Open(server.Port()));
        ftp.m_csLabel = "127.0.0.1:" + std::to_string(c.labelPort) + ":0";
        ASSERT_TRUE(ftp.QueryCurrentFolder());
        EXPECT_EQ(ftp.m_csCurrentDir, c.dir);
        EXPECT_EQ(ftp.m_csUrl, c.url);
    }
}

TEST(FtpControl, MakeDirectoryWalksUpThenDown)
{
    std::set<std::string> existing = {"/"};
    std::mutex lock;
    FakeFtpScript script;
    script.handler = [&](const std::string& line) -> std::string {
        if (line.rfind("MKD ", 0) != 0)
            return "";
        std::string path = line.substr(4, line.size() - 6);
        std::lock_guard guard(lock);
        std::string parent = path.substr(0, path.rfind('/'));
        if (parent.empty())
            parent = "/";
        if (!existing.count(parent))
            return "550 No such parent\r\n";
        existing.insert(path);
        return "257 \"" + path + "\" created\r\n";
    };
    FakeFtpServer server(script);
    CLoggedFtpProtocol ftp;
    ASSERT_TRUE(ftp.Open(server.Port()));
    EXPECT_TRUE(ftp.MakeDirectory("/a/b/c"));
    ftp.Quit();
    const std::vector<std::string> expected = {"MKD /a/b/c", "MKD /a/b", "MKD /a", "MKD /a/b", "MKD /a/b/c", "QUIT"};
    EXPECT_EQ(server.Commands(), expected);
    EXPECT_EQ(ftp.m_nLastReply, 257);
}

TEST(FtpControl, FolderCommandsAndTheirReplies)
{
    FakeFtpScript script;
    script.replies["CDUP"] = "550 No such directory.\r\n";
    script.handler = [](const std::string& line) -> std::string {
        if (line == "CWD /missing\r\n")
            return "550 Failed to change directory.\r\n";
        if (line == "CWD /multi\r\n")
            return "250-first\r\n250-second\r\n250 done\r\n";
        if (line == "CWD /bad\r\n")
            return "501 Syntax\r\n";
        if (line == "RMD full\r\n")
            return "550 Directory not empty\r\n";
        if (line == "PWD\r\n")
            return "257 \"/where\"\r\n";
        return "";
    };
    FakeFtpServer server(script);
    CLoggedFtpProtocol ftp;
    ASSERT_TRUE(ftp.Open(server.Port()));
    EXPECT_TRUE(ftp.ChangeToParent());   // a CDUP answered 550 still counts

    EXPECT_EQ(ftp.ChangeDirectory("/missing"), 0);
    EXPECT_EQ(ftp.m_csCurrentDir, "/where");   // corrected by the PWD after the refusal
    EXPECT_EQ(ftp.ChangeDirectory("/multi"), 1);
    EXPECT_EQ(ftp.m_csCurrentDir, "/multi");
    EXPECT_FALSE(ftp.ChangeOrMakeDirectory("/bad"));   // 501 creates nothing

    EXPECT_FALSE(ftp.DeleteEntry("full\r\n/multi\r\n-1", true));
    EXPECT_EQ(ftp.m_nLastReply, 550);
    EXPECT_TRUE(ftp.DeleteEntry("file.txt\r\n/other\r\n-1", false));
    ftp.Quit();

    const std::vector<std::string> commands = server.Commands();
    // The multi-line 250 was read to its end: the next command follows it directly.
    EXPECT_EQ(server.IndexOf("CWD /bad"), server.IndexOf("CWD /multi") + 1);
    EXPECT_EQ(server.IndexOf("MKD"), -1);
    EXPECT_EQ(server.IndexOf("CWD /other"), server.IndexOf("RMD full") + 1);
    EXPECT_EQ(server.IndexOf("DELE file.txt"), server.IndexOf("CWD /other") + 1);
}

TEST(FtpControl, ChangeOrMakeCreatesMissingFolderAndMarksTheJob)
{
    std::mutex lock;
    bool made = false;
    FakeFtpScript script;
    script.handler = [&](const std::string& line) -> std::string {
        std::lock_guard guard(lock);
        if (line == "CWD /new/sub\r\n")
            return made ? "250 OK\r\n" : "550 No such directory\r\n";
        if (line == "MKD /new/sub\r\n") {
            made = true;
            return "257 created\r\n";
        }
        return "";
    };
    FakeFtpServer server(script);
    CLoggedFtpProtocol ftp;
    ASSERT_TRUE(ftp.Open(server.Port()));
    CTransferRecord job;
    ftp.m_aJob.Add(job);
    EXPECT_TRUE(ftp.ChangeOrMakeDirectory("/new/sub"));
    EXPECT_EQ(ftp.m_aJob[0].nFolderAction, 4);
    EXPECT_EQ(ftp.m_csCurrentDir, "/new/sub");
}

TEST(FtpControl, TypeAndProtectionAreSentOnlyWhenTheyChange)
{
    FakeFtpScript script;
    script.replies["PBSZ"] = "500 no\r\n";
    FakeFtpServer server(script);
    CLoggedFtpProtocol ftp;
    ASSERT_TRUE(ftp.Open(server.Port()));
    EXPECT_TRUE(ftp.SetTransferType("I"));
    EXPECT_TRUE(ftp.SetTransferType("I"));
    EXPECT_TRUE(ftp.SetTransferType("A"));
    EXPECT_FALSE(ftp.SetProtectionLevel("P"));
    EXPECT_EQ(ftp.m_nLastReply, 500);
    ftp.Quit();
    const std::vector<std::string> expected = {"TYPE I", "TYPE A", "PBSZ 0", "QUIT"};
    EXPECT_EQ(server.Commands(), expected);
}

TEST(FtpControl, LostConnectionIsAnEmptyReply)
{
    FakeFtpScript script;
    script.replies["CWD"] = "421 Closing\r\n";
    FakeFtpServer server(script);
    CLoggedFtpProtocol ftp;
    ASSERT_TRUE(ftp.Open(server.Port()));
    EXPECT_EQ(ftp.ChangeDirectory("/x"), 0);   // 421 is an answer
    EXPECT_EQ(ftp.ChangeDirectory("/y"), -1);  // then the server is gone
}

}  // namespace
