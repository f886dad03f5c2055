#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>

#include "app/app_host.h"
#include "app/main_frame.h"
#include "app/vexo_app.h"
#include "app/worker_factory.h"
#include "net/base_connection.h"
#include "net/messages.h"
#include "platform/thread.h"
#include "platform/window_table.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;
using platform::HWND;
using platform::LRESULT;
using platform::Message;

namespace {

constexpr const char* SERVER = "ftp.example.org";
constexpr const char* DOWNLOADS = "/home/anna/Downloads/";

platform::WPARAM Param(CTransferRecord& record) { return reinterpret_cast<platform::WPARAM>(&record); }

CTransferRecord FtpDownload(const std::string& name, const std::string& server = SERVER)
{
    CTransferRecord record;
    record.csFileName = name;
    record.csProtocol = "FTP";
    record.csDestinProtocol = "FILE";
    record.csHostAddress = server;
    record.csHostPort = "21";
    record.csUserSource = "anna";
    record.csPasswordSource = "secret";
    record.csFullFromAddress = "ftp://" + server + "/pub/" + name;
    record.csRealDownloadTo = DOWNLOADS;
    record.csDownloadTo = DOWNLOADS;
    return record;
}

// Something a window or a thread was given: the message and the records it carried.
struct Received {
    std::uint32_t message = 0;
    platform::WPARAM wParam = 0;
    platform::LPARAM lParam = 0;
    std::vector<CTransferRecord> records;
};

// Stands in for the transfers list: keeps what it is sent and answers the state of a row
// from a table by file name (-1, no row, for names not in it).
class FakeTransfersList : public platform::WindowTarget {
public:
    static constexpr LRESULT UPDATE_ANSWER = 7;

    FakeTransfersList() : hwnd(platform::RegisterWindow(this)) {}
    ~FakeTransfersList() override { platform::UnregisterWindow(hwnd); }

    LRESULT WindowProc(Message& msg) override
    {
        Received got{msg.message, msg.wParam, msg.lParam, {}};
        bool carriesRecord = msg.message == WM_TRANSFERS_ADD || msg.message == WM_TRANSFERS_UPDATE ||
                             msg.message == WM_TRANSFERS_GET_STATE;
        if (carriesRecord)
            got.records.push_back(*reinterpret_cast<CTransferRecord*>(msg.wParam));
        received.push_back(got);
        switch (msg.message) {
        case WM_TRANSFERS_UPDATE:
            return UPDATE_ANSWER;
        case WM_TRANSFERS_GET_STATE: {
            auto it = states.find(got.records[0].csFileName);
            return it == states.end() ? -1 : it->second;
        }
        case WM_TRANSFERS_SAVE_OR_LOAD:
            return 40 + static_cast<LRESULT>(msg.wParam);
        default:
            return 0;
        }
    }

    // The event codes of the updates for one file, in arrival order.
    std::vector<platform::LPARAM> Codes(const std::string& name) const
    {
        std::vector<platform::LPARAM> codes;
        for (const Received& got : received)
            if (got.message == WM_TRANSFERS_UPDATE && got.records[0].csFileName == name)
                codes.push_back(got.lParam);
        return codes;
    }

    HWND hwnd;
    std::map<std::string, LRESULT> states;
    std::vector<Received> received;
};

// Stands in for an explorer pane: keeps the events it is sent and the resume requests
// posted to it (the record is the payload).
class FakePane : public platform::WindowTarget {
public:
    FakePane() : hwnd(platform::RegisterWindow(this)) {}
    ~FakePane() override { platform::UnregisterWindow(hwnd); }

    LRESULT WindowProc(Message& msg) override
    {
        Received got{msg.message, msg.wParam, msg.lParam, {}};
        if (msg.message == WM_TRANSFER_EVENT)
            got.records.push_back(*reinterpret_cast<CTransferRecord*>(msg.wParam));
        else if (auto* record = msg.PayloadAs<CTransferRecord>())
            got.records.push_back(*record);
        received.push_back(got);
        return 0;
    }

    HWND hwnd;
    std::vector<Received> received;
};

// A thread that keeps every message posted to it (pings aside) until WM_QUIT.
class RecordingThread {
public:
    RecordingThread()
    {
        thread = platform::StartThread([this] {
            Message msg;
            while (platform::GetMessage(msg)) {
                if (msg.message == WM_WORKER_PING)
                    continue;
                Received got{msg.message, msg.wParam, msg.lParam, {}};
                if (auto* array = msg.PayloadAs<CTransferRecordArray>())
                    got.records.assign(array->begin(), array->end());
                std::lock_guard lock(m_mutex);
                m_received.push_back(std::move(got));
                m_arrived.notify_all();
            }
            return 0;
        });
    }
    ~RecordingThread() { End(); }

    void End()
    {
        platform::PostThreadMessage(thread.id, platform::WM_QUIT);
        thread.handle.Wait(platform::INFINITE);
    }

    std::vector<Received> WaitFor(std::size_t count)
    {
        std::unique_lock lock(m_mutex);
        m_arrived.wait_for(lock, std::chrono::seconds(10), [&] { return m_received.size() >= count; });
        return m_received;
    }

