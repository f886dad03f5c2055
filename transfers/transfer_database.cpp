#include "transfers/transfer_database.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <limits>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "app/logging.h"
#include "transfers/transfer_columns.h"

using namespace transfercolumns;

namespace {

constexpr int BUSY_TIMEOUT_MS = 5000;

bool IsDamageCode(int rc)
{
    const int primary = rc & 0xff;
    return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT;
}

std::string TimeStamp()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
    return text;
}

bool Exists(const std::string& path)
{
    std::error_code error;
    return std::filesystem::exists(std::filesystem::symlink_status(path, error));
}

// Renames a damaged file and its journal files to a free name beside it. Returns the
// new name, or empty when the file could not be moved (it is then left in place).
std::string SetDamagedFileAside(const std::string& path, std::string& error)
{
    const std::string base = path + ".damaged-" + TimeStamp();
    std::string aside = base;
    for (int n = 1; Exists(aside) || Exists(aside + "-wal") || Exists(aside + "-shm"); ++n)
        aside = base + "-" + std::to_string(n);

    std::error_code failure;
    std::filesystem::rename(path, aside, failure);
    if (failure) {
        error = "could not rename " + path + " to " + aside + ": " + failure.message();
        return {};
    }
    // A journal left beside the new file would be replayed into it, so it has to go too.
    for (const char* suffix : {"-wal", "-shm"}) {
        if (!Exists(path + suffix))
            continue;
        std::filesystem::rename(path + suffix, aside + suffix, failure);
        if (failure) {
            error = "could not rename " + path + suffix + " to " + aside + suffix + ": " + failure.message();
            return {};
        }
    }
    return aside;
}

// Keys of the table update's record indexes: two texts of a record.
struct CKeyPair {
    std::string_view first;
    std::string_view second;
    bool operator==(const CKeyPair&) const = default;
};

struct CKeyPairHash {
    std::size_t operator()(const CKeyPair& key) const noexcept
    {
        const std::size_t h1 = std::hash<std::string_view>{}(key.first);
        const std::size_t h2 = std::hash<std::string_view>{}(key.second);
        return h1 ^ (h2 + 0x9e3779b97f4a7c15ull + (h1 << 6) + (h1 >> 2));
    }
};

// For each of the four (text, destination) pairs the matching rules compare, the
// smallest index of a record that has it. Views point into the records.
class CRecordIndex {
public:
    static constexpr std::size_t NONE = std::numeric_limits<std::size_t>::max();

    explicit CRecordIndex(const CTransferRecordArray& records)
    {
        for (auto* map : {&m_byNameDest, &m_byNameReal, &m_byExBlockDest, &m_byExBlockReal})
            map->reserve(records.GetSize());
        for (std::size_t i = 0; i < records.GetSize(); ++i) {
            const CTransferRecord& r = records[i];
            // try_emplace keeps the first index for a key. An empty place is no place: two
            // transfers without a final place must not be taken for one another.
            const bool hasDest = !r.csDownloadTo.empty(), hasReal = !r.csRealDownloadTo.empty();
            if (hasDest)
                m_byNameDest.try_emplace({r.csFileName, r.csDownloadTo}, i);
            if (hasReal)
                m_byNameReal.try_emplace({r.csFileName, r.csRealDownloadTo}, i);
            if (!r.csExBlock.empty()) {
                if (hasDest)
                    m_byExBlockDest.try_emplace({r.csExBlock, r.csDownloadTo}, i);
                if (hasReal)
                    m_byExBlockReal.try_emplace({r.csExBlock, r.csRealDownloadTo}, i);
            }
        }
    }

    // The first record in array order that matches a row with these values, or NONE.
    std::size_t FirstMatch(std::string_view fileName, std::string_view downloadTo, std::string_view realDownloadTo,
                           std::string_view exBlock) const
    {
        std::size_t best = NONE;
        Consider(m_byNameDest, {fileName, downloadTo}, best);
        Consider(m_byNameReal, {fileName, realDownloadTo}, best);
        if (!exBlock.empty()) {
            Consider(m_byExBlockDest, {exBlock, downloadTo}, best);
            Consider(m_byExBlockReal, {exBlock, realDownloadTo}, best);
        }
        return best;
    }

private:
    using CMap = std::unordered_map<CKeyPair, std::size_t, CKeyPairHash>;

    static void Consider(const CMap& map, const CKeyPair& key, std::size_t& best)
    {
        const auto found = map.find(key);
        if (found != map.end() && found->second < best)
            best = found->second;
    }

    CMap m_byNameDest;
    CMap m_byNameReal;
    CMap m_byExBlockDest;
    CMap m_byExBlockReal;
};

