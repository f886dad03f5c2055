#include <gtest/gtest.h>

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <random>
#include <thread>

#include "app/vexo_app.h"
#include "engine/command_protocol.h"
#include "net/messages.h"
#include "net/socket_registry.h"
#include "platform/thread.h"
#include "platform/window_table.h"
#include "support/fake_tcp_server.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::ReadWholeFile;
using testsupport::WriteWholeFile;

namespace {

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Stands in for the main frame: keeps a copy of every record it is sent, and lets every
// job start unless told otherwise.
class FakeFrame : public platform::WindowTarget {
public:
    struct Sent {
        std::uint32_t message;
        platform::LPARAM lParam;
        CTransferRecord record;
        Clock::time_point at;
    };

    platform::LRESULT WindowProc(platform::Message& msg) override
    {
        Sent entry{msg.message, msg.lParam, {}, Clock::now()};
        if (auto* record = msg.PayloadAs<CTransferRecord>())
            entry.record = *record;
        else if (msg.wParam != 0)
            entry.record = *reinterpret_cast<const CTransferRecord*>(msg.wParam);
        sent.push_back(std::move(entry));
        if (msg.message == WM_TRANSFER_EVENT && msg.lParam == TRANSFER_EVENT_JOB_START)
            return jobStartAnswer;
        return 1;
    }

    std::vector<Sent> Of(std::uint32_t message) const
    {
        std::vector<Sent> found;
        for (const Sent& entry : sent)
            if (entry.message == message)
                found.push_back(entry);
        return found;
    }

    std::vector<Sent> sent;
    platform::LRESULT jobStartAnswer = 1;
};

// The engine with its two outward steps replaced. Without a step of the test, Connect
// succeeds and RunJob reports a started data phase.
class StubEngine : public CCommandProtocol {
public:
    int Connect(const std::string& address) override
    {
        connectAddresses.push_back(address);
        return onConnect ? onConnect(*this, address) : 1;
    }
    int RunJob() override
    {
        ++runJobCalls;
        return onRunJob ? onRunJob(*this) : 1;
    }

    std::function<int(StubEngine&, const std::string&)> onConnect;
    std::function<int(StubEngine&)> onRunJob;
    std::vector<std::string> connectAddresses;
    int runJobCalls = 0;
};

// Handler calls in order, readable from another thread.
class Trace {
public:
    void Note(const std::string& call)
    {
        std::lock_guard lock(m_mutex);
        m_calls.push_back(call);
    }
    std::vector<std::string> Calls()
    {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_calls;
};

std::string FirstName(const platform::Message& msg)
{
    auto* records = msg.PayloadAs<CTransferRecordArray>();
    return records && !records->IsEmpty() ? (*records)[0].csFileName : "?";
}

// Notes which handler each message reached. A WM_FILE_OPERATION with lParam 0 keeps the
// thread busy until `release` is set, so that messages can pile up behind it.
class RecordingEngine : public CCommandProtocol {
public:
    explicit RecordingEngine(std::shared_ptr<Trace> trace, platform::Event* busy = nullptr,
                             platform::Event* release = nullptr)
        : m_trace(std::move(trace)), m_busy(busy), m_release(release)
    {
    }

    int OnConnectSession(platform::HWND) override { return Note("connect"); }
    int OnDownloadEnd() override { return Note("end"); }
    int OnStopWorker() override
    {
        Note("stop");
        return m_bStopEnds ? CCommandProtocol::OnStopWorker() : 1;
    }
    int OnStartTransfer(platform::Message& msg) override { return Note("start " + FirstName(msg)); }
    int OnRefreshList() override { return Note("refresh"); }
    int OnDirUp() override { return Note("up"); }
    int OnPauseTransfer(platform::Message& msg) override { return Note("pause " + FirstName(msg)); }
    int OnFileOperation(platform::Message& msg) override
    {
        Note("fileop " + std::to_string(msg.lParam));
        if (msg.lParam == 0 && m_busy) {
            m_busy->Set();
            m_release->Wait(5000);
        }
        return 1;
    }
    int OnMakeDir(platform::Message& msg) override
    {
        auto* text = msg.PayloadAs<platform::TextPayload>();
        return Note("mkdir " + (text ? text->m_csText : std::string("?")));
    }
    int OnTransferProgress(std::uint64_t bytes) override { return Note("progress " + std::to_string(bytes)); }
    int OnDataSocket(SOCKET socket) override { return Note("socket " + std::to_string(socket)); }
    int OnTransferError() override { return Note("error"); }
    int OnContinueJob() override { return Note("continue"); }

    bool m_bStopEnds = true;

private:
    int Note(const std::string& call)
    {
        m_trace->Note(call);
        return 1;
    }
    std::shared_ptr<Trace> m_trace;
    platform::Event* m_busy;
    platform::Event* m_release;
};

CTransferRecord MakeJob(const std::string& name, const std::string& protocol, const std::string& destinProtocol,
                        std::uint64_t size, std::uint64_t done = 0, std::uint16_t state = STATE_RUNNING)
{
    CTransferRecord record;
    record.csFileName = name;
    record.csProtocol = protocol;
    record.csDestinProtocol = destinProtocol;
    record.qwFileSize = size;
    record.dwDownloaded = done;
    record.nTransfersState = state;
    record.csDownloadTo = "/dl/";
    record.csRealDownloadTo = "/dl/";
    record.FtpAttributes = "-rw-r--r--";
    return record;
}

std::unique_ptr<CTransferRecordArray> OneRecord(const CTransferRecord& record)
{
    auto records = std::make_unique<CTransferRecordArray>();
    records->Add(record);
    return records;
}

// The test thread is the user-interface thread (it registers the fake frame) and, for
// engines that are called directly, also the engine's own thread.
class Engine : public testing::Test {
protected:
    void SetUp() override
    {
        platform::SetUiThread();
        app.m_csLogsDir = folder / "logs/";
        fs::create_directories(app.m_csLogsDir);
        tempDir = folder / "TEMP/";
        fs::create_directories(tempDir);
        frameWindow = platform::RegisterWindow(&frame);
    }
    void TearDown() override { platform::UnregisterWindow(frameWindow); }