    platform::StartedThread thread;

private:
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::vector<Received> m_received;
};

// The frame's worker factory for tests: every worker is a recording thread.
class FakeWorkers {
public:
    struct Worker {
        EWorkerKind kind;
        HWND mainWindow;
        std::unique_ptr<RecordingThread> thread;
    };

    CWorkerFactory Factory()
    {
        return [this](EWorkerKind kind, HWND mainWindow) {
            if (failStart)
                return platform::StartedThread{};
            workers.push_back({kind, mainWindow, std::make_unique<RecordingThread>()});
            return workers.back().thread->thread;
        };
    }

    // The one record of the WM_START_TRANSFER worker i was given, or an empty name.
    std::string StartedWith(std::size_t i)
    {
        std::vector<Received> got = workers.at(i).thread->WaitFor(1);
        if (got.size() != 1 || got[0].message != WM_START_TRANSFER || got[0].records.size() != 1)
            return {};
        return got[0].records[0].csFileName;
    }

    bool failStart = false;
    std::vector<Worker> workers;
};

class CountedRecord : public CTransferRecord {
public:
    explicit CountedRecord(const CTransferRecord& record, int& deleted) : CTransferRecord(record), m_deleted(deleted) {}
    ~CountedRecord() override { ++m_deleted; }

private:
    int& m_deleted;
};

class MainFrameTest : public testing::Test {
protected:
    void SetUp() override
    {
        platform::SetUiThread();
        platform::ResetQuit();
        originalFolder = fs::current_path().string();
        app = std::make_unique<CVexoApp>(folder / "korvalo", platform::Registry(folder / "registry"));
        ASSERT_TRUE(app->InitInstance(host));
        frame = app->MainFrame();
        app->m_hwndTransfers = list.hwnd;
        frame->m_workerFactory = workers.Factory();
    }

    void TearDown() override
    {
        workers.workers.clear();
        if (app)
            app->ExitInstance(0);
        app.reset();
        fs::current_path(originalFolder);
        platform::ResetQuit();
    }

    LRESULT Send(std::uint32_t message, CTransferRecord& record, platform::LPARAM lParam = 0)
    {
        Message msg;
        msg.message = message;
        msg.wParam = Param(record);
        msg.lParam = lParam;
        return frame->WindowProc(msg);
    }

    LRESULT Resume(std::unique_ptr<CTransferRecord> record, bool direct)
    {
        Message msg;
        msg.message = WM_RESUME_REQUEST;
        msg.lParam = direct;
        msg.payload = std::move(record);
        return frame->WindowProc(msg);
    }

    // Sends WM_GET_QUEUED_TRANSFER for the test server; the name handed out, or "".
    std::string AskForWork(const std::string& user = "anna", const std::string& password = "secret")
    {
        Message msg;
        msg.message = WM_GET_QUEUED_TRANSFER;
        msg.payload = std::make_unique<CServerCriteria>(SERVER, "21", user, password);
        LRESULT result = frame->WindowProc(msg);
        auto* reply = msg.ReplyAs<CTransferRecordArray>();
        EXPECT_EQ(result, reply ? 1 : 0);
        if (!reply)
            return {};
        EXPECT_EQ(reply->GetSize(), 1u);
        return reply->IsEmpty() ? std::string() : (*reply)[0].csFileName;
    }

    std::vector<std::string> QueuedNames() const
    {
        std::vector<std::string> names;
        for (const CTransferRecord& entry : frame->m_pendingQueue)
            names.push_back(entry.csFileName);
        return names;
    }

    std::string TransferLog(const std::string& name) const
    {
        return testsupport::ReadWholeFile(app->m_csLogsDir + name + ".log");
    }

    // Serves sends from other threads until done() holds (or ten seconds passed).
    static void PumpUntil(const std::function<bool()>& done)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            platform::WaitForUiWork(10);
            platform::DispatchPendingSends();
        }
        platform::DispatchPendingSends();
    }

    testsupport::TempFolder folder;
    std::string originalFolder;
    CAppHost host;
    FakeTransfersList list;
    FakeWorkers workers;
    std::unique_ptr<CVexoApp> app;
    CMainFrame* frame = nullptr;
};

}  // namespace

