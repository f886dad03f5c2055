#include "transfers/find_result_thread.h"

#include <exception>

#include "app/logging.h"
#include "net/messages.h"
#include "platform/thread.h"

CUpdateTableRequest::~CUpdateTableRequest()
{
    if (m_pDone)
        m_pDone->Set();
}

CthFillFindResult::CthFillFindResult(std::string workingFolder, platform::Event& databaseIdle)
    : m_csWorkingFolder(std::move(workingFolder)), m_databaseIdle(databaseIdle)
{
}

bool CthFillFindResult::InitInstance()
{
    if (!m_database.Open(CTransferDatabase::DatabasePath(m_csWorkingFolder)))
        WriteLogLine("Find-result thread: could not open the database: " + m_database.Error(), MAIN_LOG_FILE);
    m_hIdleEvent->Set();
    return true;
}

bool CthFillFindResult::PreTranslateMessage(platform::Message& msg)
{
    m_hIdleEvent->Reset();
    try {
        // Emptying the results goes before everything: every waiting clear is handled
        // now. The current message then keeps its place, so two table updates are never
        // swapped (an older copy must not overwrite a newer one).
        platform::Message clear;
        bool cleared = false;
        while (platform::TakeMessage(WM_CLEAR_RESULTS, clear)) {
            clear = platform::Message();
            cleared = true;
        }
        if (cleared || msg.message == WM_CLEAR_RESULTS)
            ClearResults();

        if (msg.message == WM_THREAD_SHUTDOWN || platform::PeekMessage(WM_THREAD_SHUTDOWN)) {
            // The loop frees the current payload and everything still waiting.
            EndLoop(0);
        } else if (msg.message != WM_CLEAR_RESULTS) {
            Dispatch(msg);
        }
    } catch (const std::exception& error) {
        WriteLogLine(std::string("Find-result thread: ") + error.what(), MAIN_LOG_FILE);
    } catch (...) {
        WriteLogLine("Find-result thread: unknown exception", MAIN_LOG_FILE);
    }
    m_hIdleEvent->Set();
    return true;
}

void CthFillFindResult::Dispatch(platform::Message& msg)
{
    switch (msg.message) {
    case WM_UPDATE_TABLE:
        UpdateTable(msg);
        break;
    default:
        // Results and peer downloads are not handled yet: their messages are dropped.
        CBaseConnectionClass::PreTranslateMessage(msg);
        break;
    }
}

void CthFillFindResult::ClearResults()
{
    if (!m_database.IsOpen() || !m_database.DeleteAll(ETransferTable::FindResult))
        WriteLogLine("Find-result thread: the results could not be deleted", MAIN_LOG_FILE);
    // Set in any case: "Remove All" waits for it without limit.
    m_hClearedEvent->Set();
}

void CthFillFindResult::UpdateTable(platform::Message& msg)
{
    auto* request = msg.PayloadAs<CUpdateTableRequest>();
    ETransferTable table;
    if (!request || !m_database.IsOpen() || !TransferTableFromName(request->m_csTable, table))
        return;
    const CTableUpdateResult result = m_database.UpdateTableFromRecords(request->m_aRecords, table, m_databaseIdle);
    if (request->m_pWritten)
        *request->m_pWritten = result.eResult == ETableUpdate::Updated;
}

int CthFillFindResult::ExitInstance()
{
    m_database.Close();
    return CBaseConnectionClass::ExitInstance();
}
