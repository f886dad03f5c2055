// Eleven downloads from one vsftpd on 127.0.0.1 started at once through the transfers
// list: ten workers run, the eleventh waits in the main frame's queue (queued in the list
// too) until one of the ten is done with its file and takes it over, and all eleven
// arrive byte-identical.

#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "app/transfers_list.h"
#include "ftp/ftp_job_fixture.h"
#include "support/ftp_test_server.h"

using testsupport::FtpTestServer;
using testsupport::RandomBytes;
using testsupport::ReadWholeFile;
using testsupport::TempFolder;
using testsupport::WriteWholeFile;

namespace {

// The frame's notifications go to its own transfers list here, as in the program, not to
// the fixture's recording stand-in.
class FtpWorkerLimit : public testsupport::FtpJobs {
protected:
    void SetUp() override
    {
        if (!FtpTestServer::Available("vsftpd"))
            GTEST_SKIP() << FtpTestServer::WhyUnavailable("vsftpd");
        FtpJobs::SetUp();
        ASSERT_TRUE(server.Start("vsftpd", root.Path(), false)) << server.Output();
        m_hwndRecording = app->m_hwndTransfers;
        app->m_hwndTransfers = Transfers().m_hWnd;
    }
    void TearDown() override
    {
        ResumeServer();
        if (!app)
            return;
        app->m_hwndTransfers = m_hwndRecording;
        FtpJobs::TearDown();
    }
    CTransfersList& Transfers() { return *app->MainFrame()->m_pTransfersList; }
    CMainFrame& Frame() { return *app->MainFrame(); }

    // While the server is stopped no worker gets past its greeting, so none can end.
    void StopServer()
    {
        m_stopped = server.Processes();
        for (int process : m_stopped)
            ::kill(process, SIGSTOP);
    }
    void ResumeServer()
    {
        for (int process : m_stopped)
            ::kill(process, SIGCONT);
        m_stopped.clear();
    }

    TempFolder root;
    FtpTestServer server;
    platform::HWND m_hwndRecording = 0;
    std::vector<int> m_stopped;
};

TEST_F(FtpWorkerLimit, EleventhDownloadWaitsInTheQueueForOneOfTheTenWorkers)
{
    constexpr std::size_t COUNT = CWorkerSlotTable::SLOT_COUNT + 1;
    std::vector<std::string> names;
    std::vector<std::string> data;
    for (std::size_t i = 0; i < COUNT; ++i) {
        names.push_back("file " + std::to_string(i) + ".bin");
        // Sizes differ, so that files mixed up between the jobs do not compare equal.
        data.push_back(RandomBytes((1u << 20) + i * 4099, static_cast<unsigned>(40 + i)));
        WriteWholeFile(root / names[i], data[i]);
    }
    // The rows, as a pane adds them.
    CTransfersList& transfers = Transfers();
    for (std::size_t i = 0; i < COUNT; ++i) {
        CTransferRecord record =
            Download(server.Port(), false, "/", names[i], data[i].size(), server.User(), server.Password());
        ASSERT_EQ(platform::SendMessage(transfers.m_hWnd, WM_TRANSFERS_ADD, reinterpret_cast<platform::WPARAM>(&record), 0), 1);
    }
    ASSERT_EQ(transfers.GetCount(), COUNT);

    StopServer();
    std::vector<std::size_t> all(COUNT);
    std::iota(all.begin(), all.end(), 0);
    transfers.Start(all);

    // Ten workers are alive, one for each of the first ten rows; the eleventh waits.
    std::set<platform::ThreadId> workers;
    for (int i = 0; i < CWorkerSlotTable::SLOT_COUNT; ++i) {
        const CWorkerSlotTable::Slot& slot = app->m_workerSlots[i];
        ASSERT_TRUE(slot.hThread) << "slot " << i;
        EXPECT_FALSE(slot.hThread.HasEnded()) << "slot " << i;
        workers.insert(slot.nThreadId);
    }
    EXPECT_EQ(workers.size(), static_cast<std::size_t>(CWorkerSlotTable::SLOT_COUNT));
    ASSERT_EQ(Frame().m_pendingQueue.GetSize(), 1u);
    EXPECT_EQ(Frame().m_pendingQueue[0].csFileName, names[COUNT - 1]);
    EXPECT_EQ(Frame().m_pendingQueue[0].nTransfersState, TRANSFER_STATE_QUEUED);
    EXPECT_EQ(transfers.Row(COUNT - 1).nTransfersState, TRANSFER_STATE_QUEUED);
    EXPECT_EQ(transfers.StatusText(COUNT - 1), "Queued");
    for (std::size_t i = 0; i + 1 < COUNT; ++i)
        EXPECT_NE(transfers.Row(i).nTransfersState, TRANSFER_STATE_QUEUED) << names[i];

    ResumeServer();
    auto allComplete = [&] {
        for (std::size_t i = 0; i < transfers.GetCount(); ++i)
            if (transfers.Row(i).nTransfersState != TRANSFER_STATE_COMPLETE)
                return false;
        return true;
    };
    ASSERT_TRUE(WaitUntil(allComplete, std::chrono::seconds(60)));
    ASSERT_TRUE(WaitUntil([&] { return WorkersEnded(); }));
    EXPECT_TRUE(Frame().m_pendingQueue.IsEmpty());
    for (std::size_t i = 0; i < COUNT; ++i)
        EXPECT_TRUE(ReadWholeFile(Local() + names[i]) == data[i]) << names[i] << " differs";

    // The eleventh was queued before it ran, and ran on one of the ten workers: no
    // eleventh worker was started.
    const std::string log = ReadWholeFile(app->m_csLogsDir + names[COUNT - 1] + ".log");
    const std::size_t queued = log.find("Add to queue for destination");
    const std::size_t taken = log.find("try resume from queue");
    ASSERT_NE(queued, std::string::npos) << log;
    ASSERT_NE(taken, std::string::npos) << log;
    EXPECT_LT(queued, taken) << log;
    EXPECT_EQ(workers.count(transfers.Row(COUNT - 1).m_dwWorkerThreadId), 1u) << log;
    for (int i = 0; i < CWorkerSlotTable::SLOT_COUNT; ++i)
        EXPECT_EQ(workers.count(app->m_workerSlots[i].nThreadId), 1u) << "slot " << i;
    for (std::size_t i = 0; i + 1 < COUNT; ++i)
        EXPECT_EQ(ReadWholeFile(app->m_csLogsDir + names[i] + ".log").find("Add to queue"), std::string::npos)
            << names[i];
}

}  // namespace
