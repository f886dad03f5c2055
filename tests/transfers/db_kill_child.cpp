// Helper of the kill test: inserts numbered rows into the Transfers table one at a time
// and prints each number once its row is committed, until it is killed. Every few
// hundred rows it also rewrites the whole table in one update transaction, so that a
// kill can land inside a large transaction as well.
//
// Usage: db_kill_child <database file> <first number>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/waitable.h"
#include "transfers/transfer_database.h"

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    CTransferDatabase db;
    if (!db.Open(argv[1]) || !db.CreateTables()) {
        std::fprintf(stderr, "db_kill_child: %s\n", db.Error().c_str());
        return 1;
    }
    platform::Event idle(true, true);
    CTransferRecord record;
    record.csDownloadTo = "/downloads/";
    record.csFolder = std::string(400, 'f');
    for (long number = std::strtol(argv[2], nullptr, 10);; ++number) {
        record.csFileName = "file-" + std::to_string(number);
        record.nGlobalFileIndex = static_cast<std::int32_t>(number);
        if (!db.InsertRecord(ETransferTable::Transfers, record)) {
            std::fprintf(stderr, "db_kill_child: %s\n", db.Error().c_str());
            return 1;
        }
        std::printf("%ld\n", number);
        std::fflush(stdout);

        if (number % 300 == 0) {
            CTransferRecordArray rows;
            if (db.LoadRecords(ETransferTable::Transfers, rows)) {
                for (CTransferRecord& row : rows)
                    row.nTransfersState = static_cast<std::uint16_t>(number % 7);
                db.UpdateTableFromRecords(rows, ETransferTable::Transfers, idle);
            }
        }
    }
}