TEST_F(MainFrameTest, ElevenTransfersStartTenWorkersAndTheEleventhWaitsForAFreedSlot)
{
    for (int i = 0; i < 11; ++i)
        EXPECT_EQ(Resume(std::make_unique<CTransferRecord>(FtpDownload("file" + std::to_string(i))), true),
                  i < 10 ? 1 : 0)
            << i;

    ASSERT_EQ(workers.workers.size(), 10u);
    for (std::size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(workers.workers[i].kind, EWorkerKind::FtpClient);
        EXPECT_EQ(workers.workers[i].mainWindow, frame->m_hWnd);
        EXPECT_EQ(workers.StartedWith(i), "file" + std::to_string(i));
        EXPECT_EQ(app->m_workerSlots[static_cast<int>(i)].nThreadId, workers.workers[i].thread->thread.id);
    }
    ASSERT_EQ(QueuedNames(), std::vector<std::string>{"file10"});
    EXPECT_EQ(frame->m_pendingQueue[0].nTransfersState, 3);
    EXPECT_NE(TransferLog("file10").find(std::string("Add to queue for destination: ") + DOWNLOADS + ". TIME="),
              std::string::npos);
    EXPECT_EQ(list.Codes("file10"), std::vector<platform::LPARAM>{TRANSFER_EVENT_QUEUED});

    // A worker done with its file on the same server asks from its own thread for more work.
    std::string handedOut;
    platform::StartedThread asker = platform::StartThread([&, window = frame->m_hWnd] {
        Message msg;
        msg.message = WM_GET_QUEUED_TRANSFER;
        msg.lParam = platform::CurrentThreadId();
        msg.payload = std::make_unique<CServerCriteria>(SERVER, "21", "anna", "secret");
        if (platform::SendMessageTimeout(window, msg, NOTIFY_TIMEOUT_MS) && msg.ReplyAs<CTransferRecordArray>())
            handedOut = (*msg.ReplyAs<CTransferRecordArray>())[0].csFileName;
        return 0;
    });
    PumpUntil([&] { return asker.handle.HasEnded(); });
    EXPECT_EQ(handedOut, "file10");

    // Another worker ends instead; the next queued start takes its slot.
    workers.workers[3].thread->End();
    platform::ThreadId endedId = workers.workers[3].thread->thread.id;
    std::atomic<LRESULT> next = 99;
    platform::StartedThread finisher = platform::StartThread([&, window = frame->m_hWnd] {
        next = platform::SendMessage(window, WM_START_NEXT_QUEUED);
        return 0;
    });
    PumpUntil([&] { return finisher.handle.HasEnded(); });
    EXPECT_EQ(next, 0);
    ASSERT_EQ(workers.workers.size(), 11u);
    EXPECT_EQ(workers.StartedWith(10), "file10");
    EXPECT_EQ(app->m_workerSlots[3].nThreadId, workers.workers[10].thread->thread.id);
    EXPECT_NE(app->m_workerSlots[3].nThreadId, endedId);
    EXPECT_TRUE(frame->m_pendingQueue.IsEmpty());
    Message again;
    again.message = WM_START_NEXT_QUEUED;
    EXPECT_EQ(frame->WindowProc(again), -1) << "nothing left to start";
}

TEST_F(MainFrameTest, StartTransferWorkerPicksTheWorkerByProtocolsAndStartsNothingElse)
{
    struct Case {
        const char* source;
        const char* destination;
        std::optional<EWorkerKind> kind;
    } cases[] = {
        {"FTP", "FILE", EWorkerKind::FtpClient},
        {"FILE", "FTPS", EWorkerKind::FtpClient},
        {"FTPS", "FTP", EWorkerKind::FtpClient},
        {"FILE", "FILE", EWorkerKind::FileClient},
        {"HTTP", "FILE", std::nullopt},
        {"GNUTELLA", "FILE", std::nullopt},
        {"file", "FILE", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.source) + " -> " + c.destination);
        workers.workers.clear();
        CTransferRecord record = FtpDownload("job.bin");
        record.csProtocol = c.source;
        record.csDestinProtocol = c.destination;
        EXPECT_EQ(WorkerKindFor(record), c.kind);
        EXPECT_EQ(frame->StartTransferWorker(record), 1);
        ASSERT_EQ(workers.workers.size(), c.kind ? 1u : 0u);
        if (c.kind) {
            EXPECT_EQ(workers.workers[0].kind, *c.kind);
            EXPECT_EQ(workers.StartedWith(0), "job.bin");
        }
    }
    workers.workers.clear();

    // A worker that cannot start, or no factory at all: handled, nothing queued, slot free.
    CTransferRecord record = FtpDownload("unstarted.bin");
    workers.failStart = true;
    EXPECT_EQ(frame->StartTransferWorker(record), 1);
    frame->m_workerFactory = nullptr;
    EXPECT_EQ(frame->StartTransferWorker(record), 1);
    EXPECT_TRUE(frame->m_pendingQueue.IsEmpty());
    EXPECT_FALSE(app->m_workerSlots[0].hThread);

    // A worker that ended before its job was posted: the job is dropped, the slot comes back.
    frame->m_workerFactory = [](EWorkerKind, HWND) {
        platform::StartedThread gone = platform::StartThread([] { return 0; });
        gone.handle.Wait(platform::INFINITE);
        return gone;
    };
    EXPECT_EQ(frame->StartTransferWorker(record), 1);
    EXPECT_TRUE(app->m_workerSlots[0].hThread);
    EXPECT_EQ(app->FindFreeWorkerSlot(), 0);
}