    void Adopt(CCommandProtocol& engine)
    {
        engine.m_nThreadID = queue.Id();
        engine.m_dwOwnThreadId = queue.Id();
        engine.m_pMainWnd = frameWindow;
        engine.m_csTempDir = tempDir;
    }
    // Runs what waits in the test thread's queue through the engine's dispatcher, as its
    // loop would; returns the numbers of the messages taken. Stops at WM_QUIT (left out).
    std::vector<std::uint32_t> Pump(CCommandProtocol& engine, std::size_t limit = 1000)
    {
        std::vector<std::uint32_t> taken;
        platform::Message msg;
        bool quit = false;
        while (taken.size() < limit && platform::GetMessageTimeout(msg, 0, quit) && !quit) {
            taken.push_back(msg.message);
            engine.PreTranslateMessage(msg);
            msg = platform::Message();
        }
        return taken;
    }
    std::vector<std::uint32_t> Waiting()
    {
        std::vector<std::uint32_t> numbers;
        platform::Message msg;
        bool quit = false;
        while (platform::GetMessageTimeout(msg, 0, quit))
            numbers.push_back(msg.message);
        return numbers;
    }
    std::string TransferLog(const std::string& name) { return ReadWholeFile(app.m_csLogsDir + name + ".log"); }
    // Serves the sends of other threads until done() or 10 s.
    static bool WaitUntil(const std::function<bool()>& done)
    {
        const auto deadline = Clock::now() + 10s;
        while (!done()) {
            if (Clock::now() > deadline)
                return false;
            platform::WaitForUiWork(10);
            platform::DispatchPendingSends();
        }
        return true;
    }

    testsupport::TempFolder folder;
    CVexoApp app{folder / "program/korvalo", platform::Registry(folder / "registry")};
    std::string tempDir;
    platform::ThreadQueueScope queue;
    FakeFrame frame;
    platform::HWND frameWindow = 0;
};

// --- Dispatch ---------------------------------------------------------------------------

TEST_F(Engine, PendingRefreshesRunFirstThenUpThenTheOthersInTheirOrder)
{
    auto trace = std::make_shared<Trace>();
    platform::Event busy(true, false), release(true, false);
    platform::StartedThread worker =
        BeginWorkerThread(std::make_unique<RecordingEngine>(trace, &busy, &release), frameWindow);
    ASSERT_NE(worker.id, 0u);
    platform::PostThreadMessage(worker.id, WM_FILE_OPERATION, 0, 0);
    ASSERT_EQ(busy.Wait(5000), platform::WAIT_OBJECT_0);

    // All of these arrive while the first handler is still busy.
    platform::PostThreadMessage(worker.id, WM_MAKE_DIR, 0, 0, std::make_unique<platform::TextPayload>("new folder"));
    platform::PostThreadMessage(worker.id, WM_DIR_UP);
    platform::PostThreadMessage(worker.id, WM_REFRESH_LIST);
    platform::PostThreadMessage(worker.id, WM_FILE_OPERATION, 0, 2);
    platform::PostThreadMessage(worker.id, WM_REFRESH_LIST);
    release.Set();

    const std::vector<std::string> expected = {"fileop 0", "refresh",         "refresh",
                                               "up",       "mkdir new folder", "fileop 2"};
    const auto deadline = Clock::now() + 5s;
    while (trace->Calls().size() < expected.size() && Clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(trace->Calls(), expected);

    platform::PostThreadMessage(worker.id, WM_STOP_WORKER);
    EXPECT_EQ(worker.handle.Wait(5000), platform::WAIT_OBJECT_0);
}

TEST_F(Engine, WhileNotReadyEveryCommandWaitsInTheQueueWithItsPayloadAndRunsOnceReady)
{
    auto trace = std::make_shared<Trace>();
    RecordingEngine engine(trace);
    engine.m_bStopEnds = false;
    Adopt(engine);
    engine.m_bReady = false;

    struct Command {
        std::uint32_t message;
        platform::WPARAM wParam;
        platform::LPARAM lParam;
        std::function<std::unique_ptr<platform::MessagePayload>()> payload;
        std::string call;
    };
    const std::vector<Command> commands = {
        {WM_CONNECT_SESSION, 0, 0, nullptr, "connect"},
        {WM_DOWNLOAD_END, 0, 0, nullptr, "end"},
        {WM_STOP_WORKER, 0, 0, nullptr, "stop"},
        {WM_START_TRANSFER, 0, 0, [] { return OneRecord(MakeJob("a.bin", "FTP", "FILE", 1)); }, "start a.bin"},
        {WM_PAUSE_TRANSFER, 0, 0, [] { return OneRecord(MakeJob("b.bin", "FTP", "FILE", 1)); }, "pause b.bin"},
        {WM_FILE_OPERATION, 0, 7, nullptr, "fileop 7"},
        {WM_MAKE_DIR, 0, 0, [] { return std::make_unique<platform::TextPayload>("sub"); }, "mkdir sub"},
        {WM_TRANSFER_PROGRESS, 4096, 0, nullptr, "progress 4096"},
        {WM_DATA_SOCKET, 9, 0, nullptr, "socket 9"},
        {WM_TRANSFER_ERROR, 0, 0, nullptr, "error"},
        {WM_CONTINUE_JOB, 0, 0, nullptr, "continue"},
        {WM_REFRESH_LIST, 0, 0, nullptr, "refresh"},
        {WM_DIR_UP, 0, 0, nullptr, "up"},
    };
    for (const Command& command : commands)
        platform::PostThreadMessage(queue.Id(), command.message, command.wParam, command.lParam,
                                    command.payload ? command.payload() : nullptr);

    // Three rounds through the queue: nothing runs, nothing is lost.
    Pump(engine, 3 * commands.size());
    EXPECT_TRUE(trace->Calls().empty());
    EXPECT_EQ(platform::PendingMessageCount(), commands.size());

    engine.m_bReady = true;
    Pump(engine);
    std::vector<std::string> calls = trace->Calls();
    ASSERT_EQ(calls.size(), commands.size());
    EXPECT_EQ(calls[0], "refresh");
    EXPECT_EQ(calls[1], "up");
    std::vector<std::string> expected;
    for (const Command& command : commands)
        expected.push_back(command.call);
    std::sort(calls.begin(), calls.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(calls, expected);
}

TEST_F(Engine, WhileNotReadyAJobHandedOverGoesToTheQueueAndAReplacedJobTakesEffect)
{
    StubEngine engine;
    Adopt(engine);
    engine.m_bReady = false;

    platform::PostThreadMessage(queue.Id(), WM_SET_TRANSFER, 0, 0, OneRecord(MakeJob("set.bin", "FTP", "FILE", 5)));
    platform::PostThreadMessage(queue.Id(), WM_WORKER_PING);
    CTransferRecord handedOver = MakeJob("handed.bin", "FTP", "FILE", 5, 0, STATE_QUEUED);
    handedOver.csRealDownloadTo = "/elsewhere/";
    platform::PostThreadMessage(queue.Id(), WM_RESUME_TRANSFER, 0, 0, OneRecord(handedOver));
    EXPECT_EQ(Pump(engine).size(), 3u) << "none of them comes back";

    ASSERT_EQ(engine.m_aJob.GetSize(), 1u);
    EXPECT_EQ(engine.m_aJob[0].csFileName, "set.bin");
    const auto queued = frame.Of(WM_QUEUE_TRANSFER);
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(queued[0].record.csFileName, "handed.bin");
    EXPECT_EQ(queued[0].lParam, 1);
    const std::string log = TransferLog("handed.bin");
    EXPECT_TRUE(Has(log, "Enter to resume thread")) << log;
    EXPECT_TRUE(Has(log, "Add to queue and return TRUE")) << log;
    EXPECT_EQ(engine.runJobCalls, 0);
}

// --- Progress -----------------------------------------------------------------------------

TEST_F(Engine, WaitingProgressIsCollapsedIntoTheLastAndTheEndOfAFileIsReportedAtOnce)
{
    StubEngine engine;
    Adopt(engine);
    engine.m_aJob.Add(MakeJob("collapse.bin", "HTTP", "FILE", 1000));
    platform::PostThreadMessage(queue.Id(), WM_TRANSFER_PROGRESS, 300);
    platform::PostThreadMessage(queue.Id(), WM_REFRESH_LIST);
    platform::PostThreadMessage(queue.Id(), WM_TRANSFER_PROGRESS, 700);
    platform::PostThreadMessage(queue.Id(), WM_TRANSFER_PROGRESS, 1000);

    // The one-second timer of this new engine has not fired: only the end of the file passes.
    EXPECT_EQ(engine.OnTransferProgress(100), 1);
    EXPECT_EQ(engine.Job()->dwDownloaded, 1000u);
    const auto reports = frame.Of(WM_NOTIFY_PROGRESS);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].record.dwDownloaded, 1000u);
    EXPECT_EQ(Waiting(), std::vector<std::uint32_t>{WM_REFRESH_LIST}) << "other messages stay";

    // A job that is not running takes the count but is not reported.
    StubEngine idle;
    Adopt(idle);
    idle.m_aJob.Add(MakeJob("idle.bin", "HTTP", "FILE", 1000, 0, STATE_QUEUED));
    EXPECT_EQ(idle.OnTransferProgress(1000), 1);
    EXPECT_EQ(idle.Job()->dwDownloaded, 1000u);
    EXPECT_EQ(frame.Of(WM_NOTIFY_PROGRESS).size(), 1u);
}

TEST_F(Engine, ProgressReachesTheFrameAtMostOnceASecond)
{
    const Clock::time_point before = Clock::now();
    StubEngine engine;
    Adopt(engine);
    const std::uint64_t size = 1ULL << 40;
    engine.m_aJob.Add(MakeJob("paced.bin", "HTTP", "FILE", size));

    std::uint64_t bytes = 0;
    while (Clock::now() - before < 1500ms) {
        bytes += 4096;
        engine.OnTransferProgress(bytes);
        std::this_thread::sleep_for(5ms);
    }
    auto reports = frame.Of(WM_NOTIFY_PROGRESS);
    ASSERT_EQ(reports.size(), 1u) << "about 250 progress messages in 1.5 s";
    EXPECT_GE(reports[0].at - before, 1000ms);
    EXPECT_GT(reports[0].record.dwDownloaded, 0u);

    // The end of the file comes well within the next second and is not held back.
    engine.OnTransferProgress(size);
    reports = frame.Of(WM_NOTIFY_PROGRESS);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].record.dwDownloaded, size);
}

