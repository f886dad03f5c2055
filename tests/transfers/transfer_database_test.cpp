#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>
#include <vector>

#include "support/temp_folder.h"
#include "transfers/record_fixtures.h"
#include "transfers/transfer_database.h"

using testsupport::ReadWholeFile;
using testsupport::TempFolder;
using testsupport::WriteWholeFile;
using transfertest::EveryFieldSet;
using transfertest::ExpectSameStoredFields;
using transfertest::ExtremeValues;

namespace {

namespace fs = std::filesystem;

const ETransferTable BOTH_TABLES[] = {ETransferTable::Transfers, ETransferTable::FindResult};

std::vector<std::string> ColumnsOf(sqlite3* db, const std::string& table)
{
    std::vector<std::string> names;
    sqlite3_stmt* statement = nullptr;
    const std::string sql = "PRAGMA table_info(" + table + ")";
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK) {
        while (sqlite3_step(statement) == SQLITE_ROW)
            names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, 1)));
    }
    sqlite3_finalize(statement);
    return names;
}

std::vector<std::string> SplitList(const std::string& list)
{
    std::vector<std::string> names;
    std::stringstream in(list);
    std::string name;
    while (std::getline(in, name, ','))
        names.push_back(name.substr(name.find_first_not_of(' ')));
    return names;
}

std::vector<std::string> FilesStartingWith(const std::string& folder, const std::string& prefix)
{
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0)
            found.push_back(entry.path().string());
    }
    return found;
}

std::vector<std::string> LoadedNames(CTransferDatabase& db, ETransferTable table)
{
    CTransferRecordArray rows;
    EXPECT_TRUE(db.LoadRecords(table, rows));
    std::vector<std::string> names;
    for (const CTransferRecord& row : rows)
        names.push_back(row.csFileName);
    return names;
}

class TransferDatabaseTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_db.OpenDatabase(m_folder.Path())) << m_db.Error(); }

    std::string DataFolder() const { return m_folder / "Data"; }

    TempFolder m_folder;
    CTransferDatabase m_db;
};

}  // namespace

TEST_F(TransferDatabaseTest, FirstOpenCreatesTheFileAndBothTablesWithTheirColumns)
{
    EXPECT_TRUE(fs::exists(DataFolder() + "/Info.mdb"));
    EXPECT_EQ(m_db.Path(), DataFolder() + "/Info.mdb");
    EXPECT_TRUE(m_db.SetAsidePath().empty());
    // It holds passwords, so only its owner may read it.
    for (const char* suffix : {"", "-wal"}) {
        EXPECT_EQ(fs::status(m_db.Path() + suffix).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write)
            << suffix;
    }

    std::vector<std::string> expected = SplitList(
        "bDeleted, bDownloadToTemp, bGnutGroupMember, bUpload, csAddress, csDestinAddress, csDestinProtocol, "
        "csDownloadTo, csExBlock, FtpAttributes, csFileName, csFindQuery, csFolder, csFullFromAddress, "
        "csHostAddress, csHostPort, csModified, csPassword, csPasswordSource, csProtocol, csRealDownloadTo, "
        "csOldSource, csUser, csUserSource, dwCurrentGroupIndex, dwDownloaded, dwFileIndex, qwFileSize, "
        "dwFindListIndex, dwMinSize, dwMaxSize, dwParentFolder, dwTransfersIndex, dwTryConnecting, ipGlobalIndex, "
        "nDay, nDestinPort, nFileNumber, nFolderAction, nGlobalFileIndex, nHour, nLoadFlag, nMin, nMonth, "
        "nTransfersState, nYar, bSsl, nKey");
    ASSERT_EQ(expected.size(), 48u);
    EXPECT_EQ(ColumnsOf(m_db.Handle(), "Transfers"), expected);
    EXPECT_EQ(ColumnsOf(m_db.Handle(), "Find_Result"), expected);

    for (ETransferTable table : BOTH_TABLES)
        EXPECT_TRUE(LoadedNames(m_db, table).empty());

    // Opening again, tables and all, keeps what is stored.
    ASSERT_TRUE(m_db.InsertRecord(ETransferTable::Transfers, EveryFieldSet()));
    CTransferDatabase again;
    ASSERT_TRUE(again.OpenDatabase(m_folder.Path()));
    EXPECT_EQ(LoadedNames(again, ETransferTable::Transfers).size(), 1u);
}