TEST_F(MainFrameTest, QueueingTellsTheTransfersListAndKeepsOneEntryPerTransfer)
{
    CTransferRecord first = FtpDownload("a.bin");
    first.nTransfersState = 2;
    EXPECT_EQ(Send(WM_QUEUE_TRANSFER, first, 1), 0);
    EXPECT_EQ(first.nTransfersState, 3) << "the sender's record is marked queued";
    ASSERT_GE(list.received.size(), 2u);
    EXPECT_EQ(list.received[0].message, WM_TRANSFERS_ADD);
    EXPECT_EQ(list.Codes("a.bin"), std::vector<platform::LPARAM>{TRANSFER_EVENT_CHANGED});

    // Queued again without a new row: still one entry, reported as queued.
    list.received.clear();
    EXPECT_EQ(Send(WM_QUEUE_TRANSFER, first, 0), 0);
    EXPECT_EQ(QueuedNames(), std::vector<std::string>{"a.bin"});
    ASSERT_EQ(list.received.size(), 1u);
    EXPECT_EQ(list.Codes("a.bin"), std::vector<platform::LPARAM>{TRANSFER_EVENT_QUEUED});
    EXPECT_NE(TransferLog("a.bin").find(std::string("removed from queue\r\nDestination: ") + DOWNLOADS),
              std::string::npos);

    // Without a transfers list the record is only queued.
    app->m_hwndTransfers = 0;
    list.received.clear();
    CTransferRecord second = FtpDownload("b.bin");
    Send(WM_QUEUE_TRANSFER, second, 1);
    EXPECT_EQ(QueuedNames(), (std::vector<std::string>{"a.bin", "b.bin"}));
    EXPECT_TRUE(list.received.empty());
}

TEST_F(MainFrameTest, FindQueuedMatchesTheTransferFieldsOrTheExtensionBlock)
{
    CTransferRecord queued = FtpDownload("song.mp3");
    queued.csExBlock = "urn:sha1:ABCDEF";
    Send(WM_QUEUE_TRANSFER, queued, 0);

    using Change = std::function<void(CTransferRecord&)>;
    struct Case {
        const char* what;
        Change change;
        bool found;
    } cases[] = {
        {"the same record", [](CTransferRecord&) {}, true},
        {"another temporary destination", [](CTransferRecord& r) { r.csDownloadTo = "/tmp/x/"; }, true},
        {"other file name", [](CTransferRecord& r) { r.csFileName = "other.mp3"; }, true},
        {"other name and block", [](CTransferRecord& r) { r.csFileName = "other.mp3"; r.csExBlock = "urn:sha1:0"; }, false},
        {"other name, same block, other destination",
         [](CTransferRecord& r) { r.csFileName = "other.mp3"; r.csDownloadTo = "/tmp/x/"; }, false},
        {"other name, no block", [](CTransferRecord& r) { r.csFileName = "other.mp3"; r.csExBlock.clear(); }, false},
        {"other real destination", [](CTransferRecord& r) { r.csRealDownloadTo = "/srv/"; r.csExBlock.clear(); }, false},
        {"other user", [](CTransferRecord& r) { r.csUser = "bob"; r.csExBlock.clear(); }, false},
        {"other source user", [](CTransferRecord& r) { r.csUserSource = "bob"; r.csExBlock.clear(); }, false},
        {"other source", [](CTransferRecord& r) { r.csFullFromAddress = "ftp://x/"; r.csExBlock.clear(); }, false},
        {"other source password", [](CTransferRecord& r) { r.csPasswordSource = "x"; r.csExBlock.clear(); }, false},
        {"other password", [](CTransferRecord& r) { r.csPassword = "x"; r.csExBlock.clear(); }, false},
    };
    for (const Case& c : cases) {
        CTransferRecord probe = queued;
        c.change(probe);
        EXPECT_EQ(frame->FindQueued(probe), c.found ? 0 : -1) << c.what;
    }
}

