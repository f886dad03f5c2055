// Figures of the Transfers table: adding rows one statement each (as the transfers list
// does), loading the table, and writing the records in memory back over their rows.
// The update is run at three sizes, rows and records alike, to show that it grows
// linearly; BM_MatchByTryingEveryRecord is the reference it is measured against: the
// same matching done by trying the records in turn for every row, without the database.

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_records.h"
#include "platform/waitable.h"
#include "transfers/transfer_database.h"

namespace {

using bench::BenchFolder;

CTransferRecord Download(std::int64_t i) { return bench::StoredDownload(i, 3); }

// A database with n stored downloads and the same n records in memory, made to differ.
struct Filled {
    BenchFolder folder;
    CTransferDatabase db;
    CTransferRecordArray records;
    bool ok = false;

    explicit Filled(std::int64_t n)
    {
        if (!db.OpenDatabase(folder.Path()))
            return;
        sqlite3_exec(db.Handle(), "BEGIN", nullptr, nullptr, nullptr);
        records.Reserve(static_cast<std::size_t>(n));
        for (std::int64_t i = 0; i < n; ++i) {
            CTransferRecord r = Download(i);
            if (!db.InsertRecord(ETransferTable::Transfers, r))
                return;
            r.nTransfersState = 2;
            r.dwDownloaded = static_cast<std::uint64_t>(i) * 4096;
            records.Add(r);
        }
        ok = sqlite3_exec(db.Handle(), "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
};

void BM_InsertRows(benchmark::State& state)
{
    const std::int64_t n = state.range(0);
    for (auto _ : state) {
        state.PauseTiming();
        auto folder = std::make_unique<BenchFolder>();
        auto db = std::make_unique<CTransferDatabase>();
        if (!db->OpenDatabase(folder->Path())) {
            state.SkipWithError("could not open the database");
            return;
        }
        state.ResumeTiming();
        for (std::int64_t i = 0; i < n; ++i) {
            if (!db->InsertRecord(ETransferTable::Transfers, Download(i))) {
                state.SkipWithError("insert failed");
                return;
            }
        }
        state.PauseTiming();
        db.reset();
        folder.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_InsertRows)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_LoadRecords(benchmark::State& state)
{
    Filled filled(state.range(0));
    if (!filled.ok) {
        state.SkipWithError("could not fill the table");
        return;
    }
    for (auto _ : state) {
        CTransferRecordArray rows;
        filled.db.LoadRecords(ETransferTable::Transfers, rows);
        benchmark::DoNotOptimize(rows.GetSize());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_LoadRecords)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_UpdateTableFromRecords(benchmark::State& state)
{
    Filled filled(state.range(0));
    if (!filled.ok) {
        state.SkipWithError("could not fill the table");
        return;
    }
    platform::Event idle(true, true);
    std::size_t written = 0;
    for (auto _ : state) {
        const CTableUpdateResult result =
            filled.db.UpdateTableFromRecords(filled.records, ETransferTable::Transfers, idle);
        if (result.eResult != ETableUpdate::Updated) {
            state.SkipWithError("update failed");
            return;
        }
        written = result.nRowsWritten;
    }
    state.counters["rows_written"] = static_cast<double>(written);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_UpdateTableFromRecords)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// The reference: for every row, the first record that matches, found by trying them in turn.
void BM_MatchByTryingEveryRecord(benchmark::State& state)
{
    const std::int64_t n = state.range(0);
    std::vector<CTransferRecord> rows;
    CTransferRecordArray records;
    for (std::int64_t i = 0; i < n; ++i) {
        rows.push_back(Download(i));
        records.Add(Download(i));
    }
    for (auto _ : state) {
        std::size_t matched = 0;
        for (const CTransferRecord& row : rows) {
            for (const CTransferRecord& r : records) {
                const bool samePlace =
                    r.csDownloadTo == row.csDownloadTo || r.csRealDownloadTo == row.csRealDownloadTo;
                if (samePlace && (r.csFileName == row.csFileName ||
                                  (!row.csExBlock.empty() && row.csExBlock == r.csExBlock))) {
                    ++matched;
                    break;
                }
            }
        }
        benchmark::DoNotOptimize(matched);
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_MatchByTryingEveryRecord)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