TEST_F(Engine, TheShownRateChangesOnlyWhenItMovedByMoreThanTenPercent)
{
    struct Case {
        const char* name;
        std::int64_t shown;      // m_dwSpeed before the report; -1 not measured yet
        int percentOfBase;       // the rate the next report measures, in % of 1 MB/s
        std::uint64_t resumeAt;  // dwDownloaded when the data phase starts
        bool changes;
    };
    const std::int64_t base = 1'000'000;
    const std::vector<Case> cases = {
        {"3 % faster", base, 103, 0, false},
        {"3 % slower", base, 97, 0, false},
        {"25 % faster", base, 125, 0, true},
        {"halved", base, 50, 0, true},
        {"first measurement", -1, 100, 0, true},
        {"resumed at 5 GiB: only this data phase counts", -1, 100, 5ULL << 30, true},
    };

    // One engine per case, so all share one wait for the one-second timer.
    std::vector<std::unique_ptr<StubEngine>> engines;
    std::vector<Clock::time_point> startLow, startHigh;
    for (const Case& c : cases) {
        startLow.push_back(Clock::now());
        engines.push_back(std::make_unique<StubEngine>());
        StubEngine& engine = *engines.back();
        Adopt(engine);
        engine.m_aJob.Add(MakeJob(c.name, "HTTP", "FILE", 1ULL << 40, c.resumeAt, STATE_QUEUED));
        engine.OnDataSocket(1234);
        startHigh.push_back(Clock::now());
        engine.Job()->m_dwSpeed = c.shown;
    }
    std::this_thread::sleep_for(1050ms);

    auto ms = [](Clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        StubEngine& engine = *engines[i];
        const Clock::time_point callStart = Clock::now();
        const auto elapsedUs =
            std::chrono::duration_cast<std::chrono::microseconds>(callStart - startLow[i]).count();
        const std::uint64_t delta = static_cast<std::uint64_t>(base * c.percentOfBase / 100 * elapsedUs / 1'000'000);
        const std::size_t reportsBefore = frame.Of(WM_NOTIFY_PROGRESS).size();
        engine.OnTransferProgress(c.resumeAt + delta);
        const Clock::time_point callEnd = Clock::now();
        EXPECT_EQ(frame.Of(WM_NOTIFY_PROGRESS).size(), reportsBefore + 1) << c.name;

        // The engine measured from some moment of OnDataSocket to some moment of the call.
        auto rateOver = [&](Clock::duration d) {
            return static_cast<std::int64_t>(delta * 1000 / static_cast<std::uint64_t>(std::max<std::int64_t>(1, ms(d))));
        };
        const std::int64_t slowest = rateOver(callEnd - startLow[i]);
        const std::int64_t fastest = rateOver(callStart - startHigh[i]);
        const std::int64_t speed = engine.Job()->m_dwSpeed;
        if (c.changes) {
            EXPECT_GE(speed, slowest) << c.name;
            EXPECT_LE(speed, fastest) << c.name;
        } else {
            EXPECT_EQ(speed, c.shown) << c.name;
        }
    }
}

