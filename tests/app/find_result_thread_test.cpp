#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <memory>
#include <thread>

#include "net/base_connection.h"
#include "net/messages.h"
#include "platform/thread.h"
#include "support/temp_folder.h"
#include "transfers/find_result_thread.h"
#include "transfers/transfer_database.h"

namespace {

CTransferRecord Result(const std::string& name)
{
    CTransferRecord record;
    record.csFileName = name;
    record.csAddress = "10.0.0.1:6346";
    record.csExBlock = "urn:sha1:" + name;
    record.csFindQuery = "music";
    record.csDownloadTo = "/home/anna/";
    record.csRealDownloadTo = "/home/anna/";
    return record;
}

// A table update whose end (written or dropped) and the moment of it can be observed.
struct Update {
    std::shared_ptr<platform::Event> done = std::make_shared<platform::Event>(true, false);
    std::shared_ptr<bool> written = std::make_shared<bool>(false);

    std::unique_ptr<CUpdateTableRequest> Request(const std::string& table, const CTransferRecord& record)
    {
        auto request = std::make_unique<CUpdateTableRequest>();
        request->m_csTable = table;
        request->m_aRecords.Add(record);
        request->m_pDone = done;
        request->m_pWritten = written;
        return request;
    }
};

// Records, when freed, whether the results had been emptied by then.
class ProbeRequest : public CUpdateTableRequest {
public:
    ProbeRequest(std::shared_ptr<platform::Event> cleared, std::shared_ptr<bool> clearedFirst)
        : m_cleared(std::move(cleared)), m_clearedFirst(std::move(clearedFirst))
    {
    }
    ~ProbeRequest() override { *m_clearedFirst = m_cleared->IsSet(); }

private:
    std::shared_ptr<platform::Event> m_cleared;
    std::shared_ptr<bool> m_clearedFirst;
};

class CountedArray : public CTransferRecordArray {
public:
    explicit CountedArray(std::shared_ptr<int> freed) : m_freed(std::move(freed)) {}
    ~CountedArray() override { ++*m_freed; }

private:
    std::shared_ptr<int> m_freed;
};

class FindResultThreadTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(db.OpenDatabase(folder.Path()));
        for (const char* name : {"one.mp3", "two.mp3"})
            ASSERT_TRUE(db.InsertRecord(ETransferTable::FindResult, Result(name)));
        ASSERT_TRUE(db.InsertRecord(ETransferTable::Transfers, Result("download.mp3")));

