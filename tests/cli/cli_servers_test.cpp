// korvalo-cli run as a process against real FTP servers on 127.0.0.1: listings, files
// and folder trees both ways, refused logins, certificates, a download killed in the
// middle and resumed by running the same command again, and a soak of a download and an
// upload killed several times at random offsets.
//
// Environment of the soak (CliKillSoak):
//   KORVALO_SOAK_MIB   size of its file in MiB (default 256); e.g. 1024 for a benchmark run
//   KORVALO_SOAK_SEED  seed of its kill offsets (default: a random one, printed)

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "support/ftp_test_server.h"
#include "support/temp_folder.h"
#include "transfers/transfer_database.h"

namespace fs = std::filesystem;
using testsupport::FtpTestServer;
using testsupport::RandomBytes;
using testsupport::FolderTree;
using testsupport::ReadWholeFile;
using testsupport::WriteSampleTree;
using testsupport::TempFolder;
using testsupport::WriteWholeFile;

namespace {

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
    WriteSampleTree(root / "tree");

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
    EXPECT_EQ(FolderTree(Local("copy/tree")), FolderTree(root / "tree"));

    WriteWholeFile(Local("up.bin"), RandomBytes(120000, 5));
    CliResult put = cli.Run({"put", Local("up.bin"), Url("/in/")});
    ASSERT_EQ(put.status, 0) << put.All();
    EXPECT_EQ(ReadWholeFile(root / "in/up.bin"), ReadWholeFile(Local("up.bin")));