TEST_F(TransferDatabaseTest, EveryStoredFieldRoundTripsInBothTables)
{
    CTransferRecord defaults;
    CTransferRecord withWorkingFields = EveryFieldSet();
    withWorkingFields.m_csStatusText = "Running";
    withWorkingFields.m_dwSpeed = 1000;
    withWorkingFields.m_nSocketKey = 3;
    withWorkingFields.m_dwWorkerThreadId = 9;
    withWorkingFields.m_hwndLocalPane = 5;
    withWorkingFields.m_bExactPhrase = 1;
    withWorkingFields.m_nResultKey = 44;
    withWorkingFields.m_csQueryString = "/get/1/x";
    withWorkingFields.m_csOwner = "anna";
    const std::vector<CTransferRecord> records = {withWorkingFields, ExtremeValues(), defaults};

    for (ETransferTable table : BOTH_TABLES) {
        SCOPED_TRACE(TransferTableName(table));
        for (const CTransferRecord& r : records)
            ASSERT_TRUE(m_db.InsertRecord(table, r)) << m_db.Error();

        CTransferRecordArray loaded;
        ASSERT_TRUE(m_db.LoadRecords(table, loaded));
        ASSERT_EQ(loaded.GetSize(), records.size());
        for (std::size_t i = 0; i < records.size(); ++i) {
            SCOPED_TRACE("record " + std::to_string(i));
            ExpectSameStoredFields(records[i], loaded[i]);
            // Working fields are not stored: they come back as a new record has them.
            EXPECT_EQ(loaded[i].m_csStatusText, defaults.m_csStatusText);
            EXPECT_EQ(loaded[i].m_dwSpeed, defaults.m_dwSpeed);
            EXPECT_EQ(loaded[i].m_nSocketKey, defaults.m_nSocketKey);
            EXPECT_EQ(loaded[i].m_dwWorkerThreadId, defaults.m_dwWorkerThreadId);
            EXPECT_EQ(loaded[i].m_hwndLocalPane, defaults.m_hwndLocalPane);
            EXPECT_EQ(loaded[i].m_bExactPhrase, defaults.m_bExactPhrase);
            EXPECT_EQ(loaded[i].m_nResultKey, defaults.m_nResultKey);
            EXPECT_EQ(loaded[i].m_csQueryString, defaults.m_csQueryString);
            EXPECT_EQ(loaded[i].m_csOwner, defaults.m_csOwner);
        }
    }

    // The sizes are whole 64-bit values in the file itself, not only after the round trip.
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(m_db.Handle(), "SELECT qwFileSize, dwDownloaded FROM Transfers ORDER BY nKey", -1,
                                 &statement, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int64(statement, 0), static_cast<sqlite3_int64>(EveryFieldSet().qwFileSize));
    EXPECT_EQ(sqlite3_column_int64(statement, 1), static_cast<sqlite3_int64>(EveryFieldSet().dwDownloaded));
    sqlite3_finalize(statement);
}

TEST_F(TransferDatabaseTest, RowsComeBackInInsertionOrderAndKeysAreNeverReused)
{
    std::int64_t firstKey = 0;
    std::int64_t key = 0;
    for (const char* name : {"z", "a", "m"}) {
        CTransferRecord r;
        r.csFileName = name;
        ASSERT_TRUE(m_db.InsertRecord(ETransferTable::Transfers, r, &key));
        if (firstKey == 0)
            firstKey = key;
    }
    EXPECT_EQ(LoadedNames(m_db, ETransferTable::Transfers), (std::vector<std::string>{"z", "a", "m"}));

    ASSERT_TRUE(m_db.DeleteAll(ETransferTable::Transfers));
    std::int64_t afterDelete = 0;
    ASSERT_TRUE(m_db.InsertRecord(ETransferTable::Transfers, CTransferRecord(), &afterDelete));
    EXPECT_GT(afterDelete, key);
    EXPECT_GT(key, firstKey);
}

