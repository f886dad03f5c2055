// Figures of the transfers list with 10,000 transfers, on the user-interface thread:
// - BM_SaveTransfers: one periodic save as the caller pays it (the copy and the post);
//   the find-result thread's write is waited for outside the timing;
// - BM_SaveWrittenByTheFindResultThread: the same save until it is in the file;
// - BM_StartWithStoredTransfers: a start-up that loads the stored rows, paused ones
//   (nothing starts) and unfinished ones (ten start, the rest wait in the queue).

#include <algorithm>
#include <chrono>
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/app_host.h"
#include "bench/bench_records.h"
#include "app/main_frame.h"
#include "app/transfers_list.h"
#include "app/vexo_app.h"
#include "net/messages.h"
#include "platform/thread.h"
#include "platform/window_table.h"
#include "transfers/find_result_thread.h"
#include "transfers/transfer_database.h"

namespace {

constexpr int ROWS = 10000;

// The program's folders inside a scratch folder.
class BenchFolder {
public:
    BenchFolder() { std::filesystem::create_directories(m_folder.Path() + "/program"); }
    std::string Program() const { return m_folder.Path() + "/program/korvalo"; }
    std::string Working() const { return m_folder.Path() + "/program/"; }
    std::string Registry() const { return m_folder.Path() + "/registry"; }

private:
    bench::BenchFolder m_folder;
};

void StoreRows(const BenchFolder& folder, std::uint16_t state)
{
    CTransferDatabase db;
    if (!db.OpenDatabase(folder.Working()))
        std::abort();
    sqlite3_exec(db.Handle(), "BEGIN", nullptr, nullptr, nullptr);
    for (int i = 0; i < ROWS; ++i)
        db.InsertRecord(ETransferTable::Transfers, bench::StoredDownload(i, state));
    sqlite3_exec(db.Handle(), "COMMIT", nullptr, nullptr, nullptr);
}

// Workers that only wait for WM_QUIT.
class IdleWorkers {
public:
    ~IdleWorkers()
    {
        for (const platform::StartedThread& t : m_threads) {
            platform::PostThreadMessage(t.id, platform::WM_QUIT);
            platform::ThreadHandle handle = t.handle;
            handle.Wait(platform::INFINITE);
        }
    }
    CWorkerFactory Factory()
    {
        return [this](EWorkerKind, platform::HWND) {
            m_threads.push_back(platform::StartThread([] {
                platform::Message msg;
                while (platform::GetMessage(msg)) {
                }
                return 0;
            }));
            return m_threads.back();
        };
    }

private:
    std::vector<platform::StartedThread> m_threads;
};

struct RunningApp {
    explicit RunningApp(const BenchFolder& folder, bool resume, IdleWorkers& workers)
        : app(folder.Program(), platform::Registry(folder.Registry()))
    {
        platform::SetUiThread();
        platform::ResetQuit();
        app.m_workerFactory = workers.Factory();
        app.m_bResumeTransfersAtStart = resume;
        ok = app.InitInstance(host);
    }
    ~RunningApp()
    {
        app.ExitInstance(0);
        platform::ResetQuit();
    }
    CTransfersList& List() { return *app.MainFrame()->m_pTransfersList; }

    CAppHost host;
    CVexoApp app;
    bool ok = false;
};

// Waits until the find-result thread has handled everything posted before.
void WaitForFindResultThread(CMainFrame& frame)
{
    auto done = std::make_shared<platform::Event>(true, false);
    auto request = std::make_unique<CUpdateTableRequest>();
    request->m_csTable = "Transfers";
    request->m_pDone = done;
    platform::PostThreadMessage(frame.m_findResultThread.id, WM_UPDATE_TABLE, 0, 0, std::move(request));
    platform::WaitPumpingSends(*done);
}

void BM_SaveTransfers(benchmark::State& state)
{
    BenchFolder folder;
    StoreRows(folder, TRANSFER_STATE_PAUSED);
    IdleWorkers workers;
    RunningApp running(folder, false, workers);
    if (!running.ok || running.List().GetCount() != ROWS) {
        state.SkipWithError("start failed");
        return;
    }
    for (auto _ : state) {
        running.List().SaveTransfers();
        state.PauseTiming();
        WaitForFindResultThread(*running.app.MainFrame());
        state.ResumeTiming();
    }
    state.counters["rows"] = ROWS;
}
BENCHMARK(BM_SaveTransfers)->Unit(benchmark::kMillisecond);

void BM_SaveWrittenByTheFindResultThread(benchmark::State& state)
{
    BenchFolder folder;
    StoreRows(folder, TRANSFER_STATE_PAUSED);
    IdleWorkers workers;
    RunningApp running(folder, false, workers);
    if (!running.ok) {
        state.SkipWithError("start failed");
        return;
    }
    for (auto _ : state) {
        running.List().SaveTransfers();
        WaitForFindResultThread(*running.app.MainFrame());
    }
    state.counters["rows"] = ROWS;
}
BENCHMARK(BM_SaveWrittenByTheFindResultThread)->Unit(benchmark::kMillisecond);

// arg 0: every stored row paused; arg 1: every stored row unfinished (restarted).
// The time is the start-up; "longestBatchMs" the longest later call that starts the
// rest, "restMs" all of them together (each is one stretch of the user-interface thread).
void BM_StartWithStoredTransfers(benchmark::State& state)
{
    BenchFolder folder;
    const bool unfinished = state.range(0) == 1;
    StoreRows(folder, unfinished ? TRANSFER_STATE_QUEUED : TRANSFER_STATE_PAUSED);
    std::size_t rows = 0;
    double longestBatchMs = 0;
    double restMs = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto workers = std::make_unique<IdleWorkers>();
        state.ResumeTiming();
        auto running = std::make_unique<RunningApp>(folder, true, *workers);
        state.PauseTiming();
        if (!running->ok) {
            state.SkipWithError("start failed");
            return;
        }
        for (bool more = true; more;) {
            const auto begin = std::chrono::steady_clock::now();
            more = running->List().StartWaiting();
            const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
            longestBatchMs = std::max(longestBatchMs, ms);
            restMs += ms;
        }
        rows = running->List().GetCount();
        running.reset();
        workers.reset();
        state.ResumeTiming();
    }
    state.counters["rows"] = static_cast<double>(rows);
    state.counters["longestBatchMs"] = longestBatchMs;
    state.counters["restMs"] = restMs / static_cast<double>(state.iterations());
}
BENCHMARK(BM_StartWithStoredTransfers)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
