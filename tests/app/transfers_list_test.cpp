#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "app/app_host.h"
#include "app/logging.h"
#include "app/main_frame.h"
#include "app/transfers_list.h"
#include "app/vexo_app.h"
#include "net/messages.h"
#include "platform/named_mutex.h"
#include "platform/thread.h"
#include "platform/window_table.h"
#include "support/temp_folder.h"
#include "transfers/transfer_database.h"

namespace fs = std::filesystem;
using platform::HWND;
using platform::LRESULT;
using platform::Message;

namespace {

constexpr const char* DOWNLOADS = "/home/anna/Downloads/";

CTransferRecord FtpDownload(const std::string& name, std::uint16_t state = TRANSFER_STATE_QUEUED)
{
    CTransferRecord record;
    record.csFileName = name;
    record.csProtocol = "FTP";
    record.csDestinProtocol = "FILE";
    record.csHostAddress = "ftp.example.org";
    record.csHostPort = "21";
    record.csAddress = "ftp.example.org";
    record.csUserSource = "anna";
    record.csPasswordSource = "secret";
    record.csFullFromAddress = "ftp://ftp.example.org/pub/" + name;
    record.csRealDownloadTo = DOWNLOADS;
    record.csDownloadTo = DOWNLOADS;
    record.FtpAttributes = "-rw-r--r--";
    record.qwFileSize = 10000;
    record.nTransfersState = state;
    return record;
}

CTransferRecord FtpFolder(const std::string& name)
{
    CTransferRecord record = FtpDownload(name);
    record.FtpAttributes = "drwxr-xr-x";
    record.qwFileSize = 4096;
    record.dwDownloaded = 100;
    return record;
}

// A worker thread that keeps the messages posted to it (pings aside) until WM_QUIT.
class RecordingWorker {
public:
    RecordingWorker()
    {
        thread = platform::StartThread([this] {
            Message msg;
            while (platform::GetMessage(msg)) {
                if (msg.message == WM_WORKER_PING)
                    continue;
                std::lock_guard lock(m_mutex);
                m_messages.push_back(msg.message);
                if (auto* array = msg.PayloadAs<CTransferRecordArray>(); array && !array->IsEmpty())
                    m_names.push_back((*array)[0].csFileName);
                m_arrived.notify_all();
            }
            return 0;
        });
    }
    ~RecordingWorker()
    {
        platform::PostThreadMessage(thread.id, platform::WM_QUIT);
        thread.handle.Wait(platform::INFINITE);
    }
    // The messages and the first record name of each, once count have arrived (or 10 s).
    std::vector<std::pair<std::uint32_t, std::string>> WaitFor(std::size_t count)
    {
        std::unique_lock lock(m_mutex);
        m_arrived.wait_for(lock, std::chrono::seconds(10), [&] { return m_messages.size() >= count; });
        std::vector<std::pair<std::uint32_t, std::string>> out;
        for (std::size_t i = 0; i < m_messages.size(); ++i)
            out.emplace_back(m_messages[i], i < m_names.size() ? m_names[i] : std::string());
        return out;
    }

    platform::StartedThread thread;

private:
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::vector<std::uint32_t> m_messages;
    std::vector<std::string> m_names;
};

class FakeWorkers {
public:
    CWorkerFactory Factory()
    {
        return [this](EWorkerKind, HWND) {
            workers.push_back(std::make_unique<RecordingWorker>());
            return workers.back()->thread;
        };
    }
    // The file each worker was started with, in start order.
    std::vector<std::string> StartedNames()
    {
        std::vector<std::string> names;
        for (auto& worker : workers) {
            auto got = worker->WaitFor(1);
            names.push_back(!got.empty() && got[0].first == WM_START_TRANSFER ? got[0].second : "?");
        }
        return names;
    }
    std::vector<std::unique_ptr<RecordingWorker>> workers;
};

class TransfersListTest : public testing::Test {
protected:
    void SetUp() override
    {
        platform::SetUiThread();
        platform::ResetQuit();
        originalFolder = fs::current_path().string();
        fs::create_directories(folder / "program");
    }
    void TearDown() override
    {
        Stop();
        workers.workers.clear();
        fs::current_path(originalFolder);
    }

    void Start(bool resume = true)
    {
        app = std::make_unique<CVexoApp>(folder / "program/korvalo", platform::Registry(folder / "registry"));
        app->m_workerFactory = workers.Factory();
        app->m_bResumeTransfersAtStart = resume;
        ASSERT_TRUE(app->InitInstance(host));
        frame = app->MainFrame();
        ASSERT_NE(frame->m_pTransfersList, nullptr);
        list = frame->m_pTransfersList.get();
    }
    void Stop()
    {
        if (!app)
            return;
        app->ExitInstance(0);
        app.reset();
        list = nullptr;
        frame = nullptr;
        platform::ResetQuit();
    }

    std::string WorkingFolder() const { return folder / "program/"; }

