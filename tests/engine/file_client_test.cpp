#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>

#include "app/app_host.h"
#include "app/main_frame.h"
#include "app/vexo_app.h"
#include "engine/file_client.h"
#include "net/messages.h"
#include "platform/window_table.h"
#include "support/recording_transfers_list.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;
using testsupport::RandomBytes;
using testsupport::FolderTree;
using testsupport::ReadWholeFile;
using testsupport::WriteWholeFile;

namespace {

CTransferRecord LocalJob(const std::string& folder, const std::string& name, bool isFolder,
                         const std::string& destination)
{
    CTransferRecord record;
    record.csProtocol = "FILE";
    record.csDestinProtocol = "FILE";
    record.FtpAttributes = isFolder ? "d" : "-";
    record.csFolder = folder + "/";
    record.csFileName = name;
    record.csFullFromAddress = folder + "/" + name;
    record.csDownloadTo = destination + "/";
    record.csRealDownloadTo = destination + "/";
    record.csHostAddress = ":";
    record.csHostPort = "0";
    record.qwFileSize = isFolder ? 0 : fs::file_size(record.csFullFromAddress);
    return record;
}

class LocalCopy : public testing::Test {
protected:
    void SetUp() override
    {
        platform::SetUiThread();
        platform::ResetQuit();
        fs::create_directories(folder / "program");
        app = std::make_unique<CVexoApp>(folder / "program/korvalo", platform::Registry(folder / "registry"));
        ASSERT_TRUE(app->InitInstance(host));
        app->m_hwndTransfers = platform::RegisterWindow(&list);
        frame = app->MainFrame()->m_hWnd;
    }
    void TearDown() override
    {
        WaitUntil([&] {
            for (int i = 0; i < CWorkerSlotTable::SLOT_COUNT; ++i)
                if (app->m_workerSlots[i].hThread && !app->m_workerSlots[i].hThread.HasEnded())
                    return false;
            return true;
        });
        platform::UnregisterWindow(app->m_hwndTransfers);
        app->ExitInstance(0);
        app.reset();
        platform::ResetQuit();
    }
    // Serves the workers' sends until done() or 20 s.
    bool WaitUntil(const std::function<bool()>& done)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            platform::WaitForUiWork(20);
            platform::DispatchPendingSends();
        }
        return true;
    }
    void Start(const CTransferRecord& record)
    {
        platform::Message resume;
        resume.message = WM_RESUME_REQUEST;
        resume.lParam = 1;
        resume.payload = std::make_unique<CTransferRecord>(record);
        platform::SendMessage(frame, resume);
    }

    testsupport::TempFolder folder;
    CAppHost host;
    testsupport::CRecordingTransfersList list;
    std::unique_ptr<CVexoApp> app;
    platform::HWND frame = 0;
};

}  // namespace

TEST_F(LocalCopy, AFolderTreeArrivesWholeAndByteIdentical)
{
    const fs::path source = folder / "source/tree";
    fs::create_directories(source / "sub/deeper");
    fs::create_directories(source / "sub/empty folder");
    WriteWholeFile((source / "big.bin").string(), RandomBytes(3 << 20, 1));
    WriteWholeFile((source / "empty.txt").string(), "");
    WriteWholeFile((source / "one.txt").string(), "x");
    WriteWholeFile((source / "sub/with blank.bin").string(), RandomBytes(1 << 20, 2));
    WriteWholeFile((source / "sub/deeper/c.txt").string(), "hello");
    const std::string destination = folder / "destination";

    Start(LocalJob(folder / "source", "tree", true, destination));
    const auto expected = FolderTree(source);
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(destination + "/tree") && FolderTree(destination + "/tree") == expected; }))
        << "copied " << (fs::exists(destination + "/tree") ? FolderTree(destination + "/tree").size() : 0) << " of "
        << expected.size();
    EXPECT_TRUE(WaitUntil([&] { return app->MainFrame()->m_pendingQueue.IsEmpty(); }));

    // Every file job is announced before it completes, and completes once.
    for (const char* name : {"big.bin", "empty.txt", "one.txt", "with blank.bin", "c.txt"}) {
        int started = -1, completed = -1, completions = 0;
        for (std::size_t i = 0; i < list.events.size(); ++i) {
            if (list.events[i].first != name)
                continue;
            if (list.events[i].second == TRANSFER_EVENT_JOB_START && started < 0)
                started = static_cast<int>(i);
            if (list.events[i].second == TRANSFER_EVENT_COMPLETE) {
                completed = static_cast<int>(i);
                ++completions;
            }
        }
        EXPECT_GE(started, 0) << name;
        EXPECT_GT(completed, started) << name;
        EXPECT_EQ(completions, 1) << name;
    }
}