    CliResult up = cli.Run({"copy", Local("copy/tree"), Url("/back/")});
    ASSERT_EQ(up.status, 0) << up.All();
    EXPECT_EQ(FolderTree(root / "back/tree"), FolderTree(root / "tree"));

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

INSTANTIATE_TEST_SUITE_P(Servers, CliTlsServer, testing::Values("vsftpd", "pure-ftpd", "proftpd"),
                         [](const testing::TestParamInfo<const char*>& parameter) {
                             std::string name = parameter.param;
                             name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                             return name;
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

// Kill-and-resume soak: a download and an upload against vsftpd, korvalo-cli killed with
// SIGKILL several times at random offsets and started again each time, by the same
// command or by "korvalo-cli resume". Every new run must go on from the stored offset:
// its "resuming NAME from byte N" line names it, the destination never gets shorter
// than it, and the server moved no more than the rest from it (the last run exactly the
// rest). The result is byte-identical.
//
//   KORVALO_SOAK_MIB   size of the file in MiB (default 256); e.g. 1024 for a benchmark run
//   KORVALO_SOAK_SEED  the seed of the kill offsets (default: a random one; printed)
//
// Each run is slowed down by stopping the process (SIGSTOP/SIGCONT) so that it reaches its
// kill offset in about RUN_PACE, after the run has stored an offset of its own.

constexpr int SOAK_KILLS = 4;
constexpr auto RUN_PACE = std::chrono::milliseconds(1500);

std::uint64_t SoakBytes()
{
    const char* text = std::getenv("KORVALO_SOAK_MIB");
    const long long mib = text && *text ? std::atoll(text) : 256;
    return static_cast<std::uint64_t>(std::max(8LL, mib)) << 20;
}

std::uint64_t SoakSeed()
{
    if (const char* text = std::getenv("KORVALO_SOAK_SEED"); text && *text)
        return std::strtoull(text, nullptr, 10);
    return (static_cast<std::uint64_t>(std::random_device()()) << 32) | std::random_device()();
}

// A file of size pseudo-random bytes, written in pieces (it may be larger than memory).
void WriteRandomFile(const std::string& path, std::uint64_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<std::uint32_t> piece(1 << 18);
    for (std::uint64_t left = size; left > 0;) {
        for (std::uint32_t& word : piece)
            word = random();
        const std::uint64_t n = std::min<std::uint64_t>(left, piece.size() * sizeof(std::uint32_t));
        out.write(reinterpret_cast<const char*>(piece.data()), static_cast<std::streamsize>(n));
        left -= n;
    }
    ASSERT_TRUE(out.good()) << path;
}

// Empty when both files hold the same bytes, else where they first differ.
std::string CompareFiles(const std::string& expected, const std::string& actual)
{
    std::ifstream a(expected, std::ios::binary);
    std::ifstream b(actual, std::ios::binary);
    if (!a || !b)
        return "cannot open " + expected + " or " + actual;
    std::vector<char> x(1 << 20);
    std::vector<char> y(1 << 20);
    for (std::uint64_t at = 0;; at += static_cast<std::uint64_t>(a.gcount())) {
        a.read(x.data(), static_cast<std::streamsize>(x.size()));
        b.read(y.data(), static_cast<std::streamsize>(y.size()));
        if (a.gcount() != b.gcount())
            return "the sizes differ (within the piece at byte " + std::to_string(at) + ")";
        const auto n = static_cast<std::size_t>(a.gcount());
        if (n == 0)
            return {};
        if (std::memcmp(x.data(), y.data(), n) != 0) {
            const auto where = std::mismatch(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(n), y.begin());
            return "the bytes differ from byte " + std::to_string(at + static_cast<std::uint64_t>(where.first - x.begin()));
        }
    }
}

long long SizeOf(const std::string& path)
{
    std::error_code error;
    const std::uintmax_t size = fs::file_size(path, error);
    return error ? -1 : static_cast<long long>(size);
}

// The offset of the process's open descriptor of file (its read or write position), -1
// while it has none open.
long long OpenFilePosition(pid_t pid, const std::string& file)
{
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(fds, error)) {
        std::error_code ignored;
        if (fs::read_symlink(entry.path(), ignored) != file)
            continue;
        std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + entry.path().filename().string());
        std::string key;
        long long position = -1;
        if (info >> key >> position && key == "pos:")
            return position;
    }
    return -1;
}

struct SoakCase {
    const char* name;
    bool upload;
    // The runs (0 is the first, SOAK_KILLS the last) that are "korvalo-cli resume" instead
    // of the same command.
    std::vector<int> resumeRuns;
};

void PrintTo(const SoakCase& soak, std::ostream* out) { *out << soak.name; }

class CliKillSoak : public CliAgainstServer, public testing::WithParamInterface<SoakCase> {
protected:
    // One run of command. With a kill offset: paced by stopping it, so that its position
    // in the local file (localFile) moves from from to killAt in about RUN_PACE, and
    // killed once it is there and the run has stored an offset beyond from. Without one
    // (killAt < 0): left to its end.
    struct Run {
        bool killed = false;
        long long smallest = -1;   // the smallest size of the destination seen
        CliResult result;
    };
    Run RunOnce(const std::vector<std::string>& command, const std::string& localFile, const std::string& destination,
                const std::string& name, long long from, long long killAt)
    {
        Run run;
        const pid_t pid = cli.Start(command);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        const double perSecond =
            killAt < 0 ? 0 : static_cast<double>(killAt - from) / std::chrono::duration<double>(RUN_PACE).count();
        // The time the pace allows for: a pause of this test does not let the run rush.
        double paced = 0;
        auto last = std::chrono::steady_clock::now();
        // Over loopback a slice of a millisecond can move MiBs, and more once the sockets'
        // buffers (tens of MiB) have filled or drained while it was stopped: the file is
        // large against that. The slice is halved while it moves more than step and grown
        // while it moves much less; it stays long enough for the program's other threads
        // (progress reports, the periodic save) to run.
        const long long step = std::max(256LL << 10, (killAt - from) / 32);
        auto slice = std::chrono::microseconds(2000);
        long long stored = -1;
        const std::string file = fs::weakly_canonical(localFile).string();
        // A stop takes effect some time after the signal: wait until it has (or the
        // process has ended; its status is kept then).
        int status = 0;
        bool ended = false;
        auto stop = [&] {
            ::kill(pid, SIGSTOP);
            ended = ::waitpid(pid, &status, WUNTRACED) == pid && !WIFSTOPPED(status);
            return !ended;
        };
        auto kill = [&] {
            ::kill(pid, SIGKILL);
            ::kill(pid, SIGCONT);
            return cli.Wait(pid);
        };
        if (killAt >= 0)
            stop();
        for (;;) {
            const long long size = SizeOf(destination);
            if (size >= 0 && (run.smallest < 0 || size < run.smallest))
                run.smallest = size;
            if (ended || (killAt < 0 && ::waitpid(pid, &status, WNOHANG) == pid)) {
                // Ended by itself, and already reaped: what it wrote is read here.
                run.result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                run.result.out = ReadWholeFile(work / "cli.out");
                run.result.err = ReadWholeFile(work / "cli.err");
                break;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                run.result = kill();
                run.result.err += "(the run was killed after the time limit)\n";
                break;
            }
            if (killAt < 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            // Stopped here, so its position holds still while it is read.
            const long long position = OpenFilePosition(pid, file);
            if (position >= killAt && stored > from) {
                run.result = kill();
                run.killed = true;
                break;
            }
            const auto now = std::chrono::steady_clock::now();
            paced += std::min(0.02, std::chrono::duration<double>(now - last).count());
            last = now;
            if (position > from + static_cast<long long>(perSecond * paced)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            ::kill(pid, SIGCONT);
            // Its database is read only while it runs: a reader can wait seconds for a
            // lock that a stopped writer holds.
            if (position >= killAt)
                stored = StoredOffset(cli.Home(), name);
            std::this_thread::sleep_for(slice);
            if (!stop())
                continue;
            const long long moved = position < 0 ? -1 : OpenFilePosition(pid, file) - position;
            if (moved > step)
                slice = std::max(std::chrono::microseconds(1000), slice / 2);
            else if (moved >= 0 && moved < step / 4)
                slice = std::min(std::chrono::microseconds(20000), slice * 3 / 2);
        }
        return run;
    }
    // The byte counts of the transfers of name that vsftpd has logged, in their order (a
    // download cut off is logged as failed, an upload cut off as complete).
    std::vector<long long> ServerTransfers(const std::string& name) const
    {
        std::vector<long long> counts;
        std::istringstream log(ReadWholeFile(server.StateDir() + "/vsftpd.log"));
        for (std::string line; std::getline(log, line);) {
            const std::string file = "/" + name + "\", ";
            const std::size_t at = line.find(file);
            if (at == std::string::npos ||
                (line.find(" DOWNLOAD: ") == std::string::npos && line.find(" UPLOAD: ") == std::string::npos))
                continue;
            counts.push_back(std::atoll(line.c_str() + at + file.size()));
        }
        return counts;
    }
};

TEST_P(CliKillSoak, KilledRunsResumeFromTheStoredOffsetToAnIdenticalFile)
{
    const SoakCase& soak = GetParam();
    if (!StartServer("vsftpd", false))
        GTEST_SKIP() << m_skip;
    const std::uint64_t size = SoakBytes();
    const std::uint64_t seed = SoakSeed();
    std::cout << "soak " << soak.name << ": " << (size >> 20) << " MiB, KORVALO_SOAK_SEED=" << seed << std::endl;
    SCOPED_TRACE("KORVALO_SOAK_SEED=" + std::to_string(seed));
    std::mt19937_64 random(seed);

    const std::string name = std::string("soak-") + soak.name + ".bin";
    const std::string source = soak.upload ? Local(name) : root / name;
    const std::string destination = soak.upload ? root / ("in/" + name) : Local(name);
    WriteRandomFile(source, size, static_cast<unsigned>(seed));
    const std::vector<std::string> command =
        soak.upload ? std::vector<std::string>{"-q", "put", source, Url("/in/")}
                    : std::vector<std::string>{"-q", "get", Url("/" + name), Local()};
    const std::vector<std::string> resume = {"-q", "resume"};
    const std::string logPath = cli.Home() + "/Data/Logs/" + name + ".log";

    long long stored = 0;   // the offset stored when the last run was killed
    std::vector<long long> starts;
    for (int runIndex = 0; runIndex <= SOAK_KILLS; ++runIndex) {
        const bool last = runIndex == SOAK_KILLS;
        const bool byResume = std::find(soak.resumeRuns.begin(), soak.resumeRuns.end(), runIndex) != soak.resumeRuns.end();
        // The kill offset: a random share of the rest, so that every run has some left.
        const long long rest = static_cast<long long>(size) - stored;
        const double share = std::uniform_real_distribution<double>(0.4, 1.0)(random) / (SOAK_KILLS - runIndex + 1);
        const long long killAt = last ? -1 : stored + std::max(1LL << 20, static_cast<long long>(share * static_cast<double>(rest)));
        SCOPED_TRACE("run " + std::to_string(runIndex) + (byResume ? " (resume)" : "") + " from " + std::to_string(stored) +
                     ", kill at " + std::to_string(killAt));
        const long long logBefore = std::max(0LL, SizeOf(logPath));

        starts.push_back(stored);
        Run run = RunOnce(byResume ? resume : command, Local(name), destination, name, stored, killAt);
        std::string log = ReadWholeFile(logPath);
        log.erase(0, std::min(log.size(), static_cast<std::size_t>(logBefore)));
        if (runIndex > 0) {
            // Started again from the stored offset, not from zero.
            EXPECT_GE(run.smallest, stored) << "the destination shrank below the stored offset\n" << run.result.All();
            if (!byResume) {
                const std::string line = "resuming " + name + " from byte " + std::to_string(stored) + "\n";
                EXPECT_NE(run.result.err.find(line), std::string::npos) << run.result.All();
            }
        }
        // On a slow build (sanitizers) a run can reach the end before its kill point; after
        // at least one kill, such a run is the last one.
        const bool finishedEarly = !last && runIndex > 0 && !run.killed && run.result.status == 0;
        if (last || finishedEarly) {
            ASSERT_FALSE(run.killed);
            ASSERT_EQ(run.result.status, 0) << run.result.All() << log;
            if (finishedEarly)
                std::cout << "  run " << runIndex << " finished before its kill point" << std::endl;
            break;
        }
        ASSERT_TRUE(run.killed) << "the run ended before it could be killed\n" << run.result.All() << log
                                 << ReadWholeFile(server.StateDir() + "/vsftpd.log");
        ASSERT_EQ(run.result.status, 128 + SIGKILL) << run.result.All();
        const long long now = StoredOffset(cli.Home(), name);
        ASSERT_GT(now, stored) << "the run stored no offset of its own";
        ASSERT_LT(now, static_cast<long long>(size));
        // What the offset counts has reached the destination (the server writes the last
        // of an upload soon after the connection has been cut).
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (SizeOf(destination) < now && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_GE(SizeOf(destination), now) << "the stored offset is beyond the bytes that arrived";
        std::cout << "  run " << runIndex << (byResume ? " (resume)" : "") << " killed at stored offset " << now
                  << " (destination " << SizeOf(destination) << " bytes)" << std::endl;
        stored = now;
    }
    EXPECT_EQ(CompareFiles(source, destination), "");

    // Nothing unfinished is left: a further "resume" transfers nothing again.
    const auto written = fs::last_write_time(destination);
    CliResult again = cli.Run(resume);
    EXPECT_EQ(again.status, 0) << again.All();
    EXPECT_EQ(fs::last_write_time(destination), written);
    CliResult list = cli.Run({"list"});
    EXPECT_NE(list.out.find("100%"), std::string::npos) << list.All();

    // The server's side: one transfer per run, none after the end; each moved at most
    // what was left from its start, and the last exactly that.
    const std::vector<long long> moved = ServerTransfers(name);
    const std::string serverLog = ReadWholeFile(server.StateDir() + "/vsftpd.log");
    ASSERT_EQ(moved.size(), starts.size()) << serverLog;
    for (std::size_t i = 0; i < moved.size(); ++i)
        EXPECT_LE(moved[i], static_cast<long long>(size) - starts[i]) << "run " << i << "\n" << serverLog;
    EXPECT_EQ(moved.back(), static_cast<long long>(size) - starts.back()) << serverLog;
}

INSTANTIATE_TEST_SUITE_P(Directions, CliKillSoak,
                         testing::Values(SoakCase{"download", false, {SOAK_KILLS}}, SoakCase{"upload", true, {2}}),
                         [](const testing::TestParamInfo<SoakCase>& parameter) { return std::string(parameter.param.name); });

}  // namespace
