// A writer killed at a random moment leaves a database that opens as it is and holds
// every row it had reported committed.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>

#include "support/temp_folder.h"
#include "transfers/transfer_database.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// The child's output, read as it comes.
class ChildOutput {
public:
    explicit ChildOutput(int fd) : m_fd(fd) {}
    ~ChildOutput() { close(m_fd); }
    ChildOutput(const ChildOutput&) = delete;
    ChildOutput& operator=(const ChildOutput&) = delete;

    // Reads until the deadline, or until the first complete line when untilLine is set,
    // or until the end of the output. False at the end of the output.
    bool ReadUntil(Clock::time_point deadline, bool untilLine = false)
    {
        while (!(untilLine && m_text.find('\n') != std::string::npos)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return true;
            pollfd poller{m_fd, POLLIN, 0};
            if (poll(&poller, 1, static_cast<int>(left)) <= 0)
                continue;
            char buffer[4096];
            const ssize_t got = read(m_fd, buffer, sizeof buffer);
            if (got <= 0)
                return false;
            m_text.append(buffer, static_cast<std::size_t>(got));
        }
        return true;
    }

    // The last number on a complete line, or 0.
    long LastNumber() const
    {
        const std::size_t end = m_text.rfind('\n');
        if (end == std::string::npos)
            return 0;
        const std::size_t previous = end == 0 ? std::string::npos : m_text.rfind('\n', end - 1);
        const std::size_t begin = previous == std::string::npos ? 0 : previous + 1;
        return std::stol(m_text.substr(begin, end - begin));
    }

private:
    int m_fd;
    std::string m_text;
};

std::string IntegrityCheck(sqlite3* db)
{
    sqlite3_stmt* statement = nullptr;
    std::string result = "no result";
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW)
        result = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    sqlite3_finalize(statement);
    return result;
}

}  // namespace

TEST(TransferDatabaseKill, KilledWriterLosesNoCommittedRow)
{
    testsupport::TempFolder folder;
    const std::string path = folder / "Info.mdb";
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> killAfterMs(5, 250);

    long stored = 0;   // rows in the file, numbered 1..stored
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        int pipeFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
        const std::string first = std::to_string(stored + 1);
        char* const arguments[] = {const_cast<char*>("db_kill_child"), const_cast<char*>(path.c_str()),
                                   const_cast<char*>(first.c_str()), nullptr};
        pid_t child = 0;
        const int spawned = posix_spawn(&child, KORVALO_DB_KILL_CHILD, &actions, nullptr, arguments, environ);
        posix_spawn_file_actions_destroy(&actions);
        close(pipeFds[1]);
        ChildOutput output(pipeFds[0]);
        ASSERT_EQ(spawned, 0) << KORVALO_DB_KILL_CHILD;

        const bool running = output.ReadUntil(Clock::now() + std::chrono::seconds(10), true);
        {
            // Another process reads while the child writes.
            CTransferDatabase reader;
            CTransferRecordArray rows;
            EXPECT_TRUE(reader.Open(path));
            EXPECT_TRUE(reader.LoadRecords(ETransferTable::Transfers, rows)) << reader.Error();
        }
        if (running)
            output.ReadUntil(Clock::now() + std::chrono::milliseconds(killAfterMs(random)));
        kill(child, SIGKILL);
        while (output.ReadUntil(Clock::now() + std::chrono::seconds(10))) {
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended by itself, status " << status;

        const long reported = output.LastNumber();
        ASSERT_GT(reported, stored) << "the child committed nothing";

        CTransferDatabase db;
        ASSERT_TRUE(db.Open(path)) << db.Error();
        EXPECT_TRUE(db.SetAsidePath().empty());
        EXPECT_EQ(IntegrityCheck(db.Handle()), "ok");
        CTransferRecordArray rows;
        ASSERT_TRUE(db.LoadRecords(ETransferTable::Transfers, rows));
        // Every reported row, and at most the one whose report the kill cut off.
        ASSERT_GE(static_cast<long>(rows.GetSize()), reported);
        ASSERT_LE(static_cast<long>(rows.GetSize()), reported + 1);
        for (std::size_t i = 0; i < rows.GetSize(); ++i)
            ASSERT_EQ(rows[i].nGlobalFileIndex, static_cast<std::int32_t>(i + 1));
        stored = static_cast<long>(rows.GetSize());
    }
}