std::string_view ColumnText(sqlite3_stmt* statement, int index)
{
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, index));
    if (!text)
        return {};
    return {text, static_cast<std::size_t>(sqlite3_column_bytes(statement, index))};
}

class CSetOnExit {
public:
    explicit CSetOnExit(platform::Event& event) : m_event(event) {}
    ~CSetOnExit() { m_event.Set(); }
    CSetOnExit(const CSetOnExit&) = delete;
    CSetOnExit& operator=(const CSetOnExit&) = delete;

private:
    platform::Event& m_event;
};

}  // namespace

// ---------------------------------------------------------------------------------------

const char* TransferTableName(ETransferTable table)
{
    return table == ETransferTable::FindResult ? "Find_Result" : "Transfers";
}

bool TransferTableFromName(const std::string& name, ETransferTable& table)
{
    if (name == "Transfers")
        table = ETransferTable::Transfers;
    else if (name == "Find_Result")
        table = ETransferTable::FindResult;
    else
        return false;
    return true;
}

bool CopyRecordFromRecordset(sqlite3_stmt* statement, CTransferRecord& record)
{
    if (!statement)
        return false;
    const CRowLayout layout(statement);
    if (!layout.IsComplete())
        return false;
    layout.Read(statement, record);
    return true;
}

// ---------------------------------------------------------------------------------------

CTransferDatabase::~CTransferDatabase()
{
    Close();
}

CTransferDatabase::CTransferDatabase(CTransferDatabase&& other) noexcept
    : m_pDb(std::exchange(other.m_pDb, nullptr)),
      m_csPath(std::move(other.m_csPath)),
      m_csError(std::move(other.m_csError)),
      m_csSetAsidePath(std::move(other.m_csSetAsidePath))
{
}

CTransferDatabase& CTransferDatabase::operator=(CTransferDatabase&& other) noexcept
{
    if (this != &other) {
        Close();
        m_pDb = std::exchange(other.m_pDb, nullptr);
        m_csPath = std::move(other.m_csPath);
        m_csError = std::move(other.m_csError);
        m_csSetAsidePath = std::move(other.m_csSetAsidePath);
    }
    return *this;
}

std::string CTransferDatabase::DatabasePath(const std::string& workingFolder)
{
    return workingFolder + "/Data/Info.mdb";
}

bool CTransferDatabase::OpenDatabase(const std::string& workingFolder)
{
    std::error_code ignored;
    std::filesystem::create_directories(workingFolder + "/Data", ignored);
    return Open(DatabasePath(workingFolder)) && CreateTables();
}

void CTransferDatabase::Close()
{
    if (m_pDb) {
        sqlite3_close_v2(m_pDb);
        m_pDb = nullptr;
    }
}

CTransferDatabase::EOpenResult CTransferDatabase::TryOpen(const std::string& path)
{
    // The file holds passwords: a new one is readable by its owner only. SQLite gives its
    // journal files the same permissions, and takes an empty file as a new database.
    const int created = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (created >= 0)
        ::close(created);

    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                             nullptr);
    auto fail = [&](const char* step) {
        m_csError = std::string(step) + " " + path + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close_v2(db);
        return IsDamageCode(rc) ? EOpenResult::Damaged : EOpenResult::Failed;
    };
    if (rc != SQLITE_OK)
        return fail("could not open");
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, BUSY_TIMEOUT_MS);
    // Until the file has proved to be a database, closing must not fold a journal into
    // it or delete the journal: both may have to be kept aside as they are.
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);

    // SQLite reads the file only at the first statement, so a file of garbage opens
    // without complaint; reading the schema is what tells.
    sqlite3_stmt* check = nullptr;
    rc = sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master", -1, &check, nullptr);
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(check);
        if (rc == SQLITE_ROW)
            rc = SQLITE_OK;
    }
    sqlite3_finalize(check);
    if (rc != SQLITE_OK)
        return fail("could not read");

    // Two programs starting at once on a new file both ask for WAL; SQLite then answers
    // one of them "busy" at once instead of waiting (the busy handler is skipped to avoid
    // a deadlock between the two lock upgrades), so the request is repeated for as long
    // as the busy time-out.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(BUSY_TIMEOUT_MS);
    while ((rc = sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr)) != SQLITE_OK &&
           (rc & 0xff) == SQLITE_BUSY && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        return fail("could not set up");

    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 0, nullptr);
    m_pDb = db;
    return EOpenResult::Opened;
}