TEST_F(TransferDatabaseTest, CopyRecordFromRecordsetReadsByColumnName)
{
    ASSERT_TRUE(m_db.InsertRecord(ETransferTable::FindResult, ExtremeValues()));

    // Columns in another order than the table's, plus one that is not a record field.
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(m_db.Handle(), "SELECT nKey, bSsl, csFileName, * FROM Find_Result", -1, &statement,
                                 nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    CTransferRecord record;
    EXPECT_TRUE(CopyRecordFromRecordset(statement, record));
    ExpectSameStoredFields(ExtremeValues(), record);
    sqlite3_finalize(statement);

    // A row without all 47 columns is refused.
    ASSERT_EQ(sqlite3_prepare_v2(m_db.Handle(), "SELECT csFileName, csAddress FROM Find_Result", -1, &statement,
                                 nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    EXPECT_FALSE(CopyRecordFromRecordset(statement, record));
    sqlite3_finalize(statement);
}

TEST_F(TransferDatabaseTest, DuplicateTestComparesTheThreeValuesExactly)
{
    CTransferRecord stored;
    stored.csAddress = "10.0.0.1:6346";
    stored.csExBlock = "urn:sha1:ABC";
    stored.csFileName = "Don't Stop.mp3";
    ASSERT_TRUE(m_db.InsertRecord(ETransferTable::FindResult, stored));

    struct Case {
        const char* address;
        const char* exBlock;
        const char* fileName;
        bool found;
    };
    const Case cases[] = {
        {"10.0.0.1:6346", "urn:sha1:ABC", "Don't Stop.mp3", true},
        {"10.0.0.1:6346", "urn:sha1:ABC", "don't stop.mp3", false},
        {"10.0.0.1:6346", "urn:sha1:ABC", "Don''t Stop.mp3", false},
        {"10.0.0.2:6346", "urn:sha1:ABC", "Don't Stop.mp3", false},
        {"10.0.0.1:6346", "", "Don't Stop.mp3", false},
        {"10.0.0.1:6346", "urn:sha1:ABC' OR '1'='1", "Don't Stop.mp3", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(m_db.HasDuplicate(ETransferTable::FindResult, c.address, c.exBlock, c.fileName), c.found)
            << c.address << " " << c.exBlock << " " << c.fileName;
    }
    EXPECT_FALSE(m_db.HasDuplicate(ETransferTable::Transfers, stored.csAddress, stored.csExBlock, stored.csFileName));
}

TEST_F(TransferDatabaseTest, DeleteTransferWithoutExtensionBlock)
{
    auto row = [](const char* name, const char* address, const char* to, const char* realTo) {
        CTransferRecord r = transfertest::Row(name, to, realTo);
        r.csAddress = address;
        return r;
    };
    const CTransferRecord target = row("It's.txt", "ftp.example.org", "/tmp/TEMP/", "/home/a/");
    const std::vector<CTransferRecord> rows = {
        target,
        row("It's.txt", "ftp.example.org", "/elsewhere/", "/home/a/"),   // other temp folder, same final place
        row("It's.txt", "ftp.example.org", "/tmp/TEMP/", "/other/"),     // same temp folder
        row("It's.txt", "ftp.example.org", "/x/", "/y/"),                // other destination
        row("It's.txt", "ftp.other.org", "/tmp/TEMP/", "/home/a/"),      // other source
        row("Its.txt", "ftp.example.org", "/tmp/TEMP/", "/home/a/"),     // other name
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        CTransferRecord r = rows[i];
        r.csFolder = std::to_string(i);
        ASSERT_TRUE(m_db.InsertRecord(ETransferTable::Transfers, r));
    }

    std::size_t deleted = 0;
    ASSERT_TRUE(m_db.DeleteTransfer(ETransferTable::Transfers, target, &deleted));
    EXPECT_EQ(deleted, 3u);
    CTransferRecordArray left;
    ASSERT_TRUE(m_db.LoadRecords(ETransferTable::Transfers, left));
    std::string folders;
    for (const CTransferRecord& r : left)
        folders += r.csFolder;
    EXPECT_EQ(folders, "345");
}

TEST_F(TransferDatabaseTest, DeleteTransferWithExtensionBlock)
{
    auto row = [](const char* query, const char* exBlock, const char* to, const char* realTo) {
        CTransferRecord r = transfertest::Row("song.mp3", to, realTo, exBlock);
        r.csFindQuery = query;
        r.csAddress = "1.2.3.4:6346";
        return r;
    };
    const CTransferRecord target = row("rock 'n' roll", "urn:sha1:AAA", "/tmp/TEMP/", "/music/");
    const std::vector<CTransferRecord> rows = {
        target,
        row("rock 'n' roll", "urn:sha1:AAA", "/x/", "/music/"),         // same final place
        row("rock 'n' roll", "urn:sha1:AAA", "/x/", "/y/"),             // other destination
        row("rock 'n' roll", "urn:sha1:BBB", "/tmp/TEMP/", "/music/"),  // other file
        row("jazz", "urn:sha1:AAA", "/tmp/TEMP/", "/music/"),           // other search
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        CTransferRecord r = rows[i];
        r.csFolder = std::to_string(i);
        ASSERT_TRUE(m_db.InsertRecord(ETransferTable::Transfers, r));
    }

    std::size_t deleted = 0;
    ASSERT_TRUE(m_db.DeleteTransfer(ETransferTable::Transfers, target, &deleted));
    EXPECT_EQ(deleted, 2u);
    CTransferRecordArray left;
    ASSERT_TRUE(m_db.LoadRecords(ETransferTable::Transfers, left));
    std::string folders;
    for (const CTransferRecord& r : left)
        folders += r.csFolder;
    EXPECT_EQ(folders, "234");
}

TEST_F(TransferDatabaseTest, SearchResultsBySourcesQueryAndAll)
{
    struct Result {
        const char* query;
        const char* exBlock;
        const char* address;
    };
    const Result results[] = {
        {"it's", "urn:sha1:A", "1.1.1.1:1"}, {"it's", "urn:sha1:B", "2.2.2.2:2"}, {"other", "urn:sha1:A", "3.3.3.3:3"},
        {"it's", "urn:sha1:A", "4.4.4.4:4"}, {"its", "urn:sha1:A", "5.5.5.5:5"},
    };
    for (const Result& result : results) {
        CTransferRecord r;
        r.csFindQuery = result.query;
        r.csExBlock = result.exBlock;
        r.csAddress = result.address;
        ASSERT_TRUE(m_db.InsertRecord(ETransferTable::FindResult, r));
    }

    CTransferRecordArray sources;
    ASSERT_TRUE(m_db.SelectSources(ETransferTable::FindResult, "it's", "urn:sha1:A", sources));
    ASSERT_EQ(sources.GetSize(), 2u);
    EXPECT_EQ(sources[0].csAddress, "1.1.1.1:1");
    EXPECT_EQ(sources[1].csAddress, "4.4.4.4:4");

    ASSERT_TRUE(m_db.DeleteByFindQuery(ETransferTable::FindResult, "it's"));
    CTransferRecordArray left;
    ASSERT_TRUE(m_db.LoadRecords(ETransferTable::FindResult, left));
    ASSERT_EQ(left.GetSize(), 2u);
    EXPECT_EQ(left[0].csFindQuery, "other");
    EXPECT_EQ(left[1].csFindQuery, "its");

    ASSERT_TRUE(m_db.DeleteAll(ETransferTable::FindResult));
    EXPECT_TRUE(LoadedNames(m_db, ETransferTable::FindResult).empty());
}

TEST(TransferTableName, OnlyTheTwoTablesAreAccepted)
{
    ETransferTable table = ETransferTable::FindResult;
    EXPECT_TRUE(TransferTableFromName("Transfers", table));
    EXPECT_EQ(table, ETransferTable::Transfers);
    EXPECT_TRUE(TransferTableFromName("Find_Result", table));
    EXPECT_EQ(table, ETransferTable::FindResult);
    for (const char* other : {"transfers", "Transfers; DROP TABLE Find_Result", "", "sqlite_master"})
        EXPECT_FALSE(TransferTableFromName(other, table)) << other;
}

// ---------------------------------------------------------------------------------------
// A file that is not a usable database.

TEST(TransferDatabaseDamagedFile, DamagedFileIsSetAsideAndANewDatabaseCreated)
{
    std::string sqliteHeaderThenGarbage("SQLite format 3\0", 16);
    sqliteHeaderThenGarbage += std::string(4080, '\xA5');
    const std::string texts = std::string(2000, 'x') + "this is not a database";

    for (const std::string& garbage : {texts, sqliteHeaderThenGarbage}) {
        TempFolder folder;
        fs::create_directories(folder / "Data");
        const std::string path = folder / "Data/Info.mdb";
        WriteWholeFile(path, garbage);
        WriteWholeFile(path + "-wal", "old journal");

        CTransferDatabase db;
        ASSERT_TRUE(db.OpenDatabase(folder.Path())) << db.Error();
        EXPECT_TRUE(LoadedNames(db, ETransferTable::Transfers).empty());
        EXPECT_TRUE(db.InsertRecord(ETransferTable::Transfers, EveryFieldSet()));

        const std::vector<std::string> aside = FilesStartingWith(folder / "Data", "Info.mdb.damaged-");
        ASSERT_FALSE(db.SetAsidePath().empty());
        EXPECT_EQ(aside.front().rfind(db.SetAsidePath(), 0), 0u);
        EXPECT_EQ(ReadWholeFile(db.SetAsidePath()), garbage);
        EXPECT_EQ(ReadWholeFile(db.SetAsidePath() + "-wal"), "old journal");
    }
}

TEST(TransferDatabaseDamagedFile, SecondDamageInTheSameSecondKeepsTheFirstSetAsideFile)
{
    TempFolder folder;
    fs::create_directories(folder / "Data");
    const std::string path = folder / "Data/Info.mdb";

    std::vector<std::string> asidePaths;
    for (const char* garbage : {"first garbage, not a database at all......", "second garbage, not a database"}) {
        WriteWholeFile(path, std::string(garbage) + std::string(1000, '!'));
        CTransferDatabase db;
        ASSERT_TRUE(db.Open(path));
        asidePaths.push_back(db.SetAsidePath());
    }
    ASSERT_EQ(asidePaths.size(), 2u);
    EXPECT_NE(asidePaths[0], asidePaths[1]);
    EXPECT_EQ(ReadWholeFile(asidePaths[0]).rfind("first garbage", 0), 0u);
    EXPECT_EQ(ReadWholeFile(asidePaths[1]).rfind("second garbage", 0), 0u);
}

TEST(TransferDatabaseDamagedFile, EmptyFileIsAnEmptyDatabaseNotADamagedOne)
{
    TempFolder folder;
    fs::create_directories(folder / "Data");
    WriteWholeFile(folder / "Data/Info.mdb", "");
    CTransferDatabase db;
    ASSERT_TRUE(db.OpenDatabase(folder.Path()));
    EXPECT_TRUE(db.SetAsidePath().empty());
    EXPECT_TRUE(FilesStartingWith(folder / "Data", "Info.mdb.damaged").empty());
}

TEST(TransferDatabaseDamagedFile, OpenFailsOnlyWhenNoDatabaseCanBeCreated)
{
    TempFolder folder;
    CTransferDatabase db;
    EXPECT_FALSE(db.Open(folder / "missing folder/Info.mdb"));
    EXPECT_FALSE(db.IsOpen());
    EXPECT_FALSE(db.Error().empty());
    EXPECT_FALSE(fs::exists(folder / "missing folder"));
    EXPECT_STREQ(DATABASE_FATAL_ERROR_TEXT, "Fatal error: could not open program's database.");

    // A closed connection fails every statement without harm.
    EXPECT_FALSE(db.InsertRecord(ETransferTable::Transfers, CTransferRecord()));
    CTransferRecordArray rows;
    EXPECT_FALSE(db.LoadRecords(ETransferTable::Transfers, rows));
    EXPECT_FALSE(db.Compact());
}

// ---------------------------------------------------------------------------------------

TEST_F(TransferDatabaseTest, CompactShrinksTheFileAndGivesUpWhenAnotherConnectionWrites)
{
    const std::string path = m_db.Path();
    auto fileBytes = [&] {
        std::error_code ignored;
        auto wal = fs::file_size(path + "-wal", ignored);
        return fs::file_size(path) + (wal == static_cast<std::uintmax_t>(-1) ? 0 : wal);
    };

    ASSERT_EQ(sqlite3_exec(m_db.Handle(), "BEGIN", nullptr, nullptr, nullptr), SQLITE_OK);
    CTransferRecord big = EveryFieldSet();
    big.csFolder = std::string(2000, 'f');
    for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(m_db.InsertRecord(ETransferTable::FindResult, big));
    ASSERT_EQ(sqlite3_exec(m_db.Handle(), "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    ASSERT_TRUE(m_db.InsertRecord(ETransferTable::Transfers, EveryFieldSet()));
    ASSERT_TRUE(m_db.DeleteAll(ETransferTable::FindResult));
    const auto before = fileBytes();

    CTransferDatabase other;
    ASSERT_TRUE(other.Open(path));
    ASSERT_EQ(sqlite3_exec(other.Handle(), "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(m_db.Compact(50));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    ASSERT_EQ(sqlite3_exec(other.Handle(), "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    other.Close();

    EXPECT_TRUE(m_db.Compact());
    EXPECT_LT(fileBytes(), before / 10);
    CTransferRecordArray rows;
    ASSERT_TRUE(m_db.LoadRecords(ETransferTable::Transfers, rows));
    ASSERT_EQ(rows.GetSize(), 1u);
    ExpectSameStoredFields(EveryFieldSet(), rows[0]);
}

TEST_F(TransferDatabaseTest, TwoConnectionsWriteAndReadAtOnceWithoutBusyFailures)
{
    constexpr int ROWS = 1000;
    CTransferDatabase second;
    ASSERT_TRUE(second.Open(m_db.Path()));

    std::atomic<bool> writing{true};
    std::atomic<int> writeFailures{0};
    std::thread writer([&] {
        CTransferRecord r;
        for (int i = 0; i < ROWS; ++i) {
            r.csFileName = "file " + std::to_string(i);
            r.csDownloadTo = "/down/";
            if (!m_db.InsertRecord(ETransferTable::Transfers, r))
                ++writeFailures;
        }
        writing = false;
    });

    int readFailures = 0;
    int updateFailures = 0;
    int rounds = 0;
    platform::Event idle(true, true);
    while (writing || rounds < 3) {
        CTransferRecordArray rows;
        if (!second.LoadRecords(ETransferTable::Transfers, rows))
            ++readFailures;
        for (CTransferRecord& row : rows)
            row.nTransfersState = 4;
        if (second.UpdateTableFromRecords(rows, ETransferTable::Transfers, idle).eResult != ETableUpdate::Updated)
            ++updateFailures;
        ++rounds;
    }
    writer.join();

    EXPECT_EQ(writeFailures, 0) << m_db.Error();
    EXPECT_EQ(readFailures, 0) << second.Error();
    EXPECT_EQ(updateFailures, 0) << second.Error();
    CTransferRecordArray rows;
    ASSERT_TRUE(m_db.LoadRecords(ETransferTable::Transfers, rows));
    EXPECT_EQ(rows.GetSize(), static_cast<std::size_t>(ROWS));
}
