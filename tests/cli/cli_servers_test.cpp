// korvalo-cli run as a process against real FTP servers on 127.0.0.1: listings, files
// and folder trees both ways, refused logins, certificates, and a download killed in
// the middle and resumed by running the same command again.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include "support/ftp_test_server.h"
#include "support/temp_folder.h"
#include "transfers/transfer_database.h"

namespace fs = std::filesystem;
using testsupport::FtpTestServer;
using testsupport::ReadWholeFile;
using testsupport::TempFolder;
using testsupport::WriteWholeFile;

namespace {

std::string RandomBytes(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::string data(size, '\0');
    for (char& c : data)
        c = static_cast<char>(random());
    return data;
}

void MakeTree(const fs::path& root)
{
    fs::create_directories(root / "sub/deeper");
    WriteWholeFile((root / "big.bin").string(), RandomBytes(300000, 1));
    WriteWholeFile((root / "with blank.txt").string(), "blank name");
    WriteWholeFile((root / "sub/a.txt").string(), "a");
    WriteWholeFile((root / "sub/deeper/b.bin").string(), RandomBytes(9000, 2));
}

std::map<std::string, std::string> Tree(const fs::path& root)
{
    std::map<std::string, std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        tree[fs::relative(entry.path(), root).string()] =
            entry.is_directory() ? "<dir>" : ReadWholeFile(entry.path().string());
    return tree;
}

struct CliResult {
    int status = -1;
    std::string out;
    std::string err;
    std::string All() const { return "status " + std::to_string(status) + "\n--- stdout\n" + out + "--- stderr\n" + err; }
};

// Runs korvalo-cli with its data and settings in the test's folders and no terminal.
class CliProcess {
public:
    explicit CliProcess(const TempFolder& folder) : m_home(folder / "home"), m_config(folder / "config"), m_io(folder.Path()) {}