bool CTransferDatabase::Open(const std::string& path)
{
    Close();
    m_csPath = path;
    m_csError.clear();
    m_csSetAsidePath.clear();

    EOpenResult result = TryOpen(path);
    if (result == EOpenResult::Damaged) {
        const std::string reason = m_csError;
        const std::string aside = SetDamagedFileAside(path, m_csError);
        if (aside.empty()) {
            WriteLogLine("Database file " + path + " is damaged (" + reason + ") and " + m_csError, MAIN_LOG_FILE);
            return false;
        }
        m_csSetAsidePath = aside;
        WriteLogLine("Database file " + path + " is damaged (" + reason + "); it was kept as " + aside +
                         " and a new empty database was created",
                     MAIN_LOG_FILE);
        result = TryOpen(path);
    }
    if (result != EOpenResult::Opened) {
        WriteLogLine("Database: " + m_csError, MAIN_LOG_FILE);
        return false;
    }
    return true;
}

void CTransferDatabase::LogFailure(const std::string& what)
{
    m_csError = what + ": " + (m_pDb ? sqlite3_errmsg(m_pDb) : "database not open");
    WriteLogLine("Database error in " + m_csError, MAIN_LOG_FILE);
}

bool CTransferDatabase::Execute(const char* sql, const char* what)
{
    if (m_pDb && sqlite3_exec(m_pDb, sql, nullptr, nullptr, nullptr) == SQLITE_OK)
        return true;
    LogFailure(what);
    return false;
}

bool CTransferDatabase::CreateTables()
{
    bool ok = true;
    for (ETransferTable table : {ETransferTable::FindResult, ETransferTable::Transfers}) {
        const std::string sql = CreateTableSql(table);
        ok = Execute(sql.c_str(), "CREATE TABLE") && ok;
    }
    return ok;
}

bool CTransferDatabase::InsertRecord(ETransferTable table, const CTransferRecord& record, std::int64_t* newKey)
{
    CStatement insert(m_pDb, InsertSql(table));
    if (!insert.IsPrepared() || !insert.BindRecord(record, false) || !insert.Run()) {
        LogFailure(std::string("INSERT INTO ") + TransferTableName(table));
        return false;
    }
    if (newKey)
        *newKey = sqlite3_last_insert_rowid(m_pDb);
    return true;
}

bool CTransferDatabase::HasDuplicate(ETransferTable table, const std::string& csAddress, const std::string& csExBlock,
                                     const std::string& csFileName)
{
    CStatement select(m_pDb, std::string("SELECT nKey FROM ") + TransferTableName(table) +
                                 " WHERE (csAddress=?) AND (csExBlock=?) AND (csFileName=?) LIMIT 1");
    if (!select.IsPrepared() || !select.BindTexts({&csAddress, &csExBlock, &csFileName})) {
        LogFailure("duplicate test");
        return false;
    }
    const int rc = sqlite3_step(select.Get());
    if (rc == SQLITE_ROW)
        return true;
    if (rc != SQLITE_DONE)
        LogFailure("duplicate test");
    return false;
}

namespace {

// Steps a prepared SELECT to its end, appending every row to out.
int ReadAllRows(sqlite3_stmt* statement, CTransferRecordArray& out)
{
    const CRowLayout layout(statement);
    if (!layout.IsComplete())
        return SQLITE_MISMATCH;
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        CTransferRecord record;
        layout.Read(statement, record);
        out.Add(std::move(record));
    }
    return rc;
}

}  // namespace

bool CTransferDatabase::LoadRecords(ETransferTable table, CTransferRecordArray& out)
{
    CStatement select(m_pDb, std::string("SELECT * FROM ") + TransferTableName(table) + " ORDER BY nKey");
    if (!select.IsPrepared() || ReadAllRows(select.Get(), out) != SQLITE_DONE) {
        LogFailure(std::string("loading ") + TransferTableName(table));
        return false;
    }
    return true;
}

bool CTransferDatabase::SelectSources(ETransferTable table, const std::string& csFindQuery,
                                      const std::string& csExBlock, CTransferRecordArray& out)
{
    CStatement select(m_pDb, "SELECT " + ColumnNames() + " FROM " + TransferTableName(table) +
                                 " WHERE ((csFindQuery=?) AND (csExBlock=?)) ORDER BY nKey");
    if (!select.IsPrepared() || !select.BindTexts({&csFindQuery, &csExBlock}) ||
        ReadAllRows(select.Get(), out) != SQLITE_DONE) {
        LogFailure("selecting sources");
        return false;
    }
    return true;
}

