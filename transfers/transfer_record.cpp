#include "transfers/transfer_record.h"

#include <utility>

CTransferRecordBase::~CTransferRecordBase() = default;

CTransferRecord::~CTransferRecord() = default;

CTransferRecordArray::~CTransferRecordArray() = default;

std::size_t CTransferRecordArray::Add(const CTransferRecord& record)
{
    m_records.push_back(record);
    return m_records.size() - 1;
}

std::size_t CTransferRecordArray::Add(CTransferRecord&& record)
{
    m_records.push_back(std::move(record));
    return m_records.size() - 1;
}

void CTransferRecordArray::RemoveAt(std::size_t index)
{
    if (index < m_records.size())
        m_records.erase(m_records.begin() + static_cast<std::ptrdiff_t>(index));
}