    // Rows as a previous run left them in the database.
    void Store(const std::vector<CTransferRecord>& records)
    {
        CTransferDatabase db;
        ASSERT_TRUE(db.OpenDatabase(WorkingFolder()));
        for (const CTransferRecord& record : records)
            ASSERT_TRUE(db.InsertRecord(ETransferTable::Transfers, record));
    }
    CTransferRecordArray Stored() const
    {
        CTransferDatabase db;
        CTransferRecordArray out;
        EXPECT_TRUE(db.Open(CTransferDatabase::DatabasePath(WorkingFolder())));
        EXPECT_TRUE(db.LoadRecords(ETransferTable::Transfers, out));
        return out;
    }
    const CTransferRecord* StoredByName(const CTransferRecordArray& stored, const std::string& name) const
    {
        for (const CTransferRecord& record : stored)
            if (record.csFileName == name)
                return &record;
        return nullptr;
    }
    // Waits, serving the user interface, until done() or 10 s.
    bool WaitUntil(const std::function<bool()>& done)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            platform::WaitForUiWork(10);
            platform::DispatchPendingSends();
        }
        return true;
    }

    LRESULT Event(CTransferRecord record, int code)
    {
        Message msg;
        msg.message = WM_TRANSFERS_UPDATE;
        msg.wParam = reinterpret_cast<platform::WPARAM>(&record);
        msg.lParam = code;
        return platform::SendMessage(list->m_hWnd, msg);
    }
    int RowOf(const std::string& name) const
    {
        for (std::size_t i = 0; i < list->GetCount(); ++i)
            if (list->Row(i).csFileName == name)
                return static_cast<int>(i);
        return -1;
    }
    std::string TransferLog(const std::string& name) const
    {
        std::error_code ignored;
        const std::string path = app->m_csLogsDir + name + ".log";
        return fs::exists(path, ignored) ? testsupport::ReadWholeFile(path) : std::string();
    }
    std::vector<std::string> QueuedNames() const
    {
        std::vector<std::string> names;
        for (const CTransferRecord& record : frame->m_pendingQueue)
            names.push_back(record.csFileName);
        return names;
    }

    testsupport::TempFolder folder;
    std::string originalFolder;
    CAppHost host;
    FakeWorkers workers;
    std::unique_ptr<CVexoApp> app;
    CMainFrame* frame = nullptr;
    CTransfersList* list = nullptr;
};

// ---------------------------------------------------------------------------------------
// Display texts

TEST(TransfersTextTest, SizesTransferredRatesAndTimesLeftReadAsTheListShowsThem)
{
    using namespace transferstext;
    struct SizeCase {
        std::uint64_t bytes;
        const char* text;
    } sizes[] = {
        {0, "0 Kb"},          {1, "1 Kb"},           {1023, "1 Kb"},
        {1024, "2 Kb"},       {1048576, "1,025 Kb"}, {1264777215ull, "1,235,134 Kb"},
        {5ull << 40, "5,368,709,121 Kb"},
    };
    for (const SizeCase& c : sizes)
        EXPECT_EQ(FormatSizeKb(c.bytes), c.text) << c.bytes;

    struct TransferredCase {
        std::uint64_t downloaded, size;
        const char* text;
    } transferred[] = {
        {0, 0, "0 Kb ( 100% )"},                 // a complete empty file
        {1048576, 1048576, "1,025 Kb ( 100% )"}, // complete
        {1048575, 1048576, "1,024 Kb ( 99% )"},
        {0, 1000, "0 Kb ( 0% )"},
        {500, 1000, "1 Kb ( 49% )"},             // 500 * 100 / 1001
        {6ull << 32, 8ull << 32, "25,165,825 Kb ( 74% )"},   // past 4 GiB
        {1, UINT64_MAX, "1 Kb ( 0% )"},          // the largest size does not divide by zero
    };
    for (const TransferredCase& c : transferred)
        EXPECT_EQ(FormatTransferred(c.downloaded, c.size), c.text) << c.downloaded << "/" << c.size;

    EXPECT_EQ(FormatRate(-1), "0");
    EXPECT_EQ(FormatRate(1023), "0");
    EXPECT_EQ(FormatRate(2048), "2");
    EXPECT_EQ(FormatRate(10ll << 30), "10485760");

    struct TimeCase {
        std::uint64_t seconds;
        const char* text;
    } times[] = {
        {3725, "01:02:05"}, {60, "0:01:0"}, {36000, "10:0:0"}, {0, "0:0:0"},
        {9, "0:0:09"},      {10, "0:0:10"}, {86399, "23:59:59"}, {360000, "100:0:0"},
    };
    for (const TimeCase& c : times)
        EXPECT_EQ(FormatTimeLeftSeconds(c.seconds), c.text) << c.seconds;

    EXPECT_EQ(FormatTimeLeft(10000, 5000, 2048), "0:0:02");
    EXPECT_EQ(FormatTimeLeft(3725, 0, 0), "01:02:05");   // no rate yet: one byte a second
    EXPECT_EQ(FormatTimeLeft(3725, 0, -1), "01:02:05");
    EXPECT_EQ(FormatTimeLeft(100, 200, 1), "0:0:0");     // more done than the size: nothing left
}

// ---------------------------------------------------------------------------------------
// Events, states and status texts

