#include "engine/command_client.h"

bool CCommandClient::InitInstance()
{
    bool ok = CCommandProtocol::InitInstance();
    CCommandProtocol& embedded = Embedded();
    embedded.m_nThreadID = m_nThreadID;
    embedded.m_dwOwnThreadId = m_dwOwnThreadId;
    return ok;
}

void CCommandClient::ToEmbedded()
{
    CCommandProtocol& embedded = Embedded();
    embedded.m_aJob = m_aJob;
    embedded.m_hOwnerWnd = m_hOwnerWnd;
    embedded.m_bAutoMode = m_bAutoMode;
    embedded.m_pMainWnd = m_pMainWnd;
    embedded.m_csLabel = m_csLabel;
    embedded.m_bLogToWindow = m_bLogToWindow;
    embedded.m_csTempDir = m_csTempDir;
}

void CCommandClient::FromEmbedded() { m_aJob = Embedded().m_aJob; }

int CCommandClient::RunJob()
{
    ToEmbedded();
    int result = Embedded().RunJob();
    FromEmbedded();
    return result;
}