// The data phase ran on the engine thread itself (as with TLS on HTTP): when its end is
// handled, its progress still waits in the queue, and a second WM_DOWNLOAD_END behind it.
TEST_F(Engine, ADataPhaseOnTheEngineThreadCompletesAndTheSecondEndChangesNothing)
{
    StubEngine engine;
    Adopt(engine);
    const std::uint64_t size = 3 * 65536;
    engine.onRunJob = [&](StubEngine& self) {
        platform::PostThreadMessage(queue.Id(), WM_DATA_SOCKET, 77);
        for (std::uint64_t done = 65536; done <= size; done += 65536)
            platform::PostThreadMessage(queue.Id(), WM_TRANSFER_PROGRESS, done);
        platform::PostThreadMessage(self.m_dwOwnThreadId, WM_DOWNLOAD_END);
        return 0;
    };
    CTransferRecord job = MakeJob("inline.bin", "HTTP", "FILE", size, 0, STATE_QUEUED);
    job.csAddress = "https://www.example.org/update/";
    job.bSsl = 1;
    platform::PostThreadMessage(queue.Id(), WM_START_TRANSFER, 0, 0, OneRecord(job));
    ASSERT_EQ(Pump(engine, 2), (std::vector<std::uint32_t>{WM_START_TRANSFER, WM_CONNECT_SESSION}));

    EXPECT_EQ(engine.connectAddresses, std::vector<std::string>{"www.example.org"});
    EXPECT_TRUE(engine.m_bTls);
    EXPECT_EQ(engine.runJobCalls, 1);
    EXPECT_TRUE(engine.m_aJob.IsEmpty());
    const auto complete = frame.Of(WM_NOTIFY_COMPLETE);
    ASSERT_EQ(complete.size(), 1u) << "a file that arrived whole is complete";
    EXPECT_EQ(complete[0].record.nTransfersState, STATE_COMPLETE);
    EXPECT_EQ(complete[0].record.dwDownloaded, size);
    EXPECT_TRUE(frame.Of(WM_QUEUE_TRANSFER).empty()) << "and not queued again";
    const std::string log = TransferLog("inline.bin");
    EXPECT_TRUE(Has(log, "send 'transfers complete'")) << log;

    // What is left (the second end among it), and a failure report after it, find no job.
    const std::size_t sentBefore = frame.sent.size();
    platform::PostThreadMessage(queue.Id(), WM_TRANSFER_ERROR);
    const std::vector<std::uint32_t> rest = Pump(engine);
    EXPECT_EQ(std::count(rest.begin(), rest.end(), WM_DOWNLOAD_END), 1);
    EXPECT_EQ(std::count(rest.begin(), rest.end(), WM_CONTINUE_JOB), 1) << "the one the first end posted";
    EXPECT_EQ(frame.sent.size(), sentBefore);
    EXPECT_TRUE(engine.m_aJob.IsEmpty());
    EXPECT_TRUE(Waiting().empty());
    EXPECT_EQ(TransferLog("inline.bin"), log);
}

TEST_F(Engine, TheLastProgressBehindTheEndOfTheDataPhaseStillCounts)
{
    // A refresh from the pane arrives behind the data thread's last messages: taking it
    // first puts the final progress behind the end of the data phase.
    StubEngine engine;
    Adopt(engine);
    engine.m_aJob.Add(MakeJob("late.bin", "FTP", "FILE", 1000, 600));
    platform::PostThreadMessage(queue.Id(), WM_TRANSFER_PROGRESS, 1000);
    platform::PostThreadMessage(queue.Id(), WM_DOWNLOAD_END);
    platform::PostThreadMessage(queue.Id(), WM_REFRESH_LIST);
    Pump(engine);

    EXPECT_EQ(frame.Of(WM_NOTIFY_COMPLETE).size(), 1u);
    EXPECT_TRUE(frame.Of(WM_QUEUE_TRANSFER).empty());
    const auto reports = frame.Of(WM_NOTIFY_PROGRESS);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().record.dwDownloaded, 1000u);
}

TEST_F(Engine, HandlersWithoutAJobLeaveEverythingAsItWas)
{
    StubEngine engine;
    Adopt(engine);
    auto paused = std::make_unique<CTransferRecordArray>();
    paused->Add(MakeJob("other.bin", "FTP", "FILE", 10));
    platform::Message pause;
    pause.message = WM_PAUSE_TRANSFER;
    pause.payload = std::move(paused);

    EXPECT_EQ(engine.OnDownloadEnd(), 1);
    EXPECT_EQ(engine.OnDownloadEnd(), 1);
    EXPECT_EQ(engine.OnTransferError(), 0);
    EXPECT_EQ(engine.OnTransferProgress(10), 0);
    EXPECT_EQ(engine.OnDataSocket(5), 0);
    EXPECT_EQ(engine.OnPauseTransfer(pause), 1);
    EXPECT_EQ(engine.OnTransferComplete(), 1);
    EXPECT_FALSE(engine.SetStateAndNotify(STATE_FAILED));

    EXPECT_TRUE(engine.m_aJob.IsEmpty());
    EXPECT_TRUE(frame.sent.empty());
    EXPECT_TRUE(Waiting().empty());
    EXPECT_TRUE(fs::is_empty(app.m_csLogsDir)) << "no transfer log was written";
}