TEST_F(TransfersListTest, EveryEventSetsTheStateAndStatusOfItsRow)
{
    Start();
    struct Step {
        int event;
        std::function<void(CTransferRecord&)> change;
    };
    auto state = [](std::uint16_t s) { return [s](CTransferRecord& r) { r.nTransfersState = s; }; };
    auto source = [](int tries, int group) {
        return [tries, group](CTransferRecord& r) {
            r.dwTryConnecting = tries;
            r.dwCurrentGroupIndex = group;
        };
    };
    auto progress = [](CTransferRecord& r) {
        r.dwDownloaded = 5000;
        r.m_dwSpeed = 2048;
    };
    auto none = [](CTransferRecord&) {};
    // What a worker that has not heard of the pause yet sends.
    auto progressRunning = [](CTransferRecord& r) {
        r.dwDownloaded = 5000;
        r.m_dwSpeed = 2048;
        r.nTransfersState = TRANSFER_STATE_RUNNING;
    };
    struct Case {
        const char* name;
        std::vector<Step> before;   // after the row was added (state 3, "Queued")
        Step step;
        LRESULT result;
        std::uint16_t rowState;
        const char* status;
        const char* logLine;        // expected in the transfer's log, or nullptr
    } cases[] = {
        {"started", {}, {TRANSFER_EVENT_DATA_START, none}, 1, TRANSFER_STATE_RUNNING, "Queued", nullptr},
        {"progress-running", {{TRANSFER_EVENT_DATA_START, none}}, {TRANSFER_EVENT_PROGRESS, progress}, 1,
         TRANSFER_STATE_RUNNING, "Transferring", nullptr},
        {"progress-queued", {}, {TRANSFER_EVENT_PROGRESS, progress}, 1, TRANSFER_STATE_QUEUED, "Queued", nullptr},
        {"complete", {{TRANSFER_EVENT_DATA_START, none}}, {TRANSFER_EVENT_COMPLETE, none}, 1, TRANSFER_STATE_COMPLETE,
         "Complete", nullptr},
        {"queued-after-complete", {{TRANSFER_EVENT_COMPLETE, none}}, {TRANSFER_EVENT_QUEUED, none}, 1,
         TRANSFER_STATE_COMPLETE, "Complete", nullptr},
        {"any-event-of-a-paused-record", {}, {TRANSFER_EVENT_CHANGED, state(TRANSFER_STATE_PAUSED)}, 1,
         TRANSFER_STATE_PAUSED, "Paused", nullptr},
        {"queued-while-paused", {{TRANSFER_EVENT_CHANGED, state(TRANSFER_STATE_PAUSED)}},
         {TRANSFER_EVENT_QUEUED, state(TRANSFER_STATE_QUEUED)},
         1, TRANSFER_STATE_PAUSED, "Paused", nullptr},
        {"progress-while-paused", {{TRANSFER_EVENT_CHANGED, state(TRANSFER_STATE_PAUSED)}},
         {TRANSFER_EVENT_PROGRESS, progressRunning}, 0, TRANSFER_STATE_PAUSED, "Paused", "m_nTransfersState = Pause"},
        {"failed", {{TRANSFER_EVENT_DATA_START, none}}, {TRANSFER_EVENT_FAILED, state(TRANSFER_STATE_FAILED)}, 1,
         TRANSFER_STATE_FAILED, "Error", nullptr},
        {"failed-while-paused", {{TRANSFER_EVENT_CHANGED, state(TRANSFER_STATE_PAUSED)}},
         {TRANSFER_EVENT_FAILED, state(TRANSFER_STATE_FAILED)}, 0, TRANSFER_STATE_PAUSED, "Paused",
         "m_nTransfersState = Pause"},
        {"next-source", {}, {TRANSFER_EVENT_NEXT_SOURCE, source(2, 0)}, 1, TRANSFER_STATE_STARTING,
         "Connecting 2 of 1", nullptr},
        {"next-source-while-running", {{TRANSFER_EVENT_DATA_START, none}}, {TRANSFER_EVENT_NEXT_SOURCE, source(2, 0)},
         0, TRANSFER_STATE_RUNNING, "Queued", "m_nTransfersState = Started"},
        {"older-source-index", {{TRANSFER_EVENT_NEXT_SOURCE, source(1, 3)}}, {TRANSFER_EVENT_NEXT_SOURCE, source(1, 1)},
         0, TRANSFER_STATE_STARTING, "Connecting 1 of 4", "ERROR in m_dwCurrentGroupIndex"},
        {"older-attempt", {{TRANSFER_EVENT_NEXT_SOURCE, source(3, 0)}}, {TRANSFER_EVENT_NEXT_SOURCE, source(2, 0)}, 0,
         TRANSFER_STATE_STARTING, "Connecting 3 of 1", "ERROR in m_dwTryConnecting"},
        {"first-attempt-again", {{TRANSFER_EVENT_NEXT_SOURCE, source(3, 0)}},
         {TRANSFER_EVENT_NEXT_SOURCE, source(1, 1)}, 1, TRANSFER_STATE_STARTING, "Connecting 1 of 2", nullptr},
        {"source-connected", {{TRANSFER_EVENT_NEXT_SOURCE, source(1, 0)}}, {TRANSFER_EVENT_SOURCE_CONNECTED, none}, 1,
         TRANSFER_STATE_STARTING, "Connected", nullptr},
        {"out-of-sources", {{TRANSFER_EVENT_NEXT_SOURCE, source(1, 0)}}, {TRANSFER_EVENT_OUT_OF_SOURCES, none}, 1,
         TRANSFER_STATE_QUEUED, "More hosts are needed", nullptr},
        {"out-of-sources-while-running", {{TRANSFER_EVENT_DATA_START, none}}, {TRANSFER_EVENT_OUT_OF_SOURCES, none}, 0,
         TRANSFER_STATE_RUNNING, "Queued", "m_nTransfersState = Started"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CTransferRecord record = FtpDownload(std::string(c.name) + ".bin");
        ASSERT_EQ(list->AddTransfer(record), 1);
        for (const Step& step : c.before) {
            CTransferRecord sent = list->Row(static_cast<std::size_t>(RowOf(record.csFileName)));
            step.change(sent);
            Event(sent, step.event);
        }
        CTransferRecord sent = list->Row(static_cast<std::size_t>(RowOf(record.csFileName)));
        c.step.change(sent);
        EXPECT_EQ(Event(sent, c.step.event), c.result);
        const int row = RowOf(record.csFileName);
        ASSERT_GE(row, 0);
        EXPECT_EQ(list->Row(static_cast<std::size_t>(row)).nTransfersState, c.rowState);
        EXPECT_EQ(list->StatusText(static_cast<std::size_t>(row)), c.status);
        if (c.logLine) {
            EXPECT_NE(TransferLog(record.csFileName).find(c.logLine), std::string::npos);
        }
    }
}

TEST_F(TransfersListTest, ProgressFillsTheColumnsAndTheCommonTailTakesTheLogins)
{
    Start();
    CTransferRecord record = FtpDownload("movie.mkv");
    record.qwFileSize = 1048576;
    ASSERT_EQ(list->AddTransfer(record), 1);
    Event(record, TRANSFER_EVENT_DATA_START);

    CTransferRecord progress = record;
    progress.dwDownloaded = 524288;
    progress.m_dwSpeed = 4096;
    EXPECT_EQ(Event(progress, TRANSFER_EVENT_PROGRESS), 1);
    EXPECT_EQ(list->RowText(0, CTransfersList::COLUMN_SIZE), "1,025 Kb");
    EXPECT_EQ(list->RowText(0, CTransfersList::COLUMN_TRANSFERRED), "513 Kb ( 49% )");
    EXPECT_EQ(list->RowText(0, CTransfersList::COLUMN_RATE), "4");
    EXPECT_EQ(list->RowText(0, CTransfersList::COLUMN_TIME_LEFT), "0:02:08");
    EXPECT_EQ(list->RowText(0, CTransfersList::COLUMN_STATUS), "Transferring");

    CTransferRecord changed = progress;
    changed.csPasswordSource = "new secret";
    changed.m_nSocketKey = 77;
    Event(changed, TRANSFER_EVENT_CHANGED);
    EXPECT_EQ(list->Row(0).csPasswordSource, "new secret");
    EXPECT_EQ(list->Row(0).m_nSocketKey, 77);

    CTransferRecord done = progress;
    done.dwDownloaded = 1048576;
    Event(done, TRANSFER_EVENT_COMPLETE);
    EXPECT_EQ(list->RowText(0, CTransfersList::COLUMN_TRANSFERRED), "1,025 Kb ( 100% )");
    EXPECT_EQ(list->RowText(0, CTransfersList::COLUMN_STATUS), "Complete");
}

TEST_F(TransfersListTest, AJobStartAddsTheRowAndAnUnknownRecordIsLoggedAndDropped)
{
    Start();
    CTransferRecord unknown = FtpDownload("unknown.bin");
    EXPECT_EQ(Event(unknown, TRANSFER_EVENT_FAILED), 0);
    EXPECT_EQ(list->GetCount(), 0u);
    EXPECT_NE(TransferLog("unknown.bin").find("ERROR: ipIndex == -1 or ipIndex >= Count(0)"), std::string::npos);

    CTransferRecord job = FtpDownload("job.bin", TRANSFER_STATE_RUNNING);
    EXPECT_EQ(Event(job, TRANSFER_EVENT_JOB_START), 1);
    ASSERT_EQ(list->GetCount(), 1u);
    EXPECT_EQ(list->StatusText(0), "Queued");
    EXPECT_EQ(list->Row(0).nTransfersState, TRANSFER_STATE_QUEUED);
    ASSERT_NE(StoredByName(Stored(), "job.bin"), nullptr);   // inserted into the table

    // A paused record's job start adds nothing.
    CTransferRecord paused = FtpDownload("paused.bin", TRANSFER_STATE_PAUSED);
    EXPECT_EQ(Event(paused, TRANSFER_EVENT_JOB_START), 0);
    EXPECT_EQ(list->GetCount(), 1u);
}

TEST_F(TransfersListTest, FindTransferMatchesByDestinationOrByThePeerBlock)
{
    Start();
    CTransferRecord ftp = FtpDownload("same.iso");
    ftp.csRealDownloadTo = "/real/";
    ftp.csDownloadTo = "/temp/";
    ASSERT_EQ(list->AddTransfer(ftp), 1);
    CTransferRecord peer = FtpDownload("song.mp3");
    peer.csProtocol = "GNUTELLA";
    peer.csExBlock = "urn:sha1:0123456789ABCDEF0123456789ABCDEF-extra";
    ASSERT_EQ(list->AddTransfer(peer), 1);

    struct Case {
        const char* name;
        std::function<void(CTransferRecord&)> change;
        int row;
    } cases[] = {
        {"same", [](CTransferRecord&) {}, 0},
        {"other real destination, same temporary", [](CTransferRecord& r) { r.csRealDownloadTo = "/elsewhere/"; }, -1},
        {"no real destination, same temporary", [](CTransferRecord& r) { r.csRealDownloadTo.clear(); }, 0},
        {"same real destination, other temporary", [](CTransferRecord& r) { r.csDownloadTo = "/x/"; }, 0},
        {"other size", [](CTransferRecord& r) { r.qwFileSize += 1; }, -1},
        {"other case", [](CTransferRecord& r) { r.csFileName = "SAME.ISO"; }, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CTransferRecord probe = ftp;
        c.change(probe);
        EXPECT_EQ(list->FindTransfer(probe), c.row);
    }

    // A peer download is found by the first 41 characters of its block under any name.
    CTransferRecord renamed = peer;
    renamed.csFileName = "other name.mp3";
    renamed.csExBlock = "urn:sha1:0123456789ABCDEF0123456789ABCDEF-different";
    EXPECT_EQ(list->FindTransfer(renamed), 1);
    EXPECT_EQ(renamed.csExBlock, "urn:sha1:0123456789ABCDEF0123456789ABCDEF");
    renamed.csProtocol = "FTP";
    EXPECT_EQ(list->FindTransfer(renamed), -1);

    // A peer record without a block never matches a row by its (empty) block.
    CTransferRecord noBlock = FtpDownload("unrelated.bin");
    noBlock.csProtocol = "GNUTELLA";
    CTransferRecord emptyBlockRow = FtpDownload("plain.bin");
    ASSERT_EQ(list->AddTransfer(emptyBlockRow), 1);
    EXPECT_EQ(list->FindTransfer(noBlock), -1);
}

// ---------------------------------------------------------------------------------------
// Folders, loading, restarting

TEST_F(TransfersListTest, FoldersAreNeverRowsAndStoredFoldersWaitInTheFramesQueue)
{
    Store({FtpFolder("stored folder"), FtpDownload("file.bin", TRANSFER_STATE_PAUSED)});
    Start();
    EXPECT_EQ(list->GetCount(), 1u);
    EXPECT_EQ(QueuedNames(), std::vector<std::string>{"stored folder"});

    CTransferRecord folderRecord = FtpFolder("new folder");
    EXPECT_EQ(list->AddTransfer(folderRecord), 0);
    EXPECT_EQ(folderRecord.qwFileSize, 0u);
    EXPECT_EQ(folderRecord.dwDownloaded, 0u);
    EXPECT_EQ(list->GetCount(), 1u);
    CTransferRecord upper = FtpFolder("upper");
    upper.FtpAttributes = "D";
    EXPECT_EQ(list->AddTransfer(upper), 0);
    CTransferRecord member = FtpDownload("member.bin");
    member.bGnutGroupMember = 1;
    EXPECT_EQ(list->AddTransfer(member), 0);
    EXPECT_EQ(list->GetCount(), 1u);

    // Reloading reads the folder again but does not queue it twice.
    platform::SendMessage(frame->m_hWnd, WM_TRANSFERS_SAVE_OR_LOAD, 0, 0);
    EXPECT_EQ(list->GetCount(), 1u);
    EXPECT_EQ(QueuedNames(), std::vector<std::string>{"stored folder"});
}

TEST_F(TransfersListTest, AtStartRunningAndFailedTransfersAreQueuedAndStartedAgain)
{
    Store({
        FtpDownload("running.bin", TRANSFER_STATE_RUNNING),
        FtpDownload("failed.bin", TRANSFER_STATE_FAILED),
        FtpDownload("paused.bin", TRANSFER_STATE_PAUSED),
        FtpDownload("complete.bin", TRANSFER_STATE_COMPLETE),
        FtpDownload("queued.bin", TRANSFER_STATE_QUEUED),
        FtpDownload("starting.bin", TRANSFER_STATE_STARTING),
        FtpDownload("new.bin", TRANSFER_STATE_NEW),
    });
    Start();
    ASSERT_EQ(list->GetCount(), 7u);
    struct Expect {
        const char* name;
        std::uint16_t state;
        const char* status;
    } expected[] = {
        {"running.bin", TRANSFER_STATE_STARTING, "Queued"}, {"failed.bin", TRANSFER_STATE_STARTING, "Queued"},
        {"paused.bin", TRANSFER_STATE_PAUSED, "Paused"},    {"complete.bin", TRANSFER_STATE_COMPLETE, "Complete"},
        {"queued.bin", TRANSFER_STATE_STARTING, "Queued"},  {"starting.bin", TRANSFER_STATE_STARTING, "Queued"},
        {"new.bin", TRANSFER_STATE_STARTING, "Queued"},
    };
    for (std::size_t i = 0; i < 7; ++i) {
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(list->Row(i).csFileName, expected[i].name);
        EXPECT_EQ(list->Row(i).nTransfersState, expected[i].state);
        EXPECT_EQ(list->StatusText(i), expected[i].status);
    }
    EXPECT_EQ(workers.StartedNames(),
              (std::vector<std::string>{"running.bin", "failed.bin", "queued.bin", "starting.bin", "new.bin"}));
}

TEST_F(TransfersListTest, AtStartTheEleventhUnfinishedTransferWaitsInTheQueue)
{
    std::vector<CTransferRecord> stored;
    for (int i = 0; i < 12; ++i)
        stored.push_back(FtpDownload("file" + std::to_string(i) + ".bin", TRANSFER_STATE_RUNNING));
    Store(stored);
    Start();
    EXPECT_EQ(workers.workers.size(), 10u);
    EXPECT_EQ(QueuedNames(), (std::vector<std::string>{"file10.bin", "file11.bin"}));
    for (std::size_t i = 10; i < 12; ++i) {
        EXPECT_EQ(list->Row(i).nTransfersState, TRANSFER_STATE_QUEUED);
        EXPECT_EQ(list->StatusText(i), "Queued");
    }
    EXPECT_EQ(list->Row(0).nTransfersState, TRANSFER_STATE_STARTING);
}

TEST_F(TransfersListTest, ALongListStartsItsUnfinishedTransfersABatchAtATime)
{
    const std::size_t count = CTransfersList::START_BATCH * 2 + 30;
    std::vector<CTransferRecord> stored;
    for (std::size_t i = 0; i < count; ++i)
        stored.push_back(FtpDownload("file" + std::to_string(i) + ".bin", TRANSFER_STATE_QUEUED));
    stored.push_back(FtpDownload("paused.bin", TRANSFER_STATE_PAUSED));
    Store(stored);
    Start();
    ASSERT_EQ(list->GetCount(), count + 1);
    EXPECT_EQ(workers.workers.size() + QueuedNames().size(), CTransfersList::START_BATCH);
    EXPECT_TRUE(list->StartWaiting());
    EXPECT_FALSE(list->StartWaiting());
    EXPECT_EQ(workers.workers.size() + QueuedNames().size(), count);
    EXPECT_EQ(list->Row(count).nTransfersState, TRANSFER_STATE_PAUSED);
    EXPECT_FALSE(list->StartWaiting());
}

TEST_F(TransfersListTest, ReadingTheListWithoutResumingStartsNothing)
{
    Store({FtpDownload("running.bin", TRANSFER_STATE_RUNNING)});
    Start(false);
    ASSERT_EQ(list->GetCount(), 1u);
    EXPECT_EQ(list->Row(0).nTransfersState, TRANSFER_STATE_QUEUED);
    EXPECT_TRUE(workers.workers.empty());
}

TEST_F(TransfersListTest, AReloadDoesNotStartARunningTransferASecondTime)
{
    Store({FtpDownload("running.bin", TRANSFER_STATE_QUEUED)});
    Start();
    ASSERT_EQ(workers.workers.size(), 1u);
    CTransferRecord running = list->Row(0);
    running.m_dwWorkerThreadId = workers.workers[0]->thread.id;
    Event(running, TRANSFER_EVENT_DATA_START);
    ASSERT_EQ(list->Row(0).nTransfersState, TRANSFER_STATE_RUNNING);
    list->SaveTransfers();
    ASSERT_TRUE(WaitUntil([&] {
        const CTransferRecordArray now = Stored();
        return now.GetSize() == 1 && now[0].nTransfersState == TRANSFER_STATE_RUNNING;
    }));

    platform::SendMessage(frame->m_hWnd, WM_TRANSFERS_SAVE_OR_LOAD, 0, 0);
    ASSERT_EQ(list->GetCount(), 1u);
    EXPECT_EQ(workers.workers.size(), 1u);
    EXPECT_EQ(list->Row(0).nTransfersState, TRANSFER_STATE_RUNNING);
    EXPECT_EQ(list->Row(0).m_dwWorkerThreadId, workers.workers[0]->thread.id);
}

// ---------------------------------------------------------------------------------------
// Commands

TEST_F(TransfersListTest, StartSkipsRunningRowsAndStartsTheOthers)
{
    Store({FtpDownload("running.bin", TRANSFER_STATE_PAUSED), FtpDownload("paused.bin", TRANSFER_STATE_PAUSED)});
    Start();
    ASSERT_TRUE(workers.workers.empty());
    CTransferRecord running = list->Row(0);
    running.nTransfersState = TRANSFER_STATE_RUNNING;
    Event(running, TRANSFER_EVENT_DATA_START);
    ASSERT_EQ(list->Row(0).nTransfersState, TRANSFER_STATE_RUNNING);

    list->Start({0, 1, 7});
    EXPECT_EQ(workers.StartedNames(), std::vector<std::string>{"paused.bin"});
    EXPECT_EQ(list->Row(0).nTransfersState, TRANSFER_STATE_RUNNING);
    EXPECT_EQ(list->Row(1).nTransfersState, TRANSFER_STATE_STARTING);

    // Redownload skips a running row too, and starts the other from the beginning of
    // its original source.
    CTransferRecord half = list->Row(1);
    half.dwDownloaded = 5000;
    half.csOldSource = "ftps://ftp.example.org/pub";
    half.csProtocol = "FILE";
    Event(half, TRANSFER_EVENT_FAILED);
    ASSERT_EQ(list->Row(1).dwDownloaded, 5000u);
    list->Redownload({0, 1});
    ASSERT_EQ(workers.workers.size(), 2u);
    EXPECT_EQ(list->Row(1).dwDownloaded, 0u);
    EXPECT_EQ(list->Row(1).csProtocol, "FTPS");
    EXPECT_EQ(list->Row(1).csFullFromAddress, "ftps://ftp.example.org/pub/");
    EXPECT_EQ(list->Row(1).nTransfersState, TRANSFER_STATE_STARTING);
}

TEST_F(TransfersListTest, PauseStopsTheWorkerAndShowsPaused)
{
    Store({FtpDownload("a.bin", TRANSFER_STATE_QUEUED)});
    Start();
    ASSERT_EQ(workers.workers.size(), 1u);
    CTransferRecord running = list->Row(0);
    running.m_dwWorkerThreadId = workers.workers[0]->thread.id;
    Event(running, TRANSFER_EVENT_DATA_START);

    list->Pause({0});
    EXPECT_EQ(list->Row(0).nTransfersState, TRANSFER_STATE_PAUSED);
    EXPECT_EQ(list->StatusText(0), "Paused");
    auto got = workers.workers[0]->WaitFor(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1], std::make_pair(WM_PAUSE_TRANSFER, std::string("a.bin")));
}

TEST_F(TransfersListTest, DeleteRemovesRowsStopsWorkersAndAnEmptyListEmptiesTheQueue)
{
    std::vector<CTransferRecord> stored{FtpFolder("folder")};
    for (int i = 0; i < 12; ++i)
        stored.push_back(FtpDownload("file" + std::to_string(i) + ".bin", TRANSFER_STATE_RUNNING));
    Store(stored);
    Start();
    ASSERT_EQ(QueuedNames(), (std::vector<std::string>{"folder", "file10.bin", "file11.bin"}));
    for (std::size_t i = 0; i < 10; ++i) {
        CTransferRecord running = list->Row(i);
        running.m_dwWorkerThreadId = workers.workers[i]->thread.id;
        Event(running, TRANSFER_EVENT_DATA_START);
    }

    // Some rows: the queued one leaves the queue, the running one's worker is stopped.
    list->Delete({11, 0});
    EXPECT_EQ(list->GetCount(), 10u);
    EXPECT_EQ(RowOf("file0.bin"), -1);
    EXPECT_EQ(RowOf("file11.bin"), -1);
    EXPECT_EQ(QueuedNames(), (std::vector<std::string>{"folder", "file10.bin"}));
    auto got = workers.workers[0]->WaitFor(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1], std::make_pair(WM_PAUSE_TRANSFER, std::string("file0.bin")));
    CTransferRecordArray now = Stored();
    EXPECT_EQ(StoredByName(now, "file0.bin"), nullptr);
    EXPECT_EQ(StoredByName(now, "file11.bin"), nullptr);
    EXPECT_NE(StoredByName(now, "file5.bin"), nullptr);

    // All rows: the queue is emptied, folders included.
    std::vector<std::size_t> all;
    for (std::size_t i = 0; i < list->GetCount(); ++i)
        all.push_back(i);
    list->Delete(all);
    EXPECT_EQ(list->GetCount(), 0u);
    EXPECT_TRUE(QueuedNames().empty());
    EXPECT_EQ(Stored().GetSize(), 1u);   // only the folder job's row is left
}

