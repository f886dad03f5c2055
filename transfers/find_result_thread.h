#pragma once
// The thread that owns the slow database work of the program on a connection of its
// own: writing the transfers list back to its table, emptying the search results, and
// (later) storing and grouping them.
//
// Before a message is handled, waiting messages can go first: a waiting WM_CLEAR_RESULTS
// empties the results before anything else; a waiting WM_THREAD_SHUTDOWN ends the thread
// at once, and whatever still waits (its payloads included) is freed unhandled. Other
// messages keep their order.

#include <memory>
#include <string>

#include "net/base_connection.h"
#include "platform/waitable.h"
#include "transfers/transfer_database.h"
#include "transfers/transfer_record.h"

// Payload of WM_UPDATE_TABLE: the records to write and the table's name.
// m_pDone, when given, is set once the request has been written or dropped (the payload
// is freed either way); m_pWritten then tells which.
class CUpdateTableRequest : public platform::MessagePayload {
public:
    CUpdateTableRequest() = default;
    CUpdateTableRequest(const CUpdateTableRequest&) = delete;
    CUpdateTableRequest& operator=(const CUpdateTableRequest&) = delete;
    ~CUpdateTableRequest() override;

    CTransferRecordArray m_aRecords;
    std::string m_csTable;
    std::shared_ptr<platform::Event> m_pDone;
    std::shared_ptr<bool> m_pWritten;
};

class CthFillFindResult : public CBaseConnectionClass {
public:
    // databaseIdle is the main frame's event; it outlives this thread.
    CthFillFindResult(std::string workingFolder, platform::Event& databaseIdle);

    bool InitInstance() override;
    bool PreTranslateMessage(platform::Message& msg) override;
    int ExitInstance() override;

    // Set while no message is being handled. Shared so that others can keep it beyond
    // the end of the thread (the thread deletes this object).
    std::shared_ptr<platform::Event> m_hIdleEvent = std::make_shared<platform::Event>(true, false);
    // Set when the results have been emptied (WM_CLEAR_RESULTS); whoever waits for it
    // resets it before posting.
    std::shared_ptr<platform::Event> m_hClearedEvent = std::make_shared<platform::Event>(true, false);

private:
    void Dispatch(platform::Message& msg);
    void ClearResults();
    void UpdateTable(platform::Message& msg);

    std::string m_csWorkingFolder;
    platform::Event& m_databaseIdle;
    CTransferDatabase m_database;
};
