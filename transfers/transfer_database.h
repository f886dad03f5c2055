#pragma once
// The database file "Data/Info.mdb" with the tables Transfers and Find_Result, over
// SQLite. Both tables hold the 47 stored fields of CTransferRecord plus nKey, which
// grows with every insertion and fixes the order of the rows.
//
// The file is shared by the two connections of a running program and by a second
// running instance (WAL journal, 5 s busy timeout). Every value travels as a bound
// parameter, so texts are stored exactly as they are in the record.
//
// Statement failures other than opening are logged to the main log and reported by the
// result; callers may go on as if the statement had run.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/waitable.h"
#include "transfers/transfer_record.h"

struct sqlite3;
struct sqlite3_stmt;

// Shown by the caller when OpenDatabase fails; the program then ends.
inline constexpr const char* DATABASE_FATAL_ERROR_TEXT = "Fatal error: could not open program's database.";

// The only tables statements are ever built for.
enum class ETransferTable { Transfers, FindResult };

// "Transfers" or "Find_Result".
const char* TransferTableName(ETransferTable table);
// Maps a table name received in a message to the table; false for any other text.
bool TransferTableFromName(const std::string& name, ETransferTable& table);

// Number of stored columns (without nKey).
inline constexpr std::size_t TRANSFER_COLUMN_COUNT = 47;

// Reads the current row of a statement into the record by column name. All 47 stored
// columns must be in the row (nKey and other columns are ignored); false otherwise.
bool CopyRecordFromRecordset(sqlite3_stmt* statement, CTransferRecord& record);

enum class ETableUpdate {
    Updated,   // the walk ran to its end (possibly writing no row)
    Skipped,   // the database was busy: nothing was read or written
    Failed,    // a database error; nothing was written
};

struct CTableUpdateResult {
    ETableUpdate eResult = ETableUpdate::Failed;
    std::size_t nRowsWritten = 0;
};

// One connection to the database file. Use it on one thread at a time.
class CTransferDatabase {
public:
    CTransferDatabase() = default;
    ~CTransferDatabase();
    CTransferDatabase(CTransferDatabase&& other) noexcept;
    CTransferDatabase& operator=(CTransferDatabase&& other) noexcept;
    CTransferDatabase(const CTransferDatabase&) = delete;
    CTransferDatabase& operator=(const CTransferDatabase&) = delete;

    // workingFolder + "/Data/Info.mdb".
    static std::string DatabasePath(const std::string& workingFolder);

    // Opens (creating where needed) the folder "Data" and the file in it, then the tables.
    // False when no database could be opened or the tables cannot be created in it.
    bool OpenDatabase(const std::string& workingFolder);

    // Opens or creates the file. A file that is not a database, or a damaged one, is
    // renamed to "<path>.damaged-YYYYMMDD-HHMMSS" (with its -wal and -shm files), a new
    // one is created, and the main log says so. Other failures (no such folder, a file
    // kept locked by another program) set nothing aside. False when no database could
    // be opened; Error() then tells why.
    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const { return m_pDb != nullptr; }
    const std::string& Path() const { return m_csPath; }
    // Text of the last failure.
    const std::string& Error() const { return m_csError; }
    // Where the last Open put a damaged file aside; empty when it did not.
    const std::string& SetAsidePath() const { return m_csSetAsidePath; }
    // For statements of other parts of the program (result views, counts).
    sqlite3* Handle() const { return m_pDb; }

    // Creates Find_Result, then Transfers; an existing table stays as it is. True when
    // both exist afterwards.
    bool CreateTables();

    // Appends a row holding the record's 47 stored fields. newKey, when given, receives
    // the row's nKey.
    bool InsertRecord(ETransferTable table, const CTransferRecord& record, std::int64_t* newKey = nullptr);

    // True when a row with these three values exists (the duplicate test for results).
    bool HasDuplicate(ETransferTable table, const std::string& csAddress, const std::string& csExBlock,
                      const std::string& csFileName);

    // Appends every row of the table to out, in order of nKey.
    bool LoadRecords(ETransferTable table, CTransferRecordArray& out);

    // Appends the rows with this search text and extension block to out, in order of nKey.
    bool SelectSources(ETransferTable table, const std::string& csFindQuery, const std::string& csExBlock,
                       CTransferRecordArray& out);

    // Removes the rows of one transfer. With an empty csExBlock: rows with the record's
    // csAddress and csFileName whose csDownloadTo or csRealDownloadTo equals the record's.
    // Otherwise: rows whose csDownloadTo or csRealDownloadTo equals the record's and whose
    // csExBlock and csFindQuery equal the record's. deleted, when given, receives the count.
    bool DeleteTransfer(ETransferTable table, const CTransferRecord& record, std::size_t* deleted = nullptr);
    bool DeleteByFindQuery(ETransferTable table, const std::string& csFindQuery);
    bool DeleteAll(ETransferTable table);

    // Writes the records in memory over their stored rows. Runs only when databaseIdle is
    // set at the moment of the call (no waiting); it is reset for the duration and set
    // again on every way out. A row takes the first record in array order for which
    //  (a) csFileName is equal, and csDownloadTo or csRealDownloadTo is equal, or
    //  (b) the row's csExBlock is not empty and equal, and csDownloadTo or
    //      csRealDownloadTo is equal
    // (exact comparisons). Every column except csFileName, csFindQuery, csExBlock,
    // FtpAttributes and qwFileSize is set from that record; a row without a match is left
    // alone. No row is inserted or deleted. One transaction; cost linear in rows + records.
    CTableUpdateResult UpdateTableFromRecords(const CTransferRecordArray& records, ETransferTable table,
                                              platform::Event& databaseIdle);

    // Folds the journal into the file and rebuilds it without free pages. Gives up when
    // another connection keeps the file busy longer than busyTimeoutMs; false then.
    bool Compact(std::uint32_t busyTimeoutMs = 1000);

private:
    enum class EOpenResult { Opened, Damaged, Failed };
    EOpenResult TryOpen(const std::string& path);
    bool Execute(const char* sql, const char* what);
    void LogFailure(const std::string& what);

    sqlite3* m_pDb = nullptr;
    std::string m_csPath;
    std::string m_csError;
    std::string m_csSetAsidePath;
};