TEST_F(TransfersListTest, RemoveAllAndRemoveByRecordTakeRowsOut)
{
    Store({FtpDownload("a.bin", TRANSFER_STATE_PAUSED), FtpDownload("b.bin", TRANSFER_STATE_PAUSED),
           FtpDownload("c.bin", TRANSFER_STATE_PAUSED)});
    Start();
    CTransferRecord b = FtpDownload("b.bin");
    platform::SendMessage(list->m_hWnd, WM_TRANSFERS_REMOVE, reinterpret_cast<platform::WPARAM>(&b), 0);
    ASSERT_EQ(list->GetCount(), 2u);
    EXPECT_EQ(RowOf("b.bin"), -1);
    EXPECT_EQ(platform::SendMessage(list->m_hWnd, WM_TRANSFERS_GET_STATE, reinterpret_cast<platform::WPARAM>(&b), 0),
              -1);
    CTransferRecord a = FtpDownload("a.bin");
    EXPECT_EQ(platform::SendMessage(list->m_hWnd, WM_TRANSFERS_GET_STATE, reinterpret_cast<platform::WPARAM>(&a), 0),
              TRANSFER_STATE_PAUSED);

    platform::SendMessage(list->m_hWnd, WM_TRANSFERS_REMOVE_ALL, 0, 0);
    EXPECT_EQ(list->GetCount(), 0u);
    EXPECT_EQ(Stored().GetSize(), 0u);
}

