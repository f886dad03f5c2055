#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "app/app_host.h"
#include "app/main_frame.h"
#include "app/update_key.h"
#include "app/vexo_app.h"
#include "platform/system.h"
#include "platform/window_table.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;
using platform::Registry;

namespace {

class RecordingHost : public CAppHost {
public:
    void FatalError(const std::string& text) override { fatal = text; }
    std::string fatal;
};

std::vector<std::string> TableNames(const std::string& databasePath)
{
    sqlite3* db = nullptr;
    std::vector<std::string> names;
    if (sqlite3_open_v2(databasePath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite_%' ORDER BY name",
                           -1, &statement, nullptr);
        while (statement && sqlite3_step(statement) == SQLITE_ROW)
            names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return names;
}

long CountRows(const std::string& databasePath)
{
    sqlite3* db = nullptr;
    long rows = -1;
    if (sqlite3_open_v2(databasePath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM Transfers", -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            rows = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return rows;
}

class AppStart : public testing::Test {
protected:
    void SetUp() override
    {
        platform::SetUiThread();
        platform::ResetQuit();
        programFolder = folder / "program";
        fs::create_directories(programFolder);
        programPath = programFolder + "/korvalo";
        registryPath = folder / "registry";
        originalFolder = fs::current_path().string();
    }
    void TearDown() override
    {
        fs::current_path(originalFolder);
        platform::ResetQuit();
    }

    testsupport::TempFolder folder;
    std::string programFolder, programPath, registryPath, originalFolder;
};

}  // namespace

TEST_F(AppStart, FirstStartMakesTheFoldersDatabaseAndRegistryValuesBelowTheProgramFolder)
{
    // Started from another folder: everything still lands beside the program.
    fs::current_path(folder.Path());
    const std::uint64_t before = platform::FileTimeNow();
    {
        CVexoApp app(programPath, Registry(registryPath));
        RecordingHost host;
        ASSERT_TRUE(app.InitInstance(host));
        EXPECT_EQ(GetApp(), &app);
        EXPECT_EQ(app.m_csWorkingFolder, programFolder + "/");
        EXPECT_EQ(fs::current_path().string(), programFolder);
        EXPECT_EQ(app.m_csDataDir, programFolder + "/Data/");
        EXPECT_EQ(app.m_csLogsDir, programFolder + "/Data/Logs/");
        EXPECT_EQ(app.m_csUpdateDir, programFolder + "/Data/Update/");
        EXPECT_EQ(app.m_csTempDir, programFolder + "/TEMP/");
        EXPECT_FALSE(app.m_bUpdateDue);
        EXPECT_EQ(app.ExitInstance(0), 0);
    }
    for (const char* sub : {"Data", "Data/Logs", "Data/Update", "TEMP"})
        EXPECT_TRUE(fs::is_directory(programFolder + "/" + sub)) << sub;
    EXPECT_EQ(TableNames(programFolder + "/Data/Info.mdb"), (std::vector<std::string>{"Find_Result", "Transfers"}));

    Registry registry(registryPath);
    EXPECT_EQ(registry.GetString(PROGRAM_KEY, "ExePath"), programPath);
    for (const char* name : {"Data", "Updated"}) {
        std::uint64_t stamp = 0;
        auto bytes = registry.GetBinary(UPDATE_KEY, name);
        ASSERT_TRUE(bytes && platform::FileTimeFromBytes(*bytes, stamp)) << name;
        EXPECT_GE(stamp, before);
        EXPECT_LE(stamp, platform::FileTimeNow());
    }
    EXPECT_EQ(GetApp(), nullptr);
}

TEST_F(AppStart, SecondStartKeepsDataAndAnExistingExePath)
{
    Registry(registryPath).SetString(PROGRAM_KEY, "ExePath", "/elsewhere/korvalo");
    fs::create_directories(programFolder + "/TEMP/empty/deeper");
    fs::create_directories(programFolder + "/TEMP/kept/empty");
    testsupport::WriteWholeFile(programFolder + "/TEMP/kept/file.part", "partial");
    for (int start = 0; start < 2; ++start) {
        CVexoApp app(programPath, Registry(registryPath));
        RecordingHost host;
        ASSERT_TRUE(app.InitInstance(host)) << "start " << start;
        if (start == 0) {
            CTransferRecord record;
            record.csFileName = "kept.bin";
            ASSERT_TRUE(app.MainFrame()->m_database.InsertRecord(ETransferTable::Transfers, record));
        }
        app.ExitInstance(0);
    }
    EXPECT_EQ(Registry(registryPath).GetString(PROGRAM_KEY, "ExePath"), "/elsewhere/korvalo");
    EXPECT_EQ(CountRows(programFolder + "/Data/Info.mdb"), 1);
    // Empty sub-folders of TEMP go; one holding a file stays with its parents.
    EXPECT_FALSE(fs::exists(programFolder + "/TEMP/empty"));
    EXPECT_FALSE(fs::exists(programFolder + "/TEMP/kept/empty"));
    EXPECT_EQ(testsupport::ReadWholeFile(programFolder + "/TEMP/kept/file.part"), "partial");
}

TEST_F(AppStart, ADatabaseThatCannotBeCreatedEndsTheStartWithTheFatalMessage)
{
    testsupport::WriteWholeFile(programFolder + "/Data", "a file where the folder belongs");
    CVexoApp app(programPath, Registry(registryPath));
    RecordingHost host;
    EXPECT_FALSE(app.InitInstance(host));
    EXPECT_EQ(host.fatal, "Fatal error: could not open program's database.");
    app.ExitInstance(0);
}

TEST_F(AppStart, TwoInstancesAtOnceShareTheLogAndTheDatabase)
{
    constexpr int COUNT = 200;
    pid_t children[2];
    for (pid_t& child : children) {
        child = fork();
        if (child == 0) {
            execl(APP_INSTANCE_CHILD, APP_INSTANCE_CHILD, programPath.c_str(), registryPath.c_str(),
                  std::to_string(COUNT).c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    EXPECT_EQ(CountRows(programFolder + "/Data/Info.mdb"), 2 * COUNT);

    const std::string log = testsupport::ReadWholeFile(programFolder + "/Data/Logs/Korvalo.log");
    const std::regex line(R"(instance \d+ line \d+\. TIME=\d+/\d+/\d+   \d+:\d+  \d+\r\n)");
    int whole = 0;
    for (std::sregex_iterator it(log.begin(), log.end(), line), end; it != end; ++it)
        ++whole;
    EXPECT_EQ(whole, 2 * COUNT);
}

TEST(UpdateDue, TenDaysAfterTheLastOfferIsNotYetDueOneUnitLaterIs)
{
    testsupport::TempFolder folder;
    Registry registry(folder / "registry");
    const std::uint64_t offer = 133000000000000000ULL;
    EXPECT_FALSE(IsUpdateDueAt(registry, offer)) << "a created key is not due";
    struct Case {
        std::uint64_t now;
        bool due;
    } cases[] = {
        {offer, false},
        {offer + UPDATE_INTERVAL, false},
        {offer + UPDATE_INTERVAL + 1, true},
        {offer - 1, true},   // the clock was set back
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsUpdateDueAt(registry, c.now), c.due) << c.now - offer;
    EXPECT_EQ(UPDATE_INTERVAL, 0x7DBA8218000ULL);
}