bool CTransferDatabase::DeleteTransfer(ETransferTable table, const CTransferRecord& record, std::size_t* deleted)
{
    const std::string name = TransferTableName(table);
    bool ok;
    if (record.csExBlock.empty()) {
        CStatement statement(m_pDb, "DELETE FROM " + name +
                                        " WHERE (csAddress=?) AND (csFileName=?)"
                                        " AND ((csDownloadTo=?) OR (csRealDownloadTo=?))");
        ok = statement.IsPrepared() &&
             statement.BindTexts(
                 {&record.csAddress, &record.csFileName, &record.csDownloadTo, &record.csRealDownloadTo}) &&
             statement.Run();
    } else {
        CStatement statement(m_pDb, "DELETE FROM " + name +
                                        " WHERE ((csDownloadTo=?) OR (csRealDownloadTo=?))"
                                        " AND (csExBlock=?) AND (csFindQuery=?)");
        ok = statement.IsPrepared() &&
             statement.BindTexts(
                 {&record.csDownloadTo, &record.csRealDownloadTo, &record.csExBlock, &record.csFindQuery}) &&
             statement.Run();
    }
    if (!ok) {
        LogFailure("DELETE FROM " + name);
        return false;
    }
    if (deleted)
        *deleted = static_cast<std::size_t>(sqlite3_changes64(m_pDb));
    return true;
}

bool CTransferDatabase::DeleteByFindQuery(ETransferTable table, const std::string& csFindQuery)
{
    const std::string name = TransferTableName(table);
    CStatement statement(m_pDb, "DELETE FROM " + name + " WHERE csFindQuery=?");
    if (!statement.IsPrepared() || !statement.BindTexts({&csFindQuery}) || !statement.Run()) {
        LogFailure("DELETE FROM " + name);
        return false;
    }
    return true;
}

bool CTransferDatabase::DeleteAll(ETransferTable table)
{
    const std::string sql = std::string("DELETE FROM ") + TransferTableName(table);
    return Execute(sql.c_str(), sql.c_str());
}

CTableUpdateResult CTransferDatabase::UpdateTableFromRecords(const CTransferRecordArray& records,
                                                             ETransferTable table, platform::Event& databaseIdle)
{
    CTableUpdateResult result;
    // A try-lock: another user of the database holds it, so this round is left out.
    if (!databaseIdle.TryReset()) {
        result.eResult = ETableUpdate::Skipped;
        return result;
    }
    const CSetOnExit setIdleAgain(databaseIdle);

    if (records.IsEmpty()) {
        result.eResult = m_pDb ? ETableUpdate::Updated : ETableUpdate::Failed;
        return result;
    }
    const std::string name = TransferTableName(table);
    const std::string what = "update of " + name;
    const CRecordIndex index(records);

    // The write lock is taken first so that the rows read are the rows written.
    if (!Execute("BEGIN IMMEDIATE", what.c_str()))
        return result;

    std::vector<std::pair<sqlite3_int64, std::size_t>> matches;   // nKey, record
    bool ok;
    {
        CStatement select(m_pDb,
                          "SELECT nKey, csFileName, csDownloadTo, csRealDownloadTo, csExBlock FROM " + name);
        ok = select.IsPrepared();
        int rc = SQLITE_DONE;
        while (ok && (rc = sqlite3_step(select.Get())) == SQLITE_ROW) {
            sqlite3_stmt* row = select.Get();
            const std::size_t found = index.FirstMatch(ColumnText(row, 1), ColumnText(row, 2), ColumnText(row, 3),
                                                       ColumnText(row, 4));
            if (found != CRecordIndex::NONE)
                matches.emplace_back(sqlite3_column_int64(row, 0), found);
        }
        ok = ok && rc == SQLITE_DONE;
    }
    if (ok && !matches.empty()) {
        CStatement update(m_pDb, UpdateSql(table));
        ok = update.IsPrepared();
        for (std::size_t i = 0; ok && i < matches.size(); ++i) {
            ok = update.BindRecord(records[matches[i].second], true) &&
                 sqlite3_bind_int64(update.Get(), update.NextParameter(), matches[i].first) == SQLITE_OK &&
                 update.Run();
            if (ok)
                result.nRowsWritten += static_cast<std::size_t>(sqlite3_changes64(m_pDb));
        }
    }
    if (ok)
        ok = Execute("COMMIT", what.c_str());
    else
        LogFailure(what);
    if (!ok) {
        sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
        result.nRowsWritten = 0;
        return result;
    }
    result.eResult = ETableUpdate::Updated;
    return result;
}

bool CTransferDatabase::Compact(std::uint32_t busyTimeoutMs)
{
    if (!m_pDb)
        return false;
    const int timeout = static_cast<int>(std::min<std::uint32_t>(busyTimeoutMs, std::numeric_limits<int>::max()));
    sqlite3_busy_timeout(m_pDb, timeout);
    bool ok = Execute("VACUUM", "compaction");
    if (ok && sqlite3_wal_checkpoint_v2(m_pDb, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr) != SQLITE_OK) {
        LogFailure("compaction checkpoint");
        ok = false;
    }
    sqlite3_busy_timeout(m_pDb, BUSY_TIMEOUT_MS);
    return ok;
}