TEST_F(TransfersListTest, DeleteServesAWorkerThatHoldsTheQueueMutexWhileAskingTheFrame)
{
    Store({FtpDownload("a.bin", TRANSFER_STATE_PAUSED)});
    Start();
    platform::Event holding(true, false);
    bool answered = false;
    LRESULT state = 0;
    const HWND window = list->m_hWnd;
    std::thread worker([&] {
        platform::NamedMutex queue("TransfersQueueMutex");
        std::lock_guard queueLock(queue);
        platform::NamedMutex update("UPDATE");
        std::lock_guard updateLock(update);
        holding.Set();
        CTransferRecord asked = FtpDownload("a.bin");
        answered = platform::SendMessageTimeout(window, WM_TRANSFERS_GET_STATE,
                                                reinterpret_cast<platform::WPARAM>(&asked), 0, 1000, &state);
    });
    holding.Wait(platform::INFINITE);
    list->Delete({0});
    worker.join();
    EXPECT_TRUE(answered);
    EXPECT_EQ(state, TRANSFER_STATE_PAUSED);
    EXPECT_EQ(list->GetCount(), 0u);
}

TEST_F(TransfersListTest, AskIfExistsComparesNamesExactlyAndAsksTheHost)
{
    Start();
    CTransferRecord record = FtpDownload("a.txt");
    EXPECT_EQ(list->AskIfExists({}, record), ASK_NOT_THERE);
    EXPECT_EQ(list->AskIfExists({"A.TXT", "b.txt"}, record), ASK_NOT_THERE);
    EXPECT_EQ(list->AskIfExists({"b.txt", "a.txt"}, record), ASK_OVERWRITE);   // no handler: overwrite

    std::string text, title;
    int answer = 0;
    list->SetAskIfExistsHandler([&](const CTransferRecord&, const std::string& t, const std::string& h) {
        text = t;
        title = h;
        return answer;
    });
    struct Case {
        int given, result;
    } cases[] = {{ASK_OVERWRITE, ASK_OVERWRITE}, {ASK_CANCEL, ASK_CANCEL}, {ASK_SYNCHRONIZE, ASK_SYNCHRONIZE},
                 {0, ASK_CANCEL}, {ASK_NOT_THERE, ASK_CANCEL}, {-1, ASK_CANCEL}};
    for (const Case& c : cases) {
        answer = c.given;
        EXPECT_EQ(list->AskIfExists({"a.txt"}, record), c.result) << c.given;
    }
    EXPECT_EQ(text, std::string(DOWNLOADS) + "a.txt\r\nAlready exists in this place\nWhat you want to do?");
    EXPECT_EQ(title, "Already exist !!!");
}

