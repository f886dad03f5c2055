#include "app/worker_factory.h"

#include "transfers/transfer_record.h"

std::optional<EWorkerKind> WorkerKindFor(const CTransferRecord& record)
{
    if (record.csProtocol.find("FTP") != std::string::npos || record.csDestinProtocol.find("FTP") != std::string::npos)
        return EWorkerKind::FtpClient;
    if (record.csProtocol == "FILE" && record.csDestinProtocol == "FILE")
        return EWorkerKind::FileClient;
    return std::nullopt;
}

CServerCriteria::CServerCriteria(std::string hostAddress, std::string hostPort, std::string user, std::string password)
    : m_csHostAddress(std::move(hostAddress)),
      m_csHostPort(std::move(hostPort)),
      m_csUser(std::move(user)),
      m_csPassword(std::move(password))
{
}

bool CServerCriteria::Matches(const CTransferRecord& record) const
{
    if (record.csHostAddress != m_csHostAddress || record.csHostPort != m_csHostPort)
        return false;
    return (record.csUser == m_csUser && record.csPassword == m_csPassword) ||
           (record.csUserSource == m_csUser && record.csPasswordSource == m_csPassword);
}