// --- Handing over a job ----------------------------------------------------------------

TEST_F(Engine, AJobHandedOverWhileTheDataThreadRunsWaitsInTheQueueUnlessItIsTheRunningOne)
{
    StubEngine engine;
    Adopt(engine);
    CTransferRecord running = MakeJob("running.bin", "FTP", "FILE", 10, 4);
    engine.m_aJob.Add(running);
    platform::Event finish(true, false);
    const platform::ThreadId me = queue.Id();
    platform::StartedThread data = platform::StartThread([&finish, me] {
        finish.Wait(5000);
        platform::PostThreadMessage(me, WM_TRANSFER_PROGRESS, 10);
        platform::PostThreadMessage(me, WM_DOWNLOAD_END);
        return 0;
    });
    engine.m_hDataThread = data.handle;
    engine.m_dwDataThreadId = data.id;

    CTransferRecord next = MakeJob("next.bin", "FTP", "FILE", 20, 0, STATE_QUEUED);
    next.csRealDownloadTo = "/other/";
    platform::PostThreadMessage(queue.Id(), WM_RESUME_TRANSFER, 0, 0, OneRecord(next));
    platform::PostThreadMessage(queue.Id(), WM_RESUME_TRANSFER, 0, 0, OneRecord(running));
    Pump(engine);

    const std::string nextLog = TransferLog("next.bin");
    EXPECT_TRUE(Has(nextLog, "wait timeout")) << nextLog;
    EXPECT_TRUE(Has(nextLog, "Add to queue for destination: /other/")) << nextLog;
    const std::string runningLog = TransferLog("running.bin");
    EXPECT_TRUE(Has(runningLog, "wait timeout")) << runningLog;
    EXPECT_FALSE(Has(runningLog, "Add to queue")) << runningLog;
    const auto queued = frame.Of(WM_QUEUE_TRANSFER);
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(queued[0].record.csFileName, "next.bin");
    ASSERT_EQ(engine.m_aJob.GetSize(), 1u);
    EXPECT_EQ(engine.m_aJob[0].csFileName, "running.bin") << "the running job keeps the connection";
    EXPECT_EQ(engine.runJobCalls, 0);

    // The data thread ends behind the next hand-over: its end is handled first (the file
    // arrived whole), then the new job takes over the connection.
    platform::PostThreadMessage(queue.Id(), WM_RESUME_TRANSFER, 0, 0, OneRecord(next));
    finish.Set();
    ASSERT_EQ(data.handle.Wait(5000), platform::WAIT_OBJECT_0);
    Pump(engine);
    EXPECT_EQ(frame.Of(WM_NOTIFY_COMPLETE).size(), 1u) << "running.bin arrived whole";
    ASSERT_EQ(engine.m_aJob.GetSize(), 1u);
    EXPECT_EQ(engine.m_aJob[0].csFileName, "next.bin");
    EXPECT_EQ(engine.runJobCalls, 1);
    EXPECT_EQ(frame.Of(WM_QUEUE_TRANSFER).size(), 1u);
}

// --- Addresses and protocols -------------------------------------------------------------

TEST(ParseAddress, TakesHostAndPortFromTheAuthority)
{
    struct Case {
        const char* url;
        const char* host;
        const char* port;
    };
    const Case cases[] = {
        {"ftp://host.example", "host.example", ""},
        {"ftp://host.example/", "host.example", ""},
        {"ftp://host.example/pub/file.bin", "host.example", ""},
        {"ftp://host.example:2121", "host.example", "2121"},
        {"ftp://host.example:2121/pub/file.bin", "host.example", "2121"},
        {"ftps://user@host.example:990/in/", "user@host.example", "990"},
        {"ftp://host.example:", "host.example", ""},
        {"ftp://host.example/at 10:30/file", "host.example", ""},
        {"ftp://host.example:21/at 10:30/", "host.example", "21"},
        {"host.example/pub", "", ""},
        {"/home/user/file", "", ""},
        {"", "", ""},
    };
    CCommandProtocol engine;
    for (const Case& c : cases) {
        std::string host = "stale", port = "stale";
        EXPECT_EQ(engine.ParseAddress(c.url, host, port), 1);
        EXPECT_EQ(host, c.host) << c.url;
        EXPECT_EQ(port, c.port) << c.url;
    }
}

TEST(NormaliseProtocols, NamesTheProtocolsByTheAddresses)
{
    const std::string temp = "/var/korvalo/TEMP/";
    struct Case {
        const char* name;
        const char* protocol;
        const char* destinProtocol;
        const char* from;
        const char* to;
        int ssl;
        // expected
        const char* protocolAfter;
        const char* destinProtocolAfter;
        int sslAfter;
        int toTemp;
    };
    const Case cases[] = {
        {"ftps download", "FTP", "FILE", "ftps://host/dir/file", "/home/u/", 0, "FTPS", "FILE", 1, 0},
        {"ftp download drops a stale TLS flag", "", "FILE", "FTP://host/dir/file", "/home/u/", 1, "FTP", "FILE", 0, 0},
        {"HTTP is left alone", "HTTP", "FILE", "https://host/ftps/file", "/home/u/ftp/", 1, "HTTP", "FILE", 1, 0},
        {"ftps upload", "FILE", "", "/home/u/file", "ftps://host/in/", 0, "FILE", "FTPS", 1, 0},
        {"between servers", "FTP", "FTP", "ftp://a/x", "ftp://b/y", 0, "FTP", "FTP", 0, 1},
        {"from ftps to ftp", "FTP", "FTP", "ftps://a/x", "ftp://b/y", 0, "FTPS", "FTP", 1, 1},
        {"local folders named ftp", "FILE", "FILE", "/srv/ftp/pub/file", "/home/u/ftps/", 1, "FILE", "FILE", 0, 0},
        {"upload from a folder named ftp", "FILE", "FTP", "/srv/ftp/pub/file", "ftp://host/in/", 0, "FILE", "FTP", 0,
         0},
        {"a plain server with an ftps folder", "FTP", "FILE", "ftp://host/ftps-mirror/file", "/home/u/", 0, "FTP",
         "FILE", 0, 0},
    };
    for (const Case& c : cases) {
        CCommandProtocol engine;
        engine.m_csTempDir = temp;
        CTransferRecord record;
        record.csProtocol = c.protocol;
        record.csDestinProtocol = c.destinProtocol;
        record.csFullFromAddress = c.from;
        record.csRealDownloadTo = c.to;
        record.csDownloadTo = c.to;
        record.bSsl = c.ssl;
        engine.m_aJob.Add(record);
        engine.NormaliseProtocols();
        const CTransferRecord& job = engine.m_aJob[0];
        EXPECT_EQ(job.csProtocol, c.protocolAfter) << c.name;
        EXPECT_EQ(job.csDestinProtocol, c.destinProtocolAfter) << c.name;
        EXPECT_EQ(job.bSsl, c.sslAfter) << c.name;
        EXPECT_EQ(job.bDownloadToTemp, c.toTemp) << c.name;
        EXPECT_EQ(job.csDownloadTo, c.toTemp ? temp : std::string(c.to)) << c.name;
        EXPECT_EQ(job.csFullFromAddress, c.from) << c.name;
        EXPECT_EQ(job.csRealDownloadTo, c.to) << c.name;
    }
}