    pid_t Start(const std::vector<std::string>& args)
    {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::setenv("KORVALO_HOME", m_home.c_str(), 1);
            ::setenv("XDG_CONFIG_HOME", m_config.c_str(), 1);
            const int in = ::open("/dev/null", O_RDONLY);
            const int out = ::open((m_io + "/cli.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = ::open((m_io + "/cli.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(err, 2);
            std::vector<char*> argv;
            std::string program = KORVALO_CLI_PATH;
            argv.push_back(program.data());
            std::vector<std::string> copy = args;
            for (std::string& arg : copy)
                argv.push_back(arg.data());
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        return pid;
    }
    CliResult Wait(pid_t pid, std::chrono::seconds limit = std::chrono::seconds(60))
    {
        CliResult result;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        int status = 0;
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                result.err = "(killed after the time limit)\n";
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.out = ReadWholeFile(m_io + "/cli.out");
        result.err += ReadWholeFile(m_io + "/cli.err");
        return result;
    }
    CliResult Run(const std::vector<std::string>& args) { return Wait(Start(args)); }

    std::string Home() const { return m_home; }

private:
    std::string m_home;
    std::string m_config;
    std::string m_io;
};

class CliAgainstServer : public testing::Test {
protected:
    // name: the server; tls: it offers AUTH TLS with a self-signed certificate.
    bool StartServer(const std::string& name, bool tls)
    {
        if (!FtpTestServer::Available(name)) {
            m_skip = FtpTestServer::WhyUnavailable(name);
            return false;
        }
        m_bTls = tls;
        if (!server.Start(name, root.Path(), tls)) {
            ADD_FAILURE() << server.Output();
            return false;
        }
        return true;
    }
    std::string Url(const std::string& path, const std::string& password = {}) const
    {
        return std::string(m_bTls ? "ftps" : "ftp") + "://" + server.User() + ":" +
               (password.empty() ? server.Password() : password) + "@127.0.0.1:" + std::to_string(server.Port()) + path;
    }
    std::string Local(const std::string& name = {}) const { return local / name; }

    TempFolder root;
    TempFolder local;
    TempFolder work;
    FtpTestServer server;
    CliProcess cli{work};
    bool m_bTls = false;
    std::string m_skip;
};

TEST_F(CliAgainstServer, ListsAndCopiesFilesAndTreesBothWays)
{
    if (!StartServer("vsftpd", false))
        GTEST_SKIP() << m_skip;
    MakeTree(root / "tree");

    CliResult ls = cli.Run({"ls", Url("/tree/")});
    ASSERT_EQ(ls.status, 0) << ls.All();
    EXPECT_NE(ls.out.find("300000 "), std::string::npos) << ls.out;
    EXPECT_NE(ls.out.find(" big.bin\n"), std::string::npos) << ls.out;
    EXPECT_NE(ls.out.find(" with blank.txt\n"), std::string::npos) << ls.out;
    EXPECT_NE(ls.out.find(" sub/\n"), std::string::npos) << ls.out;
    EXPECT_EQ(ls.out.find(".."), std::string::npos) << ls.out;
    EXPECT_EQ(ls.out.find(server.Password()), std::string::npos);

    // One file into a folder, then the same into a path that ends in its name.
    CliResult get = cli.Run({"get", Url("/tree/big.bin"), Local()});
    ASSERT_EQ(get.status, 0) << get.All();
    EXPECT_EQ(ReadWholeFile(Local("big.bin")), ReadWholeFile(root / "tree/big.bin"));
    CliResult named = cli.Run({"get", Url("/tree/with%20blank.txt"), Local("named/with blank.txt")});
    ASSERT_EQ(named.status, 0) << named.All();
    EXPECT_EQ(ReadWholeFile(Local("named/with blank.txt")), "blank name");

    CliResult down = cli.Run({"copy", Url("/tree"), Local("copy/")});
    ASSERT_EQ(down.status, 0) << down.All();
    EXPECT_EQ(Tree(Local("copy/tree")), Tree(root / "tree"));

    WriteWholeFile(Local("up.bin"), RandomBytes(120000, 5));
    CliResult put = cli.Run({"put", Local("up.bin"), Url("/in/")});
    ASSERT_EQ(put.status, 0) << put.All();
    EXPECT_EQ(ReadWholeFile(root / "in/up.bin"), ReadWholeFile(Local("up.bin")));

    CliResult up = cli.Run({"copy", Local("copy/tree"), Url("/back/")});
    ASSERT_EQ(up.status, 0) << up.All();
    EXPECT_EQ(Tree(root / "back/tree"), Tree(root / "tree"));

    // Every transfer of the runs is stored, complete, and no password is shown.
    CliResult list = cli.Run({"list"});
    ASSERT_EQ(list.status, 0) << list.All();
    EXPECT_NE(list.out.find("big.bin"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("b.bin"), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find("Queued"), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find(server.Password()), std::string::npos) << list.out;

    // A missing file: a clear failure, nothing written.
    CliResult missing = cli.Run({"get", Url("/tree/nothing.bin"), Local()});
    EXPECT_EQ(missing.status, 1) << missing.All();
    EXPECT_NE(missing.err.find("no such file"), std::string::npos) << missing.All();
    EXPECT_FALSE(fs::exists(Local("nothing.bin")));
}

TEST_F(CliAgainstServer, RefusedLoginFailsClearlyWithoutShowingThePassword)
{
    if (!StartServer("vsftpd", false))
        GTEST_SKIP() << m_skip;
    WriteWholeFile(root / "f.txt", "f");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"ls", Url("/", "wrong-secret")}, std::vector<std::string>{"get", Url("/f.txt", "wrong-secret"), Local()},
          std::vector<std::string>{"put", (root / "f.txt"), Url("/x/", "wrong-secret")}}) {
        CliResult result = cli.Run(args);
        SCOPED_TRACE(args[0]);
        EXPECT_EQ(result.status, 1) << result.All();
        EXPECT_NE(result.err.find("refused"), std::string::npos) << result.All();
        EXPECT_NE(result.err.find("530"), std::string::npos) << result.All();
        EXPECT_EQ(result.err.find("wrong-secret"), std::string::npos) << result.All();
        EXPECT_EQ(result.out.find("wrong-secret"), std::string::npos) << result.All();
    }
    EXPECT_FALSE(fs::exists(Local("f.txt")));
    // A user without a password and no terminal to ask: refused before connecting.
    CliResult noPassword = cli.Run({"ls", "ftp://" + server.User() + "@127.0.0.1:" + std::to_string(server.Port()) + "/"});
    EXPECT_EQ(noPassword.status, 1) << noPassword.All();
    EXPECT_NE(noPassword.err.find("no terminal"), std::string::npos) << noPassword.All();
}

class CliTlsServer : public CliAgainstServer, public testing::WithParamInterface<const char*> {};

TEST_P(CliTlsServer, UntrustedCertificateFailsWithoutTerminalAndCaFileTrustsIt)
{
    if (!StartServer(GetParam(), true))
        GTEST_SKIP() << m_skip;
    const std::string data = RandomBytes(200000, 7);
    WriteWholeFile(root / "secret.bin", data);

    CliResult refused = cli.Run({"get", Url("/secret.bin"), Local()});
    EXPECT_EQ(refused.status, 1) << refused.All();
    EXPECT_NE(refused.err.find("not trusted"), std::string::npos) << refused.All();
    EXPECT_NE(refused.err.find("--ca-file"), std::string::npos) << refused.All();
    EXPECT_FALSE(fs::exists(Local("secret.bin")));
    // Nothing was trusted for later runs.
    EXPECT_EQ(cli.Run({"ls", Url("/")}).status, 1);

    CliResult ls = cli.Run({"--ca-file", server.CertFile(), "ls", Url("/")});
    ASSERT_EQ(ls.status, 0) << ls.All();
    EXPECT_NE(ls.out.find(" secret.bin\n"), std::string::npos) << ls.All();
    // The workers' own connections take the authority too.
    CliResult get = cli.Run({"--ca-file", server.CertFile(), "get", Url("/secret.bin"), Local()});
    ASSERT_EQ(get.status, 0) << get.All();
    EXPECT_EQ(ReadWholeFile(Local("secret.bin")), data);
    CliResult put = cli.Run({"--ca-file", server.CertFile(), "put", Local("secret.bin"), Url("/in/")});
    ASSERT_EQ(put.status, 0) << put.All();
    EXPECT_EQ(ReadWholeFile(root / "in/secret.bin"), data);
}

INSTANTIATE_TEST_SUITE_P(Servers, CliTlsServer, testing::Values("pure-ftpd", "proftpd"),
                         [](const testing::TestParamInfo<const char*>& parameter) {
                             return std::string(parameter.param) == "proftpd" ? "proftpd" : "pureftpd";
                         });

// The stored offset of the transfer named name, or -1 while it has no row. Read-only and
// without waiting, so a writer stopped in the middle of a transaction does not hold it up.
long long StoredOffset(const std::string& home, const std::string& name)
{
    sqlite3* db = nullptr;
    long long offset = -1;
    if (sqlite3_open_v2(CTransferDatabase::DatabasePath(home).c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT dwDownloaded FROM Transfers WHERE csFileName = ?", -1, &statement,
                               nullptr) == SQLITE_OK) {
            sqlite3_bind_text(statement, 1, name.c_str(), -1, SQLITE_TRANSIENT);
            if (sqlite3_step(statement) == SQLITE_ROW)
                offset = sqlite3_column_int64(statement, 0);
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return offset;
}

TEST_F(CliAgainstServer, KilledDownloadResumesFromTheStoredOffset)
{
    if (!StartServer("vsftpd", false))
        GTEST_SKIP() << m_skip;
    const std::size_t size = 64u << 20;
    const std::string data = RandomBytes(size, 11);
    WriteWholeFile(root / "large.bin", data);

    const std::vector<std::string> command = {"-q", "get", Url("/large.bin"), Local()};
    const pid_t pid = cli.Start(command);
    // Slowed down by stopping it most of the time, it is killed once its list has stored
    // an offset in the middle of the file.
    long long stored = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        ::kill(pid, SIGCONT);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ::kill(pid, SIGSTOP);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        stored = StoredOffset(cli.Home(), "large.bin");
        if (stored > 0 && stored < static_cast<long long>(size))
            break;
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid)
            FAIL() << "the download ended before it could be killed (stored " << stored << ")\n"
                   << ReadWholeFile(work / "cli.err") << ReadWholeFile(cli.Home() + "/Data/Logs/large.bin.log");
    }
    ::kill(pid, SIGKILL);
    ::kill(pid, SIGCONT);
    CliResult killed = cli.Wait(pid);
    ASSERT_EQ(killed.status, 128 + SIGKILL) << killed.All();
    ASSERT_GT(stored, 0) << "no offset was stored in time";
    ASSERT_LT(stored, static_cast<long long>(size));
    ASSERT_GE(fs::file_size(Local("large.bin")), static_cast<std::uintmax_t>(stored));

    CliResult again = cli.Run(command);
    ASSERT_EQ(again.status, 0) << again.All();
    const std::string resumed = "resuming large.bin from byte ";
    const std::size_t at = again.err.find(resumed);
    ASSERT_NE(at, std::string::npos) << again.All();
    EXPECT_GE(std::stoll(again.err.substr(at + resumed.size())), stored) << again.All();
    EXPECT_TRUE(ReadWholeFile(Local("large.bin")) == data) << "the resumed file differs";
    // The transfer's own log tells that it was started again with its offset.
    const std::string log = ReadWholeFile(cli.Home() + "/Data/Logs/large.bin.log");
    EXPECT_NE(log.find("Start resume"), std::string::npos);
}

}  // namespace