TEST_F(MainFrameTest, AWorkerAskingForWorkGetsFoldersFirstAndPausedRowsAreDropped)
{
    enum ELogin { Source, Destination, WrongPassword };
    struct Queued {
        const char* name;
        const char* attributes = "";
        LRESULT listState = -1;
        ELogin login = Source;
        const char* host = SERVER;
        const char* port = "21";
    };
    struct Case {
        const char* what;
        std::vector<Queued> queue;
        const char* handedOut;
        std::vector<std::string> left;
    } cases[] = {
        {"a folder goes before files queued ahead of it",
         {{"f1"}, {"f2"}, {"dir", "D"}, {"f3"}}, "dir", {"f1", "f2", "dir", "f3"}},
        {"folder attributes in any case and long form", {{"f1"}, {"dir", "drwxr-xr-x"}}, "dir", {"f1", "dir"}},
        {"of several files the last that matches",
         {{"f1"}, {"f2"}, {"elsewhere", "", -1, Source, "ftp.other.org"}}, "f2", {"f1", "f2", "elsewhere"}},
        {"the destination login matches too (an upload)", {{"up", "", -1, Destination}}, "up", {"up"}},
        {"other host, port or password never match",
         {{"h", "", -1, Source, "ftp.other.org"}, {"p", "", -1, Source, SERVER, "2121"}, {"w", "", -1, WrongPassword}},
         "", {"h", "p", "w"}},
        {"a paused row is dropped and the next match tried", {{"f1"}, {"f2", "", 1}}, "f1", {"f1"}},
        {"a paused folder is dropped too", {{"f1"}, {"dir", "D", 1}}, "f1", {"f1"}},
        {"every match paused", {{"f1", "", 1}, {"other", "", -1, WrongPassword}, {"f2", "", 1}}, "", {"other"}},
        {"other row states are handed out", {{"done", "", 4}}, "done", {"done"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        frame->m_pendingQueue.RemoveAll();
        list.states.clear();
        for (const Queued& q : c.queue) {
            CTransferRecord record = FtpDownload(q.name, q.host);
            record.csHostPort = q.port;
            record.FtpAttributes = q.attributes;
            if (q.login != Source) {
                record.csUserSource = "someone";
                record.csUser = "anna";
                record.csPassword = q.login == WrongPassword ? "wrong" : "secret";
            }
            list.states[q.name] = q.listState;
            Send(WM_QUEUE_TRANSFER, record, 0);
        }
        EXPECT_EQ(AskForWork(), c.handedOut);
        EXPECT_EQ(QueuedNames(), c.left);
    }
}

TEST_F(MainFrameTest, AHandedOutEntryStaysQueuedUntilTheWorkerDequeuesIt)
{
    CTransferRecord record = FtpDownload("stay.bin");
    Send(WM_QUEUE_TRANSFER, record, 0);
    EXPECT_EQ(AskForWork(), "stay.bin");
    EXPECT_EQ(AskForWork(), "stay.bin");

    EXPECT_EQ(Send(WM_DEQUEUE_TRANSFER, record), 0);
    EXPECT_EQ(AskForWork(), "");
    EXPECT_NE(TransferLog("stay.bin").find(std::string("removed from queue\r\nDestination: ") + DOWNLOADS + ". TIME="),
              std::string::npos);

    CTransferRecord never = FtpDownload("never.bin");
    Send(WM_DEQUEUE_TRANSFER, never);
    EXPECT_NE(TransferLog("never.bin").find("not removed from queue. TIME="), std::string::npos);
}

TEST_F(MainFrameTest, AResumeRequestGoesToThePaneAWorkerOrTheFindResultThread)
{
    FakePane local, remote;
    RecordingThread findResult;
    platform::StartedThread realFindResult = frame->m_findResultThread;
    frame->m_findResultThread = findResult.thread;

    enum EGoesTo { Dropped, LocalPane, RemotePane, FtpWorker, FileWorker, FindResultThread };
    struct Case {
        const char* what;
        const char* source;
        const char* destination;
        bool queued;
        bool direct;
        bool panesExist;
        LRESULT result;
        EGoesTo goesTo;
    } cases[] = {
        {"withdrawn from the queue meanwhile", "FTP", "FILE", false, false, true, 0, Dropped},
        {"queued download", "FTP", "FILE", true, false, true, 1, RemotePane},
        {"queued upload", "FILE", "FTP", true, false, true, 1, LocalPane},
        {"queued server to server", "FTP", "FTPS", true, false, true, 1, RemotePane},
        {"queued local copy", "FILE", "FILE", true, false, true, 1, LocalPane},
        {"queued download, pane closed", "FTP", "FILE", true, false, false, 1, FtpWorker},
        {"queued local copy, pane closed", "FILE", "FILE", true, false, false, 1, FileWorker},
        {"queued HTTP download", "HTTP", "FILE", true, false, true, 0, Dropped},
        {"direct download", "FTP", "FILE", false, true, true, 1, FtpWorker},
        {"queued peer download", "GNUTELLA", "FILE", true, false, true, 1, FindResultThread},
        {"direct peer download", "GNUTELLA", "FILE", false, true, true, 1, FindResultThread},
    };
    std::size_t findResultJobs = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        workers.workers.clear();
        CTransferRecord record = FtpDownload(std::string(c.what) + ".bin");
        record.csProtocol = c.source;
        record.csDestinProtocol = c.destination;
        record.m_hwndLocalPane = c.panesExist ? local.hwnd : 0;
        record.m_hwndRemotePane = c.panesExist ? remote.hwnd : 0;
        if (c.queued)
            Send(WM_QUEUE_TRANSFER, record, 0);
        local.received.clear();
        remote.received.clear();

        int deleted = 0;
        EXPECT_EQ(Resume(std::make_unique<CountedRecord>(record, deleted), c.direct), c.result);
        EXPECT_EQ(deleted, c.goesTo == LocalPane || c.goesTo == RemotePane ? 0 : 1) << "the frame frees what it keeps";
        platform::DispatchPendingSends();
        EXPECT_TRUE(frame->m_pendingQueue.IsEmpty());
        if (c.goesTo != Dropped) {
            EXPECT_NE(TransferLog(record.csFileName).find("Start resume\r\nDestination: "), std::string::npos);
        }

        FakePane* pane = c.goesTo == LocalPane ? &local : c.goesTo == RemotePane ? &remote : nullptr;
        for (FakePane* p : {&local, &remote}) {
            if (p != pane) {
                EXPECT_TRUE(p->received.empty());
                continue;
            }
            ASSERT_EQ(p->received.size(), 1u);
            EXPECT_EQ(p->received[0].message, WM_RESUME_TRANSFER);
            ASSERT_EQ(p->received[0].records.size(), 1u);
            EXPECT_EQ(p->received[0].records[0].csFileName, record.csFileName);
        }
        bool startsWorker = c.goesTo == FtpWorker || c.goesTo == FileWorker;
        ASSERT_EQ(workers.workers.size(), startsWorker ? 1u : 0u);
        if (startsWorker) {
            EXPECT_EQ(workers.workers[0].kind, c.goesTo == FtpWorker ? EWorkerKind::FtpClient : EWorkerKind::FileClient);
            EXPECT_EQ(workers.StartedWith(0), record.csFileName);
        }
        if (c.goesTo == FindResultThread) {
            std::vector<Received> got = findResult.WaitFor(++findResultJobs);
            ASSERT_EQ(got.size(), findResultJobs);
            EXPECT_EQ(got.back().message, WM_RESUME_TRANSFER);
            ASSERT_EQ(got.back().records.size(), 1u);
            EXPECT_EQ(got.back().records[0].csFileName, record.csFileName);
        }
    }

    // A peer download for a find-result thread that has ended is dropped without harm.
    findResult.End();
    int deleted = 0;
    CTransferRecord peer = FtpDownload("late.bin");
    peer.csProtocol = "GNUTELLA";
    EXPECT_EQ(Resume(std::make_unique<CountedRecord>(peer, deleted), true), 1);
    EXPECT_EQ(deleted, 1);
    frame->m_findResultThread = realFindResult;
}

TEST_F(MainFrameTest, AResumedDownloadIntoTheTemporaryFolderGoesToItsRealDestination)
{
    struct Case {
        bool sourceInTemp;
        bool destinationInTemp;
        bool rewritten;
    } cases[] = {{true, true, true}, {true, false, false}, {false, true, false}};
    for (const Case& c : cases) {
        workers.workers.clear();
        CTransferRecord record = FtpDownload("part.bin");
        record.csProtocol = "FILE";
        record.csDestinProtocol = "FILE";
        const std::string tempCopy = app->m_csTempDir + "job7/part.bin";
        if (c.sourceInTemp)
            record.csFullFromAddress = tempCopy;
        record.csDownloadTo = c.destinationInTemp ? app->m_csTempDir + "job7/" : "/mnt/usb/";
        const std::string before = record.csDownloadTo;
        EXPECT_EQ(Resume(std::make_unique<CTransferRecord>(record), true), 1);
        ASSERT_EQ(workers.workers.size(), 1u);
        std::vector<Received> got = workers.workers[0].thread->WaitFor(1);
        ASSERT_EQ(got.size(), 1u);
        ASSERT_EQ(got[0].records.size(), 1u);
        EXPECT_EQ(got[0].records[0].csDownloadTo, c.rewritten ? std::string(DOWNLOADS) : before)
            << c.sourceInTemp << c.destinationInTemp;
    }
}

TEST_F(MainFrameTest, TransferEventsGoToTheListAndCodeZeroToTheOwningPane)
{
    FakePane local, remote;
    enum EPaneIs { NoPane, Local, Remote };
    struct Case {
        const char* source;
        const char* destination;
        EPaneIs pane;
    } cases[] = {
        {"FTP", "FTP", Remote},    {"FTPS", "FTP", Remote},   {"FTP", "FTPS", Remote},
        {"FILE", "FTP", Local},    {"FILE", "FTPS", Local},   {"FTP", "FILE", Remote},
        {"FTPS", "FILE", Remote},  {"FILE", "FILE", Local},   {"HTTP", "FILE", NoPane},
        {"GNUTELLA", "FILE", NoPane}, {"FILE", "HTTP", NoPane}, {"file", "FTP", NoPane},
        {"FILE", "file", NoPane},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.source) + " -> " + c.destination);
        local.received.clear();
        remote.received.clear();
        list.received.clear();
        CTransferRecord record = FtpDownload("routed.bin");
        record.csProtocol = c.source;
        record.csDestinProtocol = c.destination;
        record.m_hwndLocalPane = local.hwnd;
        record.m_hwndRemotePane = remote.hwnd;

        EXPECT_EQ(Send(WM_TRANSFER_EVENT, record, TRANSFER_EVENT_PROGRESS), FakeTransfersList::UPDATE_ANSWER);
        EXPECT_EQ(list.Codes("routed.bin"), std::vector<platform::LPARAM>{TRANSFER_EVENT_PROGRESS});
        FakePane* owner = c.pane == Local ? &local : c.pane == Remote ? &remote : nullptr;
        for (FakePane* pane : {&local, &remote}) {
            if (pane != owner) {
                EXPECT_TRUE(pane->received.empty());
                continue;
            }
            ASSERT_EQ(pane->received.size(), 1u);
            EXPECT_EQ(pane->received[0].message, WM_TRANSFER_EVENT);
            EXPECT_EQ(pane->received[0].lParam, TRANSFER_EVENT_CHANGED);
            EXPECT_EQ(pane->received[0].records[0].csFileName, "routed.bin");
        }
    }

    // A closed pane is skipped; without a list the answer is 0 and the pane still hears of it.
    CTransferRecord record = FtpDownload("routed.bin");
    remote.received.clear();
    {
        FakePane closed;
        record.m_hwndRemotePane = closed.hwnd;
    }
    EXPECT_EQ(Send(WM_TRANSFER_EVENT, record, TRANSFER_EVENT_FAILED), FakeTransfersList::UPDATE_ANSWER);
    record.m_hwndRemotePane = remote.hwnd;
    app->m_hwndTransfers = 0;
    EXPECT_EQ(Send(WM_TRANSFER_EVENT, record, TRANSFER_EVENT_FAILED), 0);
    EXPECT_EQ(remote.received.size(), 1u);
}

