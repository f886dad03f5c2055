#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <thread>
#include <vector>

#include "app/logging.h"
#include "app/vexo_app.h"
#include "platform/window_table.h"
#include "support/temp_folder.h"
#include "transfers/transfer_record.h"

namespace fs = std::filesystem;

namespace {

const std::regex STAMP(R"(\. TIME=(\d+)/(\d+)/(\d{4})   (\d+):(\d+)  (\d+)\r\n$)");

class Logging : public testing::Test {
protected:
    void SetUp() override
    {
        app.m_csLogsDir = folder.Path() + "/";
    }
    std::string Log(const std::string& name) { return testsupport::ReadWholeFile(folder / name); }

    testsupport::TempFolder folder;
    CVexoApp app{"/nonexistent/korvalo", platform::Registry("/nonexistent/registry")};
};

class LogList : public platform::WindowTarget {
public:
    platform::LRESULT WindowProc(platform::Message& msg) override
    {
        if (auto* row = msg.PayloadAs<LogRowPayload>())
            rows.push_back(row->m_csSource + "|" + row->m_csText);
        return 0;
    }
    std::vector<std::string> rows;
};

}  // namespace

TEST_F(Logging, LineCarriesTheTextAndALocalTimeStampWithoutLeadingZeros)
{
    ASSERT_TRUE(WriteLogLine("Close socket hSocket=7", "Korvalo.log"));
    ASSERT_TRUE(WriteLogLine("two\r\nlines", "Korvalo.log"));
    const std::string log = Log("Korvalo.log");
    std::smatch match;
    const std::string first = log.substr(0, log.find("\r\n") + 2);
    ASSERT_TRUE(std::regex_search(first, match, STAMP)) << first;
    EXPECT_EQ(first.rfind("Close socket hSocket=7. TIME=", 0), 0u);
    for (int i = 1; i <= 6; ++i)
        EXPECT_TRUE(match[i].str() == "0" || match[i].str()[0] != '0') << match[i].str();
    EXPECT_NE(log.find("two\r\nlines. TIME="), std::string::npos);
}

TEST_F(Logging, AFileOverTheLimitIsEmptiedBeforeTheNextLine)
{
    testsupport::WriteWholeFile(folder / "big.log", std::string(1000001, 'x'));
    ASSERT_TRUE(WriteLogLine("fresh", "big.log"));
    const std::string log = Log("big.log");
    EXPECT_EQ(log.rfind("fresh. TIME=", 0), 0u);
    EXPECT_LT(log.size(), 100u);

    testsupport::WriteWholeFile(folder / "full.log", std::string(1000000, 'x'));
    ASSERT_TRUE(WriteLogLine("kept", "full.log"));
    EXPECT_GT(Log("full.log").size(), 1000000u) << "exactly the limit is not over it";
}

TEST_F(Logging, AnOverlongLineIsCutButTheFileStaysLineByLine)
{
    ASSERT_TRUE(WriteLogLine(std::string(20000, 'a') + "\xC3\xA9", "long.log"));
    ASSERT_TRUE(WriteLogLine("next", "long.log"));
    const std::string log = Log("long.log");
    const std::size_t firstEnd = log.find("\r\n");
    EXPECT_EQ(firstEnd + 2, 9999u);
    EXPECT_EQ(log.substr(firstEnd + 2).rfind("next. TIME=", 0), 0u);
}

TEST_F(Logging, LinesFromManyThreadsStayWhole)
{
    constexpr int THREADS = 4, LINES = 250;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < LINES; ++i)
                WriteLogLine("thread " + std::to_string(t) + " " + std::string(200, 'a' + t), "shared.log");
        });
    for (auto& thread : threads)
        thread.join();
    const std::string log = Log("shared.log");
    const std::regex line(R"(thread (\d) (a+|b+|c+|d+)\. TIME=[^\r]+\r\n)");
    int whole = 0;
    for (std::sregex_iterator it(log.begin(), log.end(), line), end; it != end; ++it) {
        EXPECT_EQ((*it)[2].length(), 200);
        ++whole;
    }
    EXPECT_EQ(whole, THREADS * LINES);
}

TEST_F(Logging, TransferLogNamesNeverLeaveTheLogsFolder)
{
    CTransferRecord record;
    for (const char* name : {"movie.avi", "../escape", "a/b", "..", ""}) {
        record.csFileName = name;
        ASSERT_TRUE(AddTransferLog(record, "Start resume")) << name;
    }
    EXPECT_TRUE(fs::exists(folder / "movie.avi.log"));
    EXPECT_TRUE(fs::exists(folder / ".._escape.log"));
    EXPECT_TRUE(fs::exists(folder / "a_b.log"));
    EXPECT_FALSE(fs::exists(fs::path(folder.Path()).parent_path() / "escape.log"));
    int files = 0;
    for (const auto& entry : fs::directory_iterator(folder.Path())) {
        EXPECT_TRUE(entry.is_regular_file()) << entry.path();
        ++files;
    }
    EXPECT_EQ(files, 5);
}

TEST_F(Logging, LogWindowShowsOnlyCompleteLines)
{
    platform::SetUiThread();
    LogList list;
    EXPECT_FALSE(AddToLogWindow("no window yet\r\n", "FTP"));
    app.m_hwndLogWindow = platform::RegisterWindow(&list);

    EXPECT_FALSE(AddToLogWindow("no line end", "FTP"));
    EXPECT_TRUE(AddToLogWindow("USER tester\r\n331 Please specify the password.\r\nrest without end", "FTP"));
    EXPECT_EQ(list.rows, (std::vector<std::string>{"FTP|USER tester", "FTP|331 Please specify the password."}));

    // From a worker the rows travel through the 1000 ms send.
    std::thread worker([] { AddToLogWindow("PASS [hidden]\r\n", "Worker"); });
    while (list.rows.size() < 3) {
        platform::WaitForUiWork(1000);
        platform::DispatchPendingSends();
    }
    worker.join();
    EXPECT_EQ(list.rows.back(), "Worker|PASS [hidden]");

    app.m_bClosing = true;
    EXPECT_FALSE(AddToLogWindow("while closing\r\n", "FTP"));
    platform::UnregisterWindow(app.m_hwndLogWindow);
}