TEST_F(Engine, AnUnattendedJobConnectsToItsServerAndStartsUnlessTheFrameVetoes)
{
    struct Case {
        const char* name;
        CTransferRecord job;
        const char* address;
        bool tls;
        const char* user;
    };
    auto job = [](const char* protocol, const char* destin, const char* from, const char* to) {
        CTransferRecord record = MakeJob("f.bin", protocol, destin, 10, 0, STATE_QUEUED);
        record.csFullFromAddress = from;
        record.csRealDownloadTo = to;
        record.csDownloadTo = to;
        record.csUser = "destination user";
        record.csUserSource = "source user";
        return record;
    };
    CTransferRecord http = job("HTTP", "FILE", "", "/home/u/dl/");
    http.csAddress = "http://www.example.org/update/";
    CTransferRecord share = job("FILE", "FILE", "/home/u/f.bin", "\\\\server\\share\\dir\\");
    const std::vector<Case> cases = {
        {"download", job("FTP", "FILE", "ftp://anon@host.example:2121/pub/f.bin", "/home/u/dl/"),
         "anon@host.example:2121", false, "source user"},
        {"ftps download", job("FTP", "FILE", "ftps://host.example/pub/f.bin", "/home/u/dl/"), "host.example", true,
         "source user"},
        {"upload", job("FILE", "FTP", "/home/u/f.bin", "ftp://up.example/in/"), "up.example", false,
         "destination user"},
        {"http", http, "www.example.org", false, "source user"},
        {"local copy", job("FILE", "FILE", "/home/u/f.bin", "/home/u/dl/"), "/home/u/dl/", false, "source user"},
        {"local copy to a share", share, "server", false, "source user"},
    };
    for (const Case& c : cases) {
        StubEngine engine;
        Adopt(engine);
        platform::PostThreadMessage(queue.Id(), WM_START_TRANSFER, 0, 0, OneRecord(c.job));
        Pump(engine);
        EXPECT_EQ(engine.connectAddresses, std::vector<std::string>{c.address}) << c.name;
        EXPECT_EQ(engine.m_bTls, c.tls) << c.name;
        EXPECT_EQ(engine.m_csUser, c.user) << c.name;
        EXPECT_TRUE(engine.m_bAutoMode) << c.name;
        EXPECT_FALSE(engine.m_bLogToWindow) << c.name;
        ASSERT_EQ(engine.m_aJob.GetSize(), 1u) << c.name;
        EXPECT_EQ(engine.m_aJob[0].m_dwWorkerThreadId, queue.Id()) << c.name;
        EXPECT_EQ(engine.runJobCalls, 1) << c.name;
    }
    EXPECT_EQ(frame.Of(WM_TRANSFER_EVENT).size(), cases.size()) << "each file job was announced (event 13)";

    StubEngine vetoed;
    Adopt(vetoed);
    frame.jobStartAnswer = 0;
    platform::PostThreadMessage(queue.Id(), WM_START_TRANSFER, 0, 0, OneRecord(cases[0].job));
    Pump(vetoed);
    EXPECT_EQ(vetoed.runJobCalls, 0);

    StubEngine unreachable;
    Adopt(unreachable);
    unreachable.onConnect = [](StubEngine&, const std::string&) { return 0; };
    unreachable.m_bReady = false;
    EXPECT_EQ(unreachable.OnConnectSession(0), 0);
    EXPECT_TRUE(unreachable.m_bReady);
    EXPECT_EQ(unreachable.runJobCalls, 0);
    platform::Message stop;
    ASSERT_TRUE(platform::TakeMessage(WM_STOP_WORKER, stop));
    EXPECT_EQ(stop.lParam, 1);
}

// --- End of a data phase -----------------------------------------------------------------

