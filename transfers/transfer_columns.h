#pragma once
// The stored columns of the Transfers and Find_Result tables, and the statement helpers
// built on them. Creation, insertion, reading and the table update all go through this
// one list, so a column is named in one place only. For the database code of this folder.

#include <sqlite3.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "transfers/transfer_database.h"
#include "transfers/transfer_record.h"

namespace transfercolumns {

enum class EKind { Int32, Int64, UInt64, UInt16, Text };

// One column: its name, its kind and the record member it mirrors (the pointer that
// matches the kind is set, the others are null).
struct CColumn {
    const char* name;
    EKind kind;
    bool bKeptOnUpdate;   // the table update leaves the stored value alone
    std::int32_t CTransferRecord::*pInt32;
    std::int64_t CTransferRecord::*pInt64;
    std::uint64_t CTransferRecord::*pUInt64;
    std::uint16_t CTransferRecord::*pUInt16;
    std::string CTransferRecord::*pText;
};

// In the order of the tables' columns.
extern const std::array<CColumn, TRANSFER_COLUMN_COUNT> COLUMNS;

int BindColumn(sqlite3_stmt* statement, int parameter, const CColumn& column, const CTransferRecord& record);
void ReadColumn(sqlite3_stmt* statement, int index, const CColumn& column, CTransferRecord& record);

// Where each stored column sits in a statement's result; built once per statement.
class CRowLayout {
public:
    explicit CRowLayout(sqlite3_stmt* statement);
    // False when a stored column is missing from the result.
    bool IsComplete() const { return m_bComplete; }
    void Read(sqlite3_stmt* statement, CTransferRecord& record) const;

private:
    std::array<int, TRANSFER_COLUMN_COUNT> m_index{};
    bool m_bComplete = false;
};

// Statement texts. Table names come only from TransferTableName.
std::string ColumnNames();                          // "bDeleted, bDownloadToTemp, ..."
std::string CreateTableSql(ETransferTable table);
std::string InsertSql(ETransferTable table);        // one parameter per column, in order
std::string UpdateSql(ETransferTable table);        // the columns not kept, then nKey

// A prepared statement, finalized when it goes out of scope.
class CStatement {
public:
    CStatement(sqlite3* db, const std::string& sql);
    ~CStatement();
    CStatement(const CStatement&) = delete;
    CStatement& operator=(const CStatement&) = delete;

    bool IsPrepared() const { return m_rc == SQLITE_OK && m_pStatement; }
    sqlite3_stmt* Get() const { return m_pStatement; }

    // Binds the texts to the parameters 1, 2, ...; they must outlive the statement's run.
    bool BindTexts(std::initializer_list<const std::string*> texts);
    // Binds the record's columns in order, without the kept ones when skipKept is set.
    bool BindRecord(const CTransferRecord& record, bool skipKept);
    // The first parameter after those BindRecord bound.
    int NextParameter() const { return m_nextParameter; }

    // Runs a statement that returns no rows, then resets it for another run.
    bool Run();

private:
    sqlite3_stmt* m_pStatement = nullptr;
    int m_rc = SQLITE_ERROR;
    int m_nextParameter = 1;
};

}  // namespace transfercolumns