// ---------------------------------------------------------------------------------------
// Saving

TEST_F(TransfersListTest, SavedRowsAndQueuedFoldersComeBackAfterARestart)
{
    Store({FtpFolder("folder"), FtpDownload("a.bin", TRANSFER_STATE_PAUSED)});
    Start();
    // A new transfer through the frame, as a pane queues it with a row.
    CTransferRecord b = FtpDownload("b.bin");
    b.qwFileSize = 1u << 20;
    platform::SendMessage(frame->m_hWnd, WM_QUEUE_TRANSFER, reinterpret_cast<platform::WPARAM>(&b), 1);
    ASSERT_EQ(list->GetCount(), 2u);
    CTransferRecord progress = list->Row(1);
    progress.dwDownloaded = 4321;
    Event(progress, TRANSFER_EVENT_PROGRESS);
    frame->m_pendingQueue[0].dwDownloaded = 77;

    list->OnTimer(CTransfersList::SAVE_TIMER_ID);
    ASSERT_TRUE(WaitUntil([&] {
        const CTransferRecordArray now = Stored();
        const CTransferRecord* saved = StoredByName(now, "b.bin");
        const CTransferRecord* folderRow = StoredByName(now, "folder");
        return saved && saved->dwDownloaded == 4321 && folderRow && folderRow->dwDownloaded == 77;
    }));
    Stop();

    Start(false);
    ASSERT_EQ(list->GetCount(), 2u);
    EXPECT_EQ(list->Row(0).csFileName, "a.bin");
    EXPECT_EQ(list->StatusText(0), "Paused");
    EXPECT_EQ(list->Row(1).csFileName, "b.bin");
    EXPECT_EQ(list->Row(1).dwDownloaded, 4321u);
    EXPECT_EQ(list->RowText(1, CTransfersList::COLUMN_TRANSFERRED), "5 Kb ( 0% )");
    EXPECT_EQ(QueuedNames(), std::vector<std::string>{"folder"});
}