TEST_F(Engine, TheFirstLegOfACopyBetweenServersComesBackAsAnUploadFromTheTemporaryFile)
{
    for (bool autoMode : {true, false}) {
        frame.sent.clear();
        StubEngine engine;
        Adopt(engine);
        engine.m_bAutoMode = autoMode;
        CTransferRecord job = MakeJob("copy.bin", "FTPS", "FTP", 10, 10);
        job.csFullFromAddress = "ftps://a.example/x/copy.bin";
        job.csRealDownloadTo = "ftp://b.example:2121/y/";
        job.csDownloadTo = tempDir;
        job.bDownloadToTemp = 1;
        job.m_dwWorkerThreadId = queue.Id();
        engine.m_aJob.Add(job);

        EXPECT_EQ(engine.OnDownloadEnd(), 1);
        EXPECT_TRUE(engine.m_aJob.IsEmpty());
        EXPECT_TRUE(frame.Of(WM_NOTIFY_COMPLETE).empty());
        ASSERT_EQ(frame.Of(WM_QUEUE_TRANSFER).size(), 1u);
        const auto resumed = frame.Of(WM_RESUME_REQUEST);
        ASSERT_EQ(resumed.size(), 1u);
        EXPECT_EQ(resumed[0].lParam, autoMode ? 1 : 0);
        for (const CTransferRecord& upload : {frame.Of(WM_QUEUE_TRANSFER)[0].record, resumed[0].record}) {
            EXPECT_EQ(upload.bDownloadToTemp, 0);
            EXPECT_EQ(upload.csFullFromAddress, tempDir + "copy.bin");
            EXPECT_EQ(upload.csDownloadTo, "ftp://b.example:2121/y/");
            EXPECT_EQ(upload.csRealDownloadTo, "ftp://b.example:2121/y/");
            EXPECT_EQ(upload.csProtocol, "FILE");
            EXPECT_EQ(upload.csDestinProtocol, "FTP");
            EXPECT_EQ(upload.dwDownloaded, 0u);
            EXPECT_EQ(upload.csHostAddress, "b.example");
            EXPECT_EQ(upload.csHostPort, "2121");
            EXPECT_EQ(upload.m_dwWorkerThreadId, 0u);
        }
        EXPECT_TRUE(Has(TransferLog("copy.bin"), "add to queue for upload"));
        EXPECT_EQ(Waiting(), std::vector<std::uint32_t>{WM_CONTINUE_JOB});
    }
}

TEST_F(Engine, TheEndOfADataPhaseCompletesTheJobOrQueuesItAgain)
{
    fs::create_directories(folder / "src");
    struct Case {
        const char* name;
        std::string from;  // a local source is created first
        int toTemp;
        std::uint64_t done;  // of 10
        std::uint16_t state;
        // expected
        bool completed;
        bool queued;
        const char* logLine;
        bool sourceRemains;
    };
    const std::string temp = tempDir;
    const std::vector<Case> cases = {
        {"second leg of a copy", temp + "leg2.bin", 0, 10, STATE_RUNNING, true, false, "DeleteFile", false},
        {"local copy", folder / "src/local.bin", 0, 10, STATE_RUNNING, true, false, "send 'transfers complete'", true},
        {"a name that climbs out of the temporary folder", temp + "../outside.bin", 0, 10, STATE_RUNNING, true, false,
         "send 'transfers complete'", true},
        {"download ended early", "ftp://a.example/f.bin", 0, 4, STATE_RUNNING, false, true,
         "add to queue for download or upload for file with destination: /dl/", true},
        {"first leg ended early", "ftp://a.example/f.bin", 1, 4, STATE_RUNNING, false, true,
         "add to queue for download or upload for file with destination: /dl/", true},
        {"paused job ended early", "ftp://a.example/f.bin", 0, 4, STATE_PAUSED, false, false,
         "add to queue for download or upload", true},
    };
    int n = 0;
    for (const Case& c : cases) {
        frame.sent.clear();
        const std::string name = "job" + std::to_string(n++) + ".bin";
        if (c.from[0] == '/')
            WriteWholeFile(c.from, "0123456789");
        StubEngine engine;
        Adopt(engine);
        CTransferRecord job = MakeJob(name, c.from[0] == '/' ? "FILE" : "FTP", "FILE", 10, c.done, c.state);
        job.csFullFromAddress = c.from;
        job.bDownloadToTemp = c.toTemp;
        engine.m_aJob.Add(job);

        EXPECT_EQ(engine.OnDownloadEnd(), 1) << c.name;
        EXPECT_TRUE(engine.m_aJob.IsEmpty()) << c.name;
        EXPECT_EQ(Waiting(), std::vector<std::uint32_t>{WM_CONTINUE_JOB}) << c.name;
        const auto complete = frame.Of(WM_NOTIFY_COMPLETE);
        ASSERT_EQ(complete.size(), c.completed ? 1u : 0u) << c.name;
        if (c.completed) {
            EXPECT_EQ(complete[0].record.nTransfersState, STATE_COMPLETE) << c.name;
        }
        const auto queued = frame.Of(WM_QUEUE_TRANSFER);
        ASSERT_EQ(queued.size(), c.queued ? 1u : 0u) << c.name;
        if (c.queued) {
            EXPECT_EQ(queued[0].record.bDownloadToTemp, c.toTemp) << c.name;
        }
        EXPECT_TRUE(frame.Of(WM_RESUME_REQUEST).empty()) << c.name;
        const std::string log = TransferLog(name);
        EXPECT_TRUE(Has(log, c.logLine)) << c.name << ": " << log;
        EXPECT_EQ(Has(log, "DeleteFile"), !c.sourceRemains) << c.name;
        if (c.from[0] == '/') {
            EXPECT_EQ(fs::exists(c.from), c.sourceRemains) << c.name;
        }
    }
}

TEST_F(Engine, StoppingTheWorkerQueuesAnUnfinishedHttpJobAndLeavesFtpJobsInTheirState)
{
    struct Case {
        const char* name;
        const char* protocol;
        std::uint64_t done;  // of 1000
        std::uint16_t state;
        int deleted;
        // expected
        bool queued;
        std::uint16_t stateAfter;
        int event;  // lParam of WM_TRANSFER_EVENT, -1 for none
        bool socketClosed;
    };
    const Case cases[] = {
        {"http at half its size", "HTTP", 500, STATE_RUNNING, 0, true, STATE_QUEUED, TRANSFER_EVENT_QUEUED, true},
        {"ftp at half its size", "FTP", 500, STATE_RUNNING, 0, false, STATE_RUNNING, TRANSFER_EVENT_CHANGED, true},
        {"http complete", "HTTP", 1000, STATE_RUNNING, 0, false, STATE_RUNNING, TRANSFER_EVENT_CHANGED, true},
        {"http paused", "HTTP", 500, STATE_PAUSED, 0, false, STATE_PAUSED, -1, false},
        {"http detached", "HTTP", 500, STATE_RUNNING, 1, false, STATE_RUNNING, -1, false},
    };
    for (const Case& c : cases) {
        frame.sent.clear();
        StubEngine engine;
        Adopt(engine);
        CTransferRecord job = MakeJob("stop.bin", c.protocol, "FILE", 1000, c.done, c.state);
        job.bDeleted = c.deleted;
        job.m_nSocketKey = CreateSocket(AF_INET, SOCK_STREAM, 0);
        ASSERT_NE(job.m_nSocketKey, INVALID_SOCKET);
        engine.m_aJob.Add(job);

        EXPECT_EQ(engine.OnStopWorker(), 1) << c.name;
        EXPECT_EQ(frame.Of(WM_QUEUE_TRANSFER).size(), c.queued ? 1u : 0u) << c.name;
        EXPECT_EQ(engine.Job()->nTransfersState, c.stateAfter) << c.name;
        const auto events = frame.Of(WM_TRANSFER_EVENT);
        ASSERT_EQ(events.size(), c.event < 0 ? 0u : 1u) << c.name;
        if (c.event >= 0) {
            EXPECT_EQ(events[0].lParam, c.event) << c.name;
            EXPECT_EQ(events[0].record.nTransfersState, c.stateAfter) << c.name;
        }
        EXPECT_EQ(!IsRegisteredSocket(job.m_nSocketKey), c.socketClosed) << c.name;
        CloseSocket(job.m_nSocketKey);
        EXPECT_EQ(Waiting(), std::vector<std::uint32_t>{platform::WM_QUIT}) << c.name;
    }
}

