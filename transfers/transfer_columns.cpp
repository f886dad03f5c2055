#include "transfers/transfer_columns.h"

#include <cstring>

namespace transfercolumns {

namespace {

constexpr CColumn Int32(const char* name, std::int32_t CTransferRecord::*member)
{
    return {name, EKind::Int32, false, member, nullptr, nullptr, nullptr, nullptr};
}
constexpr CColumn Int64(const char* name, std::int64_t CTransferRecord::*member)
{
    return {name, EKind::Int64, false, nullptr, member, nullptr, nullptr, nullptr};
}
constexpr CColumn UInt64(const char* name, std::uint64_t CTransferRecord::*member, bool kept = false)
{
    return {name, EKind::UInt64, kept, nullptr, nullptr, member, nullptr, nullptr};
}
constexpr CColumn UInt16(const char* name, std::uint16_t CTransferRecord::*member)
{
    return {name, EKind::UInt16, false, nullptr, nullptr, nullptr, member, nullptr};
}
constexpr CColumn Text(const char* name, std::string CTransferRecord::*member, bool kept = false)
{
    return {name, EKind::Text, kept, nullptr, nullptr, nullptr, nullptr, member};
}

constexpr bool KEPT = true;
using R = CTransferRecord;

}  // namespace

constexpr std::array<CColumn, TRANSFER_COLUMN_COUNT> COLUMNS = {{
    Int32("bDeleted", &R::bDeleted),
    Int32("bDownloadToTemp", &R::bDownloadToTemp),
    Int32("bGnutGroupMember", &R::bGnutGroupMember),
    Int32("bUpload", &R::bUpload),
    Text("csAddress", &R::csAddress),
    Text("csDestinAddress", &R::csDestinAddress),
    Text("csDestinProtocol", &R::csDestinProtocol),
    Text("csDownloadTo", &R::csDownloadTo),
    Text("csExBlock", &R::csExBlock, KEPT),
    Text("FtpAttributes", &R::FtpAttributes, KEPT),
    Text("csFileName", &R::csFileName, KEPT),
    Text("csFindQuery", &R::csFindQuery, KEPT),
    Text("csFolder", &R::csFolder),
    Text("csFullFromAddress", &R::csFullFromAddress),
    Text("csHostAddress", &R::csHostAddress),
    Text("csHostPort", &R::csHostPort),
    Text("csModified", &R::csModified),
    Text("csPassword", &R::csPassword),
    Text("csPasswordSource", &R::csPasswordSource),
    Text("csProtocol", &R::csProtocol),
    Text("csRealDownloadTo", &R::csRealDownloadTo),
    Text("csOldSource", &R::csOldSource),
    Text("csUser", &R::csUser),
    Text("csUserSource", &R::csUserSource),
    Int32("dwCurrentGroupIndex", &R::dwCurrentGroupIndex),
    UInt64("dwDownloaded", &R::dwDownloaded),
    Int32("dwFileIndex", &R::dwFileIndex),
    UInt64("qwFileSize", &R::qwFileSize, KEPT),
    Int32("dwFindListIndex", &R::dwFindListIndex),
    Int64("dwMinSize", &R::dwMinSize),
    Int64("dwMaxSize", &R::dwMaxSize),
    Int32("dwParentFolder", &R::dwParentFolder),
    Int32("dwTransfersIndex", &R::dwTransfersIndex),
    Int32("dwTryConnecting", &R::dwTryConnecting),
    Int32("ipGlobalIndex", &R::ipGlobalIndex),
    Int32("nDay", &R::nDay),
    Int32("nDestinPort", &R::nDestinPort),
    Int32("nFileNumber", &R::nFileNumber),
    Int32("nFolderAction", &R::nFolderAction),
    Int32("nGlobalFileIndex", &R::nGlobalFileIndex),
    Int32("nHour", &R::nHour),
    Int32("nLoadFlag", &R::nLoadFlag),
    Int32("nMin", &R::nMin),
    Int32("nMonth", &R::nMonth),
    UInt16("nTransfersState", &R::nTransfersState),
    Int32("nYar", &R::nYar),
    Int32("bSsl", &R::bSsl),
}};

namespace {

constexpr bool SameName(const char* a, const char* b)
{
    while (*a && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

// Every entry filled in (a short list would leave empty ones at the end), no name twice.
constexpr bool ColumnsAreComplete()
{
    std::size_t kept = 0;
    for (std::size_t i = 0; i < COLUMNS.size(); ++i) {
        if (!COLUMNS[i].name)
            return false;
        for (std::size_t j = 0; j < i; ++j) {
            if (SameName(COLUMNS[i].name, COLUMNS[j].name))
                return false;
        }
        kept += COLUMNS[i].bKeptOnUpdate;
    }
    return kept == 5;
}
static_assert(ColumnsAreComplete());

}  // namespace

int BindColumn(sqlite3_stmt* statement, int parameter, const CColumn& column, const CTransferRecord& record)
{
    switch (column.kind) {
    case EKind::Int32:
        return sqlite3_bind_int64(statement, parameter, record.*column.pInt32);
    case EKind::Int64:
        return sqlite3_bind_int64(statement, parameter, record.*column.pInt64);
    case EKind::UInt64:
        // Kept bit for bit: values above 2^63 come back from the signed column unchanged.
        return sqlite3_bind_int64(statement, parameter, static_cast<sqlite3_int64>(record.*column.pUInt64));
    case EKind::UInt16:
        return sqlite3_bind_int64(statement, parameter, record.*column.pUInt16);
    case EKind::Text: {
        const std::string& text = record.*column.pText;
        return sqlite3_bind_text64(statement, parameter, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8);
    }
    }
    return SQLITE_MISUSE;
}

void ReadColumn(sqlite3_stmt* statement, int index, const CColumn& column, CTransferRecord& record)
{
    const sqlite3_int64 value = sqlite3_column_int64(statement, index);
    switch (column.kind) {
    case EKind::Int32:
        record.*column.pInt32 = static_cast<std::int32_t>(value);
        break;
    case EKind::Int64:
        record.*column.pInt64 = value;
        break;
    case EKind::UInt64:
        record.*column.pUInt64 = static_cast<std::uint64_t>(value);
        break;
    case EKind::UInt16:
        record.*column.pUInt16 = static_cast<std::uint16_t>(value);
        break;
    case EKind::Text: {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, index));
        const int bytes = sqlite3_column_bytes(statement, index);
        if (text)
            (record.*column.pText).assign(text, static_cast<std::size_t>(bytes));
        else
            (record.*column.pText).clear();
        break;
    }
    }
}

CRowLayout::CRowLayout(sqlite3_stmt* statement)
{
    m_index.fill(-1);
    const int count = sqlite3_column_count(statement);
    for (int i = 0; i < count; ++i) {
        const char* name = sqlite3_column_name(statement, i);
        if (!name)
            continue;
        for (std::size_t c = 0; c < COLUMNS.size(); ++c) {
            if (m_index[c] < 0 && std::strcmp(COLUMNS[c].name, name) == 0) {
                m_index[c] = i;
                break;
            }
        }
    }
    m_bComplete = true;
    for (int index : m_index)
        m_bComplete = m_bComplete && index >= 0;
}

void CRowLayout::Read(sqlite3_stmt* statement, CTransferRecord& record) const
{
    for (std::size_t c = 0; c < COLUMNS.size(); ++c)
        ReadColumn(statement, m_index[c], COLUMNS[c], record);
}

std::string ColumnNames()
{
    std::string names;
    for (const CColumn& column : COLUMNS) {
        if (!names.empty())
            names += ", ";
        names += column.name;
    }
    return names;
}

std::string CreateTableSql(ETransferTable table)
{
    std::string columns = "(";
    for (const CColumn& column : COLUMNS) {
        columns += column.name;
        columns += column.kind == EKind::Text ? " TEXT, " : " int, ";
    }
    columns += "nKey INTEGER PRIMARY KEY AUTOINCREMENT)";
    return std::string("CREATE TABLE IF NOT EXISTS ") + TransferTableName(table) + " " + columns;
}

std::string InsertSql(ETransferTable table)
{
    std::string values;
    for (std::size_t i = 0; i < COLUMNS.size(); ++i)
        values += i == 0 ? "?" : ", ?";
    return std::string("INSERT INTO ") + TransferTableName(table) + " (" + ColumnNames() + ") VALUES (" + values + ")";
}

std::string UpdateSql(ETransferTable table)
{
    std::string assignments;
    for (const CColumn& column : COLUMNS) {
        if (column.bKeptOnUpdate)
            continue;
        if (!assignments.empty())
            assignments += ", ";
        assignments += column.name;
        assignments += "=?";
    }
    return std::string("UPDATE ") + TransferTableName(table) + " SET " + assignments + " WHERE nKey=?";
}

CStatement::CStatement(sqlite3* db, const std::string& sql)
{
    if (db)
        m_rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size() + 1), &m_pStatement, nullptr);
}

CStatement::~CStatement()
{
    sqlite3_finalize(m_pStatement);
}

bool CStatement::BindTexts(std::initializer_list<const std::string*> texts)
{
    int parameter = 1;
    for (const std::string* text : texts) {
        if (sqlite3_bind_text64(m_pStatement, parameter++, text->data(), text->size(), SQLITE_STATIC, SQLITE_UTF8) !=
            SQLITE_OK)
            return false;
    }
    return true;
}

bool CStatement::BindRecord(const CTransferRecord& record, bool skipKept)
{
    int parameter = 1;
    for (const CColumn& column : COLUMNS) {
        if (skipKept && column.bKeptOnUpdate)
            continue;
        if (BindColumn(m_pStatement, parameter++, column, record) != SQLITE_OK)
            return false;
    }
    m_nextParameter = parameter;
    return true;
}

bool CStatement::Run()
{
    const int rc = sqlite3_step(m_pStatement);
    sqlite3_reset(m_pStatement);
    return rc == SQLITE_DONE;
}

}  // namespace transfercolumns
