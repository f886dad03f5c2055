// The parts of korvalo-cli that need no server: URLs and paths, the command line, the
// progress texts and the trust answers.

#include <gtest/gtest.h>

#include "cli/location.h"
#include "cli/options.h"
#include "cli/progress_display.h"
#include "cli/trust.h"

namespace {

struct LocationCase {
    const char* text = "";
    bool ok = false;
    bool remote = false;
    bool tls = false;
    const char* host = "";
    int port = 21;
    const char* user = "";
    bool hasPassword = false;
    const char* password = "";
    const char* path = "";
};

TEST(CliLocation, ParsesUrlsAndPaths)
{
    const LocationCase cases[] = {
        {"ftp://example.org", true, true, false, "example.org", 21, "", false, "", "/"},
        {"ftp://example.org/", true, true, false, "example.org", 21, "", false, "", "/"},
        {"FTPS://Example.org:990/a/b.bin", true, true, true, "Example.org", 990, "", false, "", "/a/b.bin"},
        {"ftp://anna@h/x/", true, true, false, "h", 21, "anna", false, "", "/x/"},
        {"ftp://anna:@h/x", true, true, false, "h", 21, "anna", true, "", "/x"},
        {"ftp://anna:s%3Acr%40t@h:2121/x", true, true, false, "h", 2121, "anna", true, "s:cr@t", "/x"},
        // The last "@" ends the login: a password may hold a plain "@".
        {"ftp://anna:p@ss@h/x", true, true, false, "h", 21, "anna", true, "p@ss", "/x"},
        {"ftp://[::1]:2121/with%20blank.txt", true, true, false, "[::1]", 2121, "", false, "", "/with blank.txt"},
        {"ftp://[::1]/", true, true, false, "[::1]", 21, "", false, "", "/"},
        {"relative/file.txt", true, false, false, "", 21, "", false, "", "/base/relative/file.txt"},
        {"../up/", true, false, false, "", 21, "", false, "", "/up/"},
        {"/abs/olute", true, false, false, "", 21, "", false, "", "/abs/olute"},
        {"file:///abs/f%20g", true, false, false, "", 21, "", false, "", "/abs/f g"},
        // Refused: unknown schemes, bad ports and hosts, broken escapes, and line breaks
        // that would end an FTP command early.
        {"http://example.org/", false},
        {"ftp://", false},
        {"ftp:///path", false},
        {"ftp://h:0/", false},
        {"ftp://h:65536/", false},
        {"ftp://h:/", false},
        {"ftp://h:21x/", false},
        {"ftp://[::1/", false},
        {"ftp://[::1]x/", false},
        {"ftp://h/a%2", false},
        {"ftp://h/a%zz", false},
        {"ftp://h/a%0D%0ADELE%20x", false},
        {"ftp://anna:a%0Ab@h/", false},
        {"ftp://h/a%00b", false},
        {"file://relative", false},
        {"", false},
    };
    for (const LocationCase& c : cases) {
        SCOPED_TRACE(c.text);
        CCliLocation where;
        std::string error;
        ASSERT_EQ(ParseLocation(c.text, "/base", where, error), c.ok) << error;
        if (!c.ok) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        EXPECT_EQ(where.bRemote, c.remote);
        EXPECT_EQ(where.bTls, c.tls);
        EXPECT_EQ(where.csHost, c.host);
        EXPECT_EQ(where.nPort, c.port);
        EXPECT_EQ(where.csUser, c.user);
        EXPECT_EQ(where.bHasUser, std::string(c.user) != "");
        EXPECT_EQ(where.bHasPassword, c.hasPassword);
        EXPECT_EQ(where.csPassword, c.password);
        EXPECT_EQ(where.csPath, c.path);
    }
}

TEST(CliLocation, NamesFoldersAndNeverShowsThePassword)
{
    CCliLocation where;
    std::string error;
    ASSERT_TRUE(ParseLocation("ftps://anna:secret@h:2121/in/sub/", "/", where, error));
    EXPECT_EQ(where.Name(), "sub");
    EXPECT_EQ(where.Folder(), "/in/");
    EXPECT_EQ(where.Server(), "ftps://h:2121");
    EXPECT_EQ(where.Display(), "ftps://anna@h:2121/in/sub/");
    ASSERT_TRUE(ParseLocation("ftp://h/file.bin", "/", where, error));
    EXPECT_EQ(where.Name(), "file.bin");
    EXPECT_EQ(where.Folder(), "/");
    ASSERT_TRUE(ParseLocation("ftp://h/", "/", where, error));
    EXPECT_EQ(where.Name(), "");
}

TEST(CliOptions, CommandsArgumentsAndOptions)
{
    struct Case {
        std::vector<std::string> args;
        bool ok;
        const char* command;
        std::size_t count;
    };
    const Case cases[] = {
        {{"ls", "ftp://h/"}, true, "ls", 1},
        {{"get", "ftp://h/a"}, true, "get", 1},
        {{"get", "ftp://h/a", "dir"}, true, "get", 2},
        {{"--ca-file", "ca.pem", "put", "a", "ftp://h/"}, true, "put", 2},
        {{"copy", "-q", "a", "--ca-file=x.pem", "b"}, true, "copy", 2},
        {{"list"}, true, "list", 0},
        {{"resume"}, true, "resume", 0},
        {{"--", "get", "-odd-name", "dir"}, true, "get", 2},
        {{}, false, "", 0},
        {{"fetch", "x"}, false, "", 0},
        {{"ls"}, false, "", 0},
        {{"put", "a"}, false, "", 0},
        {{"list", "x"}, false, "", 0},
        {{"--ca-file"}, false, "", 0},
        {{"--unknown", "list"}, false, "", 0},
    };
    for (const Case& c : cases) {
        cli::CCliOptions options;
        std::string error;
        const bool ok = cli::ParseOptions(c.args, options, error);
        ASSERT_EQ(ok, c.ok) << (c.args.empty() ? "(none)" : c.args[0]) << ": " << error;
        if (ok) {
            EXPECT_EQ(options.csCommand, c.command);
            EXPECT_EQ(options.aArguments.size(), c.count);
        }
    }
    cli::CCliOptions options;
    std::string error;
    ASSERT_TRUE(cli::ParseOptions({"--ca-file", "one.pem", "--ca-file=two.pem", "-q", "list"}, options, error));
    EXPECT_EQ(options.aCaFiles, (std::vector<std::string>{"one.pem", "two.pem"}));
    EXPECT_TRUE(options.bQuiet);
    ASSERT_TRUE(cli::ParseOptions({"get", "--help"}, options, error));
    EXPECT_TRUE(options.bHelp);
}

TEST(CliProgress, SizesRatesAndTimeLeft)
{
    EXPECT_EQ(cli::FormatBytes(0), "0 B");
    EXPECT_EQ(cli::FormatBytes(1023), "1023 B");
    EXPECT_EQ(cli::FormatBytes(1536), "1.5 KiB");
    EXPECT_EQ(cli::FormatBytes(5ULL << 30), "5.0 GiB");
    EXPECT_EQ(cli::FormatRate(-1), "--");
    EXPECT_EQ(cli::FormatRate(2 << 20), "2.0 MiB/s");
    EXPECT_EQ(cli::FormatEta(100, 0, 0), "--:--");
    EXPECT_EQ(cli::FormatEta(100, 0, -1), "--:--");
    EXPECT_EQ(cli::FormatEta(100, 100, 10), "0:00");
    EXPECT_EQ(cli::FormatEta(1000, 0, 10), "1:40");
    EXPECT_EQ(cli::FormatEta(3725, 0, 1), "1:02:05");
    // Files over 4 GiB: the arithmetic stays 64-bit.
    EXPECT_EQ(cli::FormatEta(10ULL << 30, 0, 1 << 20), "2:50:40");
    EXPECT_EQ(cli::FormatProgressLine("a.bin", 512, 1024, 256), "a.bin  512 B / 1.0 KiB  50%  256 B/s  0:02 left");
    EXPECT_EQ(cli::FormatProgressLine("empty", 0, 0, -1), "empty  0 B / 0 B  100%  --  --:-- left");
}

TEST(CliTrust, AnswersAndQuestion)
{
    EXPECT_EQ(cli::TrustAnswerFromText("o"), ETrustAnswer::TrustOnce);
    EXPECT_EQ(cli::TrustAnswerFromText(" Once "), ETrustAnswer::TrustOnce);
    EXPECT_EQ(cli::TrustAnswerFromText("A"), ETrustAnswer::TrustAlways);
    EXPECT_EQ(cli::TrustAnswerFromText("always"), ETrustAnswer::TrustAlways);
    EXPECT_EQ(cli::TrustAnswerFromText(""), ETrustAnswer::Refuse);
    EXPECT_EQ(cli::TrustAnswerFromText("yes"), ETrustAnswer::Refuse);
    CCertificateInfo info;
    info.csHost = "h.example";
    info.csError = "self-signed certificate";
    info.csFingerprint = "ab:cd";
    const std::string text = cli::CertificateQuestionText(info);
    EXPECT_NE(text.find("h.example"), std::string::npos);
    EXPECT_NE(text.find("self-signed certificate"), std::string::npos);
    EXPECT_NE(text.find("ab:cd"), std::string::npos);
}

}  // namespace