// --- The whole road ------------------------------------------------------------------

// Notes the addresses workers were asked to connect to.
struct Addresses {
    std::mutex mutex;
    std::vector<std::string> list;
};

// A worker whose Connect opens the job's data socket to a loopback server, as a protocol's
// log-in and data-channel set-up would; the data phase is the engine's own.
std::unique_ptr<StubEngine> LoopbackWorker(int port, bool upload, std::shared_ptr<Addresses> addresses,
                                           const std::string& tempDir)
{
    auto worker = std::make_unique<StubEngine>();
    worker->m_csTempDir = tempDir;
    worker->onConnect = [port, upload, addresses](StubEngine& self, const std::string& address) {
        {
            std::lock_guard lock(addresses->mutex);
            addresses->list.push_back(address);
        }
        SOCKET socket = INVALID_SOCKET;
        if (!self.Connect1("127.0.0.1", port, socket, 5000, false))
            return 0;
        self.Job()->m_nSocketKey = socket;
        self.Job()->bUpload = upload ? 1 : 0;
        return 1;
    };
    worker->onRunJob = [](StubEngine& self) { return self.CCommandProtocol::RunJob(); };
    return worker;
}

TEST_F(Engine, ACopyBetweenTwoServersGoesThroughTheTemporaryFolderAndCleansUp)
{
    std::mt19937 random(7);
    std::string data(600 * 1024, '\0');
    for (char& c : data)
        c = static_cast<char>(random());
    testsupport::FakeTcpServer source([&data](int client) { testsupport::SendAll(client, data); });
    std::mutex receivedMutex;
    std::string received;
    testsupport::FakeTcpServer destination([&](int client) {
        std::string got = testsupport::ReceiveUntilClosed(client, 10000);
        std::lock_guard lock(receivedMutex);
        received = got;
    });
    auto addresses = std::make_shared<Addresses>();

    CTransferRecord job = MakeJob("copy.bin", "FTP", "FTP", data.size(), 0, STATE_QUEUED);
    job.csFullFromAddress = "ftp://a.example/x/copy.bin";
    job.csRealDownloadTo = "ftp://b.example:2121/y/";
    job.csDownloadTo = job.csRealDownloadTo;

    // First leg: the download into the temporary folder.
    platform::StartedThread first =
        BeginWorkerThread(LoopbackWorker(source.Port(), false, addresses, tempDir), frameWindow);
    platform::PostThreadMessage(first.id, WM_START_TRANSFER, 0, 0, OneRecord(job));
    ASSERT_TRUE(WaitUntil([&] { return !frame.Of(WM_RESUME_REQUEST).empty(); }));
    EXPECT_EQ(ReadWholeFile(tempDir + "copy.bin"), data);
    const auto progress = frame.Of(WM_NOTIFY_PROGRESS);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back().record.dwDownloaded, data.size()) << "the end of the file is reported at once";
    EXPECT_TRUE(frame.Of(WM_NOTIFY_COMPLETE).empty());
    const CTransferRecord upload = frame.Of(WM_RESUME_REQUEST)[0].record;
    platform::PostThreadMessage(first.id, WM_STOP_WORKER);
    ASSERT_TRUE(WaitUntil([&] { return first.handle.HasEnded(); }));

    // Second leg, started as the frame would: the upload from the temporary file.
    platform::StartedThread second =
        BeginWorkerThread(LoopbackWorker(destination.Port(), true, addresses, tempDir), frameWindow);
    platform::PostThreadMessage(second.id, WM_START_TRANSFER, 0, 0, OneRecord(upload));
    auto receivedSize = [&] {
        std::lock_guard lock(receivedMutex);
        return received.size();
    };
    ASSERT_TRUE(WaitUntil([&] { return !frame.Of(WM_NOTIFY_COMPLETE).empty() && receivedSize() >= data.size(); }))
        << receivedSize() << " bytes arrived";
    {
        std::lock_guard lock(receivedMutex);
        EXPECT_TRUE(received == data);
    }
    EXPECT_EQ(frame.Of(WM_NOTIFY_COMPLETE)[0].record.nTransfersState, STATE_COMPLETE);
    platform::PostThreadMessage(second.id, WM_STOP_WORKER);
    ASSERT_TRUE(WaitUntil([&] { return second.handle.HasEnded(); }));
    EXPECT_FALSE(fs::exists(tempDir + "copy.bin")) << "the temporary file is deleted after the report";

    std::lock_guard lock(addresses->mutex);
    EXPECT_EQ(addresses->list, (std::vector<std::string>{"a.example", "b.example:2121"}));
    const std::string log = TransferLog("copy.bin");
    EXPECT_TRUE(Has(log, "download created")) << log;
    EXPECT_TRUE(Has(log, "add to queue for upload")) << log;
    EXPECT_TRUE(Has(log, "DeleteFile")) << log;
}

}  // namespace
