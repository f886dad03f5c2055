#pragma once
// The thread that owns the slow database work of the program on a connection of its
// own: writing the transfers list back to its table, and (later) the search results.

#include <string>

#include "net/base_connection.h"
#include "platform/waitable.h"
#include "transfers/transfer_database.h"
#include "transfers/transfer_record.h"

// Payload of WM_UPDATE_TABLE: the records to write and the table's name.
class CUpdateTableRequest : public platform::MessagePayload {
public:
    CTransferRecordArray m_aRecords;
    std::string m_csTable;
};

class CthFillFindResult : public CBaseConnectionClass {
public:
    // databaseIdle is the main frame's event; it outlives this thread.
    CthFillFindResult(std::string workingFolder, platform::Event& databaseIdle);

    bool InitInstance() override;
    bool PreTranslateMessage(platform::Message& msg) override;
    int ExitInstance() override;

    // Set while no message is being handled.
    platform::Event m_hIdleEvent{true, false};

private:
    std::string m_csWorkingFolder;
    platform::Event& m_databaseIdle;
    CTransferDatabase m_database;
};
