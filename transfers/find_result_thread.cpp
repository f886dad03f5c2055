#include "transfers/find_result_thread.h"

#include "app/logging.h"
#include "net/messages.h"

CthFillFindResult::CthFillFindResult(std::string workingFolder, platform::Event& databaseIdle)
    : m_csWorkingFolder(std::move(workingFolder)), m_databaseIdle(databaseIdle)
{
}

bool CthFillFindResult::InitInstance()
{
    if (!m_database.Open(CTransferDatabase::DatabasePath(m_csWorkingFolder)))
        WriteLogLine("Find-result thread: could not open the database: " + m_database.Error(), MAIN_LOG_FILE);
    m_hIdleEvent.Set();
    return true;
}

bool CthFillFindResult::PreTranslateMessage(platform::Message& msg)
{
    m_hIdleEvent.Reset();
    bool handled = true;
    if (platform::PeekMessage(WM_THREAD_SHUTDOWN) || msg.message == WM_THREAD_SHUTDOWN) {
        EndLoop(0);
    } else if (msg.message == WM_UPDATE_TABLE) {
        ETransferTable table;
        auto* request = msg.PayloadAs<CUpdateTableRequest>();
        if (request && m_database.IsOpen() && TransferTableFromName(request->m_csTable, table))
            m_database.UpdateTableFromRecords(request->m_aRecords, table, m_databaseIdle);
    } else {
        handled = CBaseConnectionClass::PreTranslateMessage(msg);
    }
    m_hIdleEvent.Set();
    return handled;
}

int CthFillFindResult::ExitInstance()
{
    m_database.Close();
    return CBaseConnectionClass::ExitInstance();
}
