#pragma once
// The one record type of the program: a transfer job, a listing entry, a search result
// and a row of the Transfers and Find_Result tables. Records are values; they are copied
// into every array and message that carries them.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/message.h"

// Every stored field except FtpAttributes, and the working fields that are never stored
// except the listing texts of CTransferRecord. Members keep the names of their columns.
class CTransferRecordBase : public platform::MessagePayload {
public:
    CTransferRecordBase() = default;
    CTransferRecordBase(const CTransferRecordBase&) = default;
    CTransferRecordBase(CTransferRecordBase&&) = default;
    CTransferRecordBase& operator=(const CTransferRecordBase&) = default;
    CTransferRecordBase& operator=(CTransferRecordBase&&) = default;
    ~CTransferRecordBase() override;

    // Stored fields, in declared order.
    std::int32_t bSsl = 0;
    std::int32_t bUpload = 0;
    std::int32_t bDownloadToTemp = 0;
    std::int32_t bGnutGroupMember = 0;
    std::int32_t bDeleted = 0;
    std::int64_t dwMinSize = 0;
    std::int64_t dwMaxSize = 0;
    std::string csFindQuery;
    std::int32_t nMin = 0;
    std::int32_t nYar = 0;
    std::int32_t nHour = 0;
    std::int32_t nDay = 0;
    std::int32_t nMonth = 0;
    std::int32_t nFolderAction = 1;
    std::int32_t dwParentFolder = -1;
    std::string csFullFromAddress;
    std::string csRealDownloadTo;
    std::string csOldSource;
    std::string csDestinAddress;
    std::int32_t nDestinPort = 0;
    std::int32_t dwTryConnecting = 0;
    std::int32_t dwCurrentGroupIndex = 0;
    std::int32_t dwFindListIndex = -1;
    std::string csUser;
    std::string csPassword;
    std::string csUserSource;
    std::string csPasswordSource;
    std::int32_t nFileNumber = 0;
    std::int32_t dwTransfersIndex = 0;
    std::int32_t nGlobalFileIndex = 0;
    std::uint64_t dwDownloaded = 0;
    std::string csDestinProtocol;
    std::string csDownloadTo;
    std::string csExBlock;
    std::string csFolder;
    std::string csModified;
    std::string csProtocol;
    std::string csAddress;
    std::int32_t dwFileIndex = 0;
    std::int32_t nLoadFlag = 0;
    std::uint16_t nTransfersState = 0;
    std::uint64_t qwFileSize = 0;
    std::int32_t ipGlobalIndex = 0;
    std::string csFileName;
    std::string csHostAddress;
    std::string csHostPort;

    // Working fields, never stored.
    std::string m_csStatusText;
    std::int64_t m_dwSpeed = -1;                   // bytes per second; -1 until measured
    platform::ThreadId m_dwWorkerThreadId = 0;
    std::int64_t m_nSocketKey = -1;                // registry key of the transfer's socket; -1 for none
    platform::HWND m_hwndLocalPane = 0;
    platform::HWND m_hwndRemotePane = 0;
    std::int32_t m_bExactPhrase = 0;
    std::int64_t m_nResultKey = 0;
    std::string m_csQueryString;
};

class CTransferRecord : public CTransferRecordBase {
public:
    CTransferRecord() = default;
    CTransferRecord(const CTransferRecord&) = default;
    CTransferRecord(CTransferRecord&&) = default;
    CTransferRecord& operator=(const CTransferRecord&) = default;
    CTransferRecord& operator=(CTransferRecord&&) = default;
    ~CTransferRecord() override;

    std::string FtpAttributes;   // stored; "D..." (any case) marks a folder

    // Filled by the listing-line parser, never stored.
    std::string m_csOwner;
    std::string m_csGroup;
    std::string m_csLinkTarget;
};

// A growable array of records. Handed between threads inside a message, whose
// receiver then owns it.
class CTransferRecordArray : public platform::MessagePayload {
public:
    using iterator = std::vector<CTransferRecord>::iterator;
    using const_iterator = std::vector<CTransferRecord>::const_iterator;

    CTransferRecordArray() = default;
    CTransferRecordArray(const CTransferRecordArray&) = default;
    CTransferRecordArray(CTransferRecordArray&&) = default;
    CTransferRecordArray& operator=(const CTransferRecordArray&) = default;
    CTransferRecordArray& operator=(CTransferRecordArray&&) = default;
    ~CTransferRecordArray() override;

    // Copies the record in; returns its index.
    std::size_t Add(const CTransferRecord& record);
    std::size_t Add(CTransferRecord&& record);
    std::size_t GetSize() const { return m_records.size(); }
    bool IsEmpty() const { return m_records.empty(); }
    CTransferRecord& operator[](std::size_t index) { return m_records[index]; }
    const CTransferRecord& operator[](std::size_t index) const { return m_records[index]; }
    // Removes one element; the ones after it move down by one.
    void RemoveAt(std::size_t index);
    void RemoveAll() { m_records.clear(); }
    void Reserve(std::size_t count) { m_records.reserve(count); }

    iterator begin() { return m_records.begin(); }
    iterator end() { return m_records.end(); }
    const_iterator begin() const { return m_records.begin(); }
    const_iterator end() const { return m_records.end(); }

private:
    std::vector<CTransferRecord> m_records;
};