        auto object = std::make_unique<CthFillFindResult>(folder.Path(), databaseIdle);
        idle = object->m_hIdleEvent;
        cleared = object->m_hClearedEvent;
        thread = BeginWorkerThread(std::move(object));
        ASSERT_NE(thread.id, 0u);
        ASSERT_EQ(idle->Wait(10000), platform::WAIT_OBJECT_0);
    }
    void TearDown() override
    {
        if (locker) {
            sqlite3_exec(locker, "ROLLBACK", nullptr, nullptr, nullptr);
            sqlite3_close(locker);
        }
        platform::PostThreadMessage(thread.id, WM_THREAD_SHUTDOWN);
        thread.handle.Wait(platform::INFINITE);
    }

    // Another connection takes the write lock: the thread's next table update waits for it.
    void LockDatabase()
    {
        ASSERT_EQ(sqlite3_open(CTransferDatabase::DatabasePath(folder.Path()).c_str(), &locker), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(locker, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    void UnlockDatabase()
    {
        sqlite3_exec(locker, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(locker);
        locker = nullptr;
    }
    // Posts an update that blocks on the lock, and waits until the thread is in it.
    Update BlockTheThread()
    {
        Update first;
        CTransferRecord changed = Result("download.mp3");
        changed.dwDownloaded = 1;
        EXPECT_TRUE(platform::PostThreadMessage(thread.id, WM_UPDATE_TABLE, 0, 0, first.Request("Transfers", changed)));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (idle->IsSet() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_FALSE(idle->IsSet()) << "the thread did not start the update";
        return first;
    }
    std::uint64_t StoredDownloaded()
    {
        CTransferRecordArray rows;
        EXPECT_TRUE(db.LoadRecords(ETransferTable::Transfers, rows));
        return rows.IsEmpty() ? 0 : rows[0].dwDownloaded;
    }

    testsupport::TempFolder folder;
    CTransferDatabase db;
    platform::Event databaseIdle{true, true};
    std::shared_ptr<platform::Event> idle;
    std::shared_ptr<platform::Event> cleared;
    platform::StartedThread thread;
    sqlite3* locker = nullptr;
};

TEST_F(FindResultThreadTest, ClearingGoesBeforeWaitingMessagesWhichKeepTheirOrder)
{
    LockDatabase();
    Update first = BlockTheThread();

    // Waiting behind the blocked update: two updates, then the clear.
    auto clearedFirst = std::make_shared<bool>(false);
    auto probe = std::make_unique<ProbeRequest>(cleared, clearedFirst);
    probe->m_csTable = "Transfers";
    CTransferRecord second = Result("download.mp3");
    second.dwDownloaded = 2;
    probe->m_aRecords.Add(second);
    Update third;
    CTransferRecord newest = Result("download.mp3");
    newest.dwDownloaded = 3;
    ASSERT_TRUE(platform::PostThreadMessage(thread.id, WM_UPDATE_TABLE, 0, 0, std::move(probe)));
    ASSERT_TRUE(platform::PostThreadMessage(thread.id, WM_UPDATE_TABLE, 0, 0, third.Request("Transfers", newest)));
    ASSERT_TRUE(platform::PostThreadMessage(thread.id, WM_CLEAR_RESULTS));
    EXPECT_FALSE(cleared->IsSet());
    UnlockDatabase();

    ASSERT_EQ(third.done->Wait(10000), platform::WAIT_OBJECT_0);
    EXPECT_TRUE(*first.written);
    EXPECT_TRUE(*clearedFirst) << "an update that waited ran before the clear";
    EXPECT_TRUE(*third.written);
    EXPECT_TRUE(cleared->IsSet());
    // The newest copy was written last.
    EXPECT_EQ(StoredDownloaded(), 3u);
    CTransferRecordArray results;
    ASSERT_TRUE(db.LoadRecords(ETransferTable::FindResult, results));
    EXPECT_TRUE(results.IsEmpty());
    EXPECT_EQ(idle->Wait(10000), platform::WAIT_OBJECT_0);
}

TEST_F(FindResultThreadTest, AWaitingShutdownEndsTheThreadAndFreesEveryWaitingPayload)
{
    LockDatabase();
    Update first = BlockTheThread();

    Update second;
    CTransferRecord later = Result("download.mp3");
    later.dwDownloaded = 2;
    auto freed = std::make_shared<int>(0);
    ASSERT_TRUE(platform::PostThreadMessage(thread.id, WM_UPDATE_TABLE, 0, 0, second.Request("Transfers", later)));
    ASSERT_TRUE(platform::PostThreadMessage(thread.id, WM_STORE_RESULTS, 0, 0, std::make_unique<CountedArray>(freed)));
    ASSERT_TRUE(platform::PostThreadMessage(thread.id, WM_RESUME_TRANSFER, 0, 0, std::make_unique<CountedArray>(freed)));
    ASSERT_TRUE(platform::PostThreadMessage(thread.id, WM_THREAD_SHUTDOWN));
    UnlockDatabase();

    ASSERT_EQ(thread.handle.Wait(10000), platform::WAIT_OBJECT_0);
    EXPECT_TRUE(*first.written);
    EXPECT_TRUE(second.done->IsSet());
    EXPECT_FALSE(*second.written);
    EXPECT_EQ(*freed, 2);
    EXPECT_EQ(StoredDownloaded(), 1u);
    EXPECT_FALSE(platform::PostThreadMessage(thread.id, WM_CLEAR_RESULTS));
}

TEST_F(FindResultThreadTest, AnUpdateForAnUnknownTableWritesNothing)
{
    Update update;
    CTransferRecord changed = Result("download.mp3");
    changed.dwDownloaded = 9;
    ASSERT_TRUE(platform::PostThreadMessage(thread.id, WM_UPDATE_TABLE, 0, 0,
                                            update.Request("Transfers; DROP TABLE Transfers", changed)));
    ASSERT_EQ(update.done->Wait(10000), platform::WAIT_OBJECT_0);
    EXPECT_FALSE(*update.written);
    EXPECT_EQ(StoredDownloaded(), 0u);
}

}  // namespace