TEST_F(TransfersListTest, TheLastSaveIsWrittenEvenWhenTheFindResultThreadIsBusy)
{
    Store({FtpDownload("a.bin", TRANSFER_STATE_QUEUED)});
    Start(false);
    // Another program keeps the database locked for a while, so the find-result thread
    // is still emptying the search results when the program ends.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(CTransferDatabase::DatabasePath(WorkingFolder()).c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    ASSERT_TRUE(platform::PostThreadMessage(frame->m_findResultThread.id, WM_CLEAR_RESULTS));
    list->OnTimer(CTransfersList::SAVE_TIMER_ID);

    CTransferRecord progress = list->Row(0);
    progress.dwDownloaded = 999;
    Event(progress, TRANSFER_EVENT_PROGRESS);
    ASSERT_EQ(list->Row(0).dwDownloaded, 999u);

    std::thread release([other] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(other);
    });
    Stop();
    release.join();
    const CTransferRecordArray now = Stored();
    ASSERT_EQ(now.GetSize(), 1u);
    EXPECT_EQ(now[0].dwDownloaded, 999u);
}

TEST_F(TransfersListTest, TheListIsTheTransfersWindowUntilTheFrameEnds)
{
    Start();
    EXPECT_EQ(app->m_hwndTransfers, list->m_hWnd);
    EXPECT_TRUE(platform::IsWindow(list->m_hWnd));
    const HWND window = list->m_hWnd;
    frame->OnDestroy();
    EXPECT_EQ(frame->m_pTransfersList, nullptr);
    EXPECT_EQ(app->m_hwndTransfers, 0u);
    EXPECT_FALSE(platform::IsWindow(window));
}

}  // namespace
