#include <gtest/gtest.h>

#include <chrono>

#include "ftp/fake_ftp_server.h"
#include "ftp/ftp_protocol.h"
#include "ftp/ftp_session.h"

using testsupport::CLoggedFtpProtocol;
using testsupport::FakeFtpScript;
using testsupport::FakeFtpServer;

namespace {

TEST(FtpPassive, ReplyParsing)
{
    struct {
        std::string reply;
        bool ok;
        std::string address;
    } cases[] = {
        {"227 Entering Passive Mode (192,168,1,20,195,80).\r\n", true, "192.168.1.20:50000:1"},
        {"227 Entering Passive Mode (127,0,0,1,156,136)\r\n", true, "127.0.0.1:40072:1"},
        {"227 Entering Passive Mode ( 10, 0, 0, 5, 4, 1 )\r\n", true, "10.0.0.5:1025:1"},
        {"227 Entering Passive Mode 127,0,0,1,4,1\r\n", true, "127.0.0.1:1025:1"},
        {"227 =127,0,0,1,0,21\r\n", true, "127.0.0.1:21:1"},
        {"227 ok\r\n", false, ""},
        {"227 (127,0,0,1,4)\r\n", false, ""},
        {"227 (127,0,0,1,4,1\r\n", false, ""},
        {"227 (256,0,0,1,4,1)\r\n", false, ""},
        {"227 (127,0,0,1,4,256)\r\n", false, ""},
        {"227 (127,0,0,1,0,0)\r\n", false, ""},
        {"227 (1x7,0,0,1,4,1)\r\n", false, ""},
        {"227 (0127,0,0,1,4,1)\r\n", false, ""},
        {"227 (", false, ""},
        {"", false, ""},
        {"227 (99999999999999999999,0,0,1,4,1)", false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        std::string address = "unchanged";
        EXPECT_EQ(ParsePassiveReply(c.reply, address), c.ok);
        EXPECT_EQ(address, c.ok ? c.address : "unchanged");
    }
}

std::vector<std::string> Names(const CTransferRecordArray& listing)
{
    std::vector<std::string> names;
    for (std::size_t i = 0; i < listing.GetSize(); ++i)
        names.push_back(listing[i].csFileName);
    return names;
}

TEST(FtpListing, UnixDosAndHostileNames)
{
    struct {
        const char* name;
        std::string listing;
        std::vector<std::string> names;
    } cases[] = {
        {"unix with total and blanks",
         "total 12\r\n"
         "drwxr-xr-x    2 root       root             4096 Dec 11 03:43 dir with space\r\n"
         "-rw-r--r--    1 0        0         1048576 Dec 11 03:43 bin.dat\r\n"
         "drwxr-xr-x    2 0        0            4096 Dec 11 03:43 .\r\n"
         "drwxr-xr-x    2 0        0            4096 Dec 11 03:43 ..\r\n"
         "-rw-r--r--    1 0        0               5 Jan  1  2020 total\r\n",
         {"..", "dir with space", "bin.dat", "total"}},
        {"line feeds alone", "-rw-r--r-- 1 u g 3 Jan 1 12:00 a\n-rw-r--r-- 1 u g 4 Jan 1 12:00 b\n", {"..", "a", "b"}},
        {"dos", "01-25-04  10:30PM       <DIR>          Folder\r\n12-01-99  09:15AM              1234 old.txt\r\n",
         {"..", "Folder", "old.txt"}},
        {"hostile names",
         "-rw-r--r-- 1 u g 3 Jan 1 12:00 ../x\r\n-rw-r--r-- 1 u g 3 Jan 1 12:00 a/b\r\n"
         "-rw-r--r-- 1 u g 3 Jan 1 12:00 fine\r\n",
         {"..", "fine"}},
        {"empty folder", "", {".."}},
        {"no final line end", "-rw-r--r-- 1 u g 3 Jan 1 12:00 last", {"..", "last"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeFtpScript script;
        script.listing = c.listing;
        FakeFtpServer server(script);
        CLoggedFtpProtocol ftp;
        ASSERT_TRUE(ftp.Open(server.Port()));
        ftp.m_csCurrentDir = "/pub";
        ASSERT_TRUE(ftp.ListFolder());
        EXPECT_EQ(Names(ftp.m_aListing), c.names);
        EXPECT_EQ(ftp.m_csListedFolder, "/pub");
        EXPECT_NE(ftp.AllLog().find("Data recieved OK, (" + std::to_string(c.names.size() - 1) + " records)"),
                  std::string::npos);
        // The closing reply was read: the connection is in step for the next command.
        ASSERT_TRUE(ftp.QueryCurrentFolder());
    }
}

TEST(FtpListing, EntryFieldsOfAUnixAndADosLine)
{
    FakeFtpScript script;
    script.listing = "-rw-r--r--    1 tester   root     5368709120 Mar  4  2021 big file.iso\r\n"
                     "01-25-04  10:30PM       <DIR>          Folder\r\n";
    FakeFtpServer server(script);
    CLoggedFtpProtocol ftp;
    ASSERT_TRUE(ftp.Open(server.Port()));
    ftp.m_csCurrentDir = "/pub";
    ftp.m_csUser = "tester";
    ASSERT_TRUE(ftp.ListFolder());
    ASSERT_EQ(ftp.m_aListing.GetSize(), 3u);
    const CTransferRecord& file = ftp.m_aListing[1];
    EXPECT_EQ(file.csFileName, "big file.iso");
    EXPECT_EQ(file.qwFileSize, 5368709120ull);
    EXPECT_EQ(file.nYar, 2021);
    EXPECT_EQ(file.csFolder, "/pub");
    EXPECT_EQ(file.csUserSource, "tester");
    const CTransferRecord& folder = ftp.m_aListing[2];
    EXPECT_EQ(folder.csFileName, "Folder");
    EXPECT_EQ(UpperAscii(folder.FtpAttributes).substr(0, 1), "D");
    EXPECT_EQ(folder.nYar, 2004);
    EXPECT_EQ(folder.nHour, 22);
}

TEST(FtpListing, LargeListingIsReadToItsEndBeforeTheClosingReply)
{
    FakeFtpScript script;
    for (int i = 0; i < 100000; ++i)
        script.listing += "-rw-r--r--    1 0        0            " + std::to_string(i) + " Dec 11 03:43 file" +
                          std::to_string(i) + "\r\n";
    FakeFtpServer server(script);
    CLoggedFtpProtocol ftp;
    ASSERT_TRUE(ftp.Open(server.Port()));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(ftp.ListFolder());
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(ftp.m_aListing.GetSize(), 100001u);
    EXPECT_LT(took, std::chrono::seconds(5));
}

TEST(FtpListing, PassiveAddressVariants)
{
    struct {
        const char* name;
        std::string address;
        bool parentheses;
        bool ok;
        bool substituted;
    } cases[] = {
        {"plain", "127,0,0,1", true, true, false},
        {"no parentheses", "127,0,0,1", false, true, false},
        // Nothing listens there: the control connection's address is tried after it.
        {"unreachable address", "127,0,0,2", true, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeFtpScript script;
        script.listing = "-rw-r--r-- 1 u g 3 Jan 1 12:00 a\r\n";
        script.pasvAddress = c.address;
        script.pasvParentheses = c.parentheses;
        FakeFtpServer server(script);
        CLoggedFtpProtocol ftp;
        ASSERT_TRUE(ftp.Open(server.Port()));
        EXPECT_EQ(ftp.ListFolder(), c.ok);
        EXPECT_EQ(ftp.m_aListing.GetSize(), 2u);
        EXPECT_EQ(ftp.AllLog().find("Substituting connection address") != std::string::npos, c.substituted);
        EXPECT_EQ(ftp.m_nDataSocket, INVALID_SOCKET);
    }
}

TEST(FtpListing, RefusedPassiveAndRefusedList)
{
    {
        FakeFtpScript script;
        script.replies["PASV"] = "227 ok\r\n";
        FakeFtpServer server(script);
        CLoggedFtpProtocol ftp;
        ASSERT_TRUE(ftp.Open(server.Port()));
        EXPECT_FALSE(ftp.ListFolder());
        EXPECT_NE(ftp.AllLog().find("No data address"), std::string::npos);
    }
    {
        FakeFtpScript script;
        script.replies["LIST"] = "425 Can't open data connection.\r\n";
        FakeFtpServer server(script);
        CLoggedFtpProtocol ftp;
        ASSERT_TRUE(ftp.Open(server.Port()));
        EXPECT_FALSE(ftp.ListFolder());
        EXPECT_NE(ftp.AllLog().find("425 Can't open data connection."), std::string::npos);
    }
}

TEST(FtpListing, ShowFolderGoesUpWithCdupOrCwd)
{
    struct {
        std::string current;
        std::string first;
    } cases[] = {{"/pub/dir", "CDUP"}, {"/other", "CWD /pub/dir"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.current);
        FakeFtpScript script;
        FakeFtpServer server(script);
        CLoggedFtpProtocol ftp;
        ASSERT_TRUE(ftp.Open(server.Port()));
        ftp.m_bAutoMode = true;
        ftp.m_csCurrentDir = c.current;
        EXPECT_TRUE(ftp.ShowFolder("/pub/dir/.."));
        ASSERT_FALSE(server.Commands().empty());
        EXPECT_EQ(server.Commands()[0], c.first);
    }
}

}  // namespace