TEST_F(LocalCopy, AFolderCopyStoppedHalfWayCompletesWhenStartedAgain)
{
    const fs::path source = folder / "source/photos";
    fs::create_directories(source);
    for (int i = 0; i < 200; ++i)
        WriteWholeFile((source / ("p" + std::to_string(i) + ".jpg")).string(), RandomBytes(20000, static_cast<unsigned>(i)));
    const std::string destination = folder / "destination";
    const CTransferRecord job = LocalJob(folder / "source", "photos", true, destination);
    auto copied = [&] {
        std::error_code error;
        std::size_t files = 0;
        for (fs::directory_iterator it(destination + "/photos", error), end; !error && it != end; it.increment(error))
            ++files;
        return files;
    };

    Start(job);
    ASSERT_TRUE(WaitUntil([&] { return copied() >= 20; }));
    // Stop every worker, as quitting the program would.
    for (int i = 0; i < CWorkerSlotTable::SLOT_COUNT; ++i)
        if (app->m_workerSlots[i].hThread)
            platform::PostThreadMessage(app->m_workerSlots[i].nThreadId, WM_STOP_WORKER);
    ASSERT_TRUE(WaitUntil([&] {
        for (int i = 0; i < CWorkerSlotTable::SLOT_COUNT; ++i)
            if (app->m_workerSlots[i].hThread && !app->m_workerSlots[i].hThread.HasEnded())
                return false;
        return true;
    }));
    EXPECT_LT(copied(), 200u) << "stopped half-way";

    Start(job);
    const auto expected = FolderTree(source);
    EXPECT_TRUE(WaitUntil([&] { return FolderTree(destination + "/photos") == expected; }));
}

TEST_F(LocalCopy, ElevenJobsAtOnceRunTenAndQueueTheEleventh)
{
    const std::string source = folder / "many";
    fs::create_directories(source);
    for (int i = 0; i < 11; ++i)
        WriteWholeFile(source + "/f" + std::to_string(i), RandomBytes(1000 + i, static_cast<unsigned>(i)));
    const std::string destination = folder / "out";
    // All eleven requests reach the frame before any worker can run.
    for (int i = 0; i < 11; ++i)
        Start(LocalJob(source, "f" + std::to_string(i), false, destination));
    EXPECT_EQ(app->MainFrame()->m_pendingQueue.GetSize(), 1u);
    EXPECT_EQ(app->MainFrame()->m_pendingQueue[0].nTransfersState, 3);
    EXPECT_NE(ReadWholeFile(app->m_csLogsDir + "f10.log").find("Add to queue for destination: " + destination + "/"),
              std::string::npos);

    ASSERT_TRUE(WaitUntil([&] {
        for (int i = 0; i < 11; ++i)
            if (ReadWholeFile(destination + "/f" + std::to_string(i)) != ReadWholeFile(source + "/f" + std::to_string(i)))
                return false;
        return true;
    }));
    EXPECT_TRUE(app->MainFrame()->m_pendingQueue.IsEmpty());
}

TEST(LocalListing, ListsEntriesWith64BitSizesAndGoesUpToTheMountedFileSystems)
{
    testsupport::TempFolder folder;
    WriteWholeFile(folder / "a file.txt", "abc");
    fs::create_directory(folder / "sub");
    {
        int fd = ::open((folder / "huge.iso").c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(5ULL << 30)), 0);
        ::close(fd);
    }
    CFileProtocol protocol;
    ASSERT_TRUE(protocol.ListLocalFolder(folder.Path()));
    EXPECT_EQ(protocol.m_csLocalFolder, folder.Path() + "/");
    std::map<std::string, const CTransferRecord*> byName;
    for (const CTransferRecord& entry : protocol.m_aListing)
        byName[entry.csFileName] = &entry;
    ASSERT_EQ(byName.size(), 4u);   // "..", "a file.txt", "huge.iso", "sub"; "." is dropped
    EXPECT_EQ(byName["huge.iso"]->qwFileSize, 5ULL << 30);
    EXPECT_EQ(byName["a file.txt"]->qwFileSize, 3u);
    EXPECT_EQ(byName["a file.txt"]->csFolder, folder.Path() + "/");
    EXPECT_EQ(byName["a file.txt"]->csProtocol, "FILE");
    EXPECT_EQ(byName["sub"]->FtpAttributes, "d");
    EXPECT_EQ(byName["sub"]->qwFileSize, 0u);
    EXPECT_TRUE(byName.count(".."));

    ASSERT_TRUE(protocol.ListLocalFolder(folder.Path() + "/sub/.."));
    EXPECT_EQ(protocol.m_csLocalFolder, folder.Path() + "/");
    EXPECT_FALSE(protocol.ListLocalFolder(folder.Path() + "/missing"));

    ASSERT_TRUE(protocol.ListLocalFolder("/.."));
    bool root = false;
    for (const CTransferRecord& entry : protocol.m_aListing)
        root = root || entry.csFileName == "/";
    EXPECT_TRUE(root) << "the root file system is one of the drives";
}