TEST_F(MainFrameTest, TheUpdateCheckDownloadsReachTheListButNoPane)
{
    struct Case {
        const char* folder;
        const char* file;
        int code;
    } cases[] = {
        {"update", "update.txt", TRANSFER_EVENT_COMPLETE},
        {"", "Updrin", TRANSFER_EVENT_COMPLETE},
        {"update", "update.txt", TRANSFER_EVENT_PROGRESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " code " + std::to_string(c.code));
        list.received.clear();
        CTransferRecord record = FtpDownload(c.file);
        record.csProtocol = "FTP";   // even a protocol that names a pane
        record.csFolder = c.folder;
        record.m_hwndRemotePane = frame->m_hWnd;
        LRESULT expected = c.code == TRANSFER_EVENT_COMPLETE ? 0 : FakeTransfersList::UPDATE_ANSWER;
        EXPECT_EQ(Send(WM_TRANSFER_EVENT, record, c.code), expected);
        EXPECT_EQ(list.Codes(c.file), std::vector<platform::LPARAM>{c.code});
        EXPECT_EQ(list.received.size(), 1u) << "nothing came back to the frame as code 0";
    }
}

TEST_F(MainFrameTest, NotificationsBecomeTransferEventsWithTheirCodes)
{
    FakePane remote;
    struct Case {
        std::uint32_t message;
        platform::LPARAM code;
        LRESULT result;
    } cases[] = {
        {WM_NOTIFY_PROGRESS, TRANSFER_EVENT_PROGRESS, FakeTransfersList::UPDATE_ANSWER},
        {WM_NOTIFY_COMPLETE, TRANSFER_EVENT_COMPLETE, 0},
        {WM_NOTIFY_DATA_START, TRANSFER_EVENT_DATA_START, 0},
        {WM_NOTIFY_FAILED, TRANSFER_EVENT_FAILED, FakeTransfersList::UPDATE_ANSWER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        list.received.clear();
        remote.received.clear();
        CTransferRecord record = FtpDownload("notified.bin");
        record.m_hwndRemotePane = remote.hwnd;
        EXPECT_EQ(Send(c.message, record), c.result);
        EXPECT_EQ(list.Codes("notified.bin"), std::vector<platform::LPARAM>{c.code});
        ASSERT_EQ(remote.received.size(), 1u);
        EXPECT_EQ(remote.received[0].lParam, TRANSFER_EVENT_CHANGED);
    }
}

TEST_F(MainFrameTest, ManyWorkersReportingAtOnceAreAllHandledInTheirOrder)
{
    FakePane remote;
    constexpr int WORKER_COUNT = 8;
    constexpr int PROGRESS_COUNT = 40;
    std::atomic<int> lost = 0;
    std::atomic<int> wrongWork = 0;
    std::vector<platform::StartedThread> threads;
    for (int w = 0; w < WORKER_COUNT; ++w) {
        threads.push_back(platform::StartThread([&, w, window = frame->m_hWnd, pane = remote.hwnd] {
            CTransferRecord record = FtpDownload("w" + std::to_string(w) + ".bin", "host" + std::to_string(w));
            record.m_hwndRemotePane = pane;
            platform::SendMessage(window, WM_QUEUE_TRANSFER, Param(record), 0);

            Message ask;
            ask.message = WM_GET_QUEUED_TRANSFER;
            ask.lParam = platform::CurrentThreadId();
            ask.payload = std::make_unique<CServerCriteria>(record.csHostAddress, "21", "anna", "secret");
            auto* work = platform::SendMessageTimeout(window, ask, NOTIFY_TIMEOUT_MS)
                             ? ask.ReplyAs<CTransferRecordArray>()
                             : nullptr;
            if (!work || work->GetSize() != 1 || (*work)[0].csFileName != record.csFileName)
                ++wrongWork;
            platform::SendMessage(window, WM_DEQUEUE_TRANSFER, Param(record), 0);

            if (!NotifyUi(window, WM_NOTIFY_DATA_START, Param(record), 0))
                ++lost;
            for (int p = 1; p <= PROGRESS_COUNT; ++p) {
                record.dwDownloaded = static_cast<std::uint64_t>(p);
                if (!NotifyUi(window, WM_NOTIFY_PROGRESS, Param(record), 0))
                    ++lost;
            }
            platform::SendMessage(window, WM_NOTIFY_COMPLETE, Param(record), 0);
            return 0;
        }));
    }
    PumpUntil([&] {
        for (const auto& thread : threads)
            if (!thread.handle.HasEnded())
                return false;
        return true;
    });
    for (const auto& thread : threads)
        ASSERT_TRUE(thread.handle.HasEnded());

    EXPECT_EQ(lost, 0);
    EXPECT_EQ(wrongWork, 0);
    EXPECT_TRUE(frame->m_pendingQueue.IsEmpty());
    std::vector<platform::LPARAM> expected{TRANSFER_EVENT_QUEUED, TRANSFER_EVENT_DATA_START};
    expected.insert(expected.end(), PROGRESS_COUNT, TRANSFER_EVENT_PROGRESS);
    expected.push_back(TRANSFER_EVENT_COMPLETE);
    for (int w = 0; w < WORKER_COUNT; ++w) {
        const std::string name = "w" + std::to_string(w) + ".bin";
        EXPECT_EQ(list.Codes(name), expected) << name;
        std::vector<std::uint64_t> progress;
        for (const Received& got : list.received)
            if (got.message == WM_TRANSFERS_UPDATE && got.lParam == TRANSFER_EVENT_PROGRESS &&
                got.records[0].csFileName == name)
                progress.push_back(got.records[0].dwDownloaded);
        for (std::size_t p = 0; p < progress.size(); ++p)
            ASSERT_EQ(progress[p], p + 1) << name;
    }
    EXPECT_EQ(remote.received.size(), static_cast<std::size_t>(WORKER_COUNT) * expected.size());
}

TEST_F(MainFrameTest, SearchLookupsAnswerTextsTemplatesAndIndexes)
{
    CTransferRecord limits;
    limits.dwMinSize = 1000;
    limits.dwMaxSize = 5000;
    limits.m_bExactPhrase = 1;
    frame->m_searchRegistry.Add("first search", CTransferRecord());
    frame->m_searchRegistry.Add("second search", limits);

    auto lookup = [&](platform::WPARAM value, platform::LPARAM kind, std::unique_ptr<platform::MessagePayload> text,
                      std::unique_ptr<platform::MessagePayload>* reply) {
        Message msg;
        msg.message = WM_GNUTELLA_QUERY_LOOKUP;
        msg.wParam = value;
        msg.lParam = kind;
        msg.payload = std::move(text);
        LRESULT result = frame->WindowProc(msg);
        *reply = std::move(msg.reply);
        return result;
    };
    std::unique_ptr<platform::MessagePayload> reply;

    EXPECT_EQ(lookup(1, 1, nullptr, &reply), 1);
    auto* text = dynamic_cast<platform::TextPayload*>(reply.get());
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->m_csText, "second search");

    EXPECT_EQ(lookup(1, 2, nullptr, &reply), 1);
    auto* templates = dynamic_cast<CTransferRecordArray*>(reply.get());
    ASSERT_TRUE(templates && templates->GetSize() == 1);
    EXPECT_EQ((*templates)[0].dwMinSize, 1000);
    EXPECT_EQ((*templates)[0].dwMaxSize, 5000);
    EXPECT_EQ((*templates)[0].m_bExactPhrase, 1);

    for (platform::LPARAM kind : {1, 2}) {
        EXPECT_EQ(lookup(2, kind, nullptr, &reply), 0) << kind;
        EXPECT_EQ(reply, nullptr);
    }
    EXPECT_EQ(lookup(0, 3, std::make_unique<platform::TextPayload>("second search"), &reply), 1);
    EXPECT_EQ(lookup(0, 3, std::make_unique<platform::TextPayload>("Second search"), &reply), -1);
    EXPECT_EQ(lookup(0, 4, nullptr, &reply), 0);

    Message learned;
    learned.message = WM_ADD_GNUTELLA_HOST;
    learned.payload = std::make_unique<platform::TextPayload>("10.0.0.7:6346");
    EXPECT_EQ(frame->WindowProc(learned), 0);
    EXPECT_EQ(frame->m_aLearnedHosts, std::vector<std::string>{"10.0.0.7:6346"});
}