namespace {

// A pane that shows a fixed folder and counts the listings it is sent.
class FakePane : public platform::WindowTarget {
public:
    platform::LRESULT WindowProc(platform::Message& msg) override
    {
        switch (msg.message) {
        case WM_PANE_GET_START_FOLDER:
        case WM_PANE_GET_FOLDER:
            msg.reply = std::make_unique<platform::TextPayload>(folder);
            return 1;
        case WM_PANE_GET_ADDRESS:
            msg.reply = std::make_unique<platform::TextPayload>("");
            return 1;
        case WM_PANE_LISTING: {
            names.clear();
            for (const CTransferRecord& entry : *reinterpret_cast<CTransferRecordArray*>(msg.wParam))
                names.push_back(entry.csFileName);
            ++listings;
            return 1;
        }
        default:
            return 0;
        }
    }
    bool Shows(const std::string& name) const { return std::find(names.begin(), names.end(), name) != names.end(); }

    std::string folder;
    std::vector<std::string> names;
    int listings = 0;
};

}  // namespace

TEST(BrowsingClient, FollowsTheFolderAndDeletesToTheTrash)
{
    testsupport::TempFolder folder;
    platform::SetUiThread();
    const char* oldData = std::getenv("XDG_DATA_HOME");
    const std::string savedData = oldData ? oldData : "";
    setenv("XDG_DATA_HOME", (folder / "data").c_str(), 1);
    fs::create_directories(folder / "shown");
    for (const char* name : {"one", "two", "three", "kept"})
        WriteWholeFile(folder / ("shown/" + std::string(name)), name);

    FakePane pane;
    pane.folder = folder / "shown";
    const platform::HWND paneWindow = platform::RegisterWindow(&pane);
    platform::StartedThread client = BeginWorkerThread(std::make_unique<CFileClient>());
    ASSERT_TRUE(platform::PostThreadMessage(client.id, WM_CONNECT_SESSION, paneWindow));
    auto waitFor = [&](const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            platform::WaitForUiWork(20);
            platform::DispatchPendingSends();
        }
        return done();
    };
    ASSERT_TRUE(waitFor([&] { return pane.Shows("kept"); }));

    // Another program creates a file: the pane's list follows without being asked.
    WriteWholeFile(folder / "shown/new file", "new");
    EXPECT_TRUE(waitFor([&] { return pane.Shows("new file"); }));
    fs::remove(folder / "shown/new file");
    EXPECT_TRUE(waitFor([&] { return !pane.Shows("new file"); })) << "later changes refresh it again";

    // Three selected files, then one request to delete them all.
    for (const char* name : {"one", "two", "three"}) {
        auto selection = std::make_unique<CTransferRecordArray>();
        CTransferRecord item;
        item.csDownloadTo = folder / "shown/";
        item.csFileName = name;
        selection->Add(item);
        platform::PostThreadMessage(client.id, WM_FILE_OPERATION, 0, 0, std::move(selection));
    }
    platform::PostThreadMessage(client.id, WM_FILE_OPERATION);
    EXPECT_TRUE(waitFor([&] { return !pane.Shows("one") && !pane.Shows("two") && !pane.Shows("three"); }));
    EXPECT_TRUE(pane.Shows("kept"));
    for (const char* name : {"one", "two", "three"})
        EXPECT_EQ(ReadWholeFile(folder / ("data/Trash/files/" + std::string(name))), name);

    platform::PostThreadMessage(client.id, WM_STOP_WORKER);
    EXPECT_TRUE(waitFor([&] { return client.handle.HasEnded(); }));
    platform::UnregisterWindow(paneWindow);
    if (oldData)
        setenv("XDG_DATA_HOME", savedData.c_str(), 1);
    else
        unsetenv("XDG_DATA_HOME");
}