TEST_F(MainFrameTest, SaveOrLoadIsPassedOnToTheTransfersList)
{
    for (platform::WPARAM flag : {0, 1}) {
        list.received.clear();
        Message msg;
        msg.message = WM_TRANSFERS_SAVE_OR_LOAD;
        msg.wParam = flag;
        EXPECT_EQ(frame->WindowProc(msg), 40 + static_cast<LRESULT>(flag));
        ASSERT_EQ(list.received.size(), 1u);
        EXPECT_EQ(list.received[0].message, WM_TRANSFERS_SAVE_OR_LOAD);
        EXPECT_EQ(list.received[0].wParam, flag);
    }
}

TEST_F(MainFrameTest, ClosingSetsTheFlagStopsTheFindResultThreadAndEndsTheLoop)
{
    HWND window = frame->m_hWnd;
    platform::ThreadHandle findResult = frame->m_findResultThread.handle;
    // A worker still reporting while the frame closes is served, not left hanging.
    std::atomic<bool> stop = false;
    std::atomic<int> served = 0;
    platform::StartedThread reporter = platform::StartThread([&] {
        CTransferRecord record = FtpDownload("late.bin");
        while (!stop && platform::SendMessageTimeout(window, WM_NOTIFY_PROGRESS, Param(record), 0, 5000))
            ++served;
        return 0;
    });
    PumpUntil([&] { return served > 0; });

    EXPECT_EQ(platform::SendMessage(window, platform::WM_CLOSE), 0);
    stop = true;
    // A send that slipped in after the last dispatch is answered here, as the loop would.
    PumpUntil([&] { return reporter.handle.HasEnded(); });
    EXPECT_TRUE(reporter.handle.HasEnded());
    EXPECT_TRUE(app->m_bClosing);
    EXPECT_TRUE(frame->m_bDestroyed);
    EXPECT_TRUE(findResult.HasEnded());
    EXPECT_FALSE(platform::IsWindow(window));
    EXPECT_TRUE(platform::IsQuitRequested());
}
