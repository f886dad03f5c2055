#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "support/temp_folder.h"
#include "transfers/record_fixtures.h"
#include "transfers/transfer_database.h"

using testsupport::TempFolder;
using transfertest::EveryFieldSet;
using transfertest::ExpectSameStoredFields;
using transfertest::ExtremeValues;
using transfertest::Row;

namespace {

constexpr auto TRANSFERS = ETransferTable::Transfers;

class TableUpdateTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_db.OpenDatabase(m_folder.Path())) << m_db.Error(); }

    void Store(const std::vector<CTransferRecord>& rows)
    {
        for (const CTransferRecord& row : rows)
            ASSERT_TRUE(m_db.InsertRecord(TRANSFERS, row)) << m_db.Error();
    }

    CTransferRecordArray Stored()
    {
        CTransferRecordArray rows;
        EXPECT_TRUE(m_db.LoadRecords(TRANSFERS, rows));
        return rows;
    }

    CTableUpdateResult Update(const std::vector<CTransferRecord>& records)
    {
        CTransferRecordArray array;
        for (const CTransferRecord& r : records)
            array.Add(r);
        return m_db.UpdateTableFromRecords(array, TRANSFERS, m_idle);
    }

    TempFolder m_folder;
    CTransferDatabase m_db;
    platform::Event m_idle{true, true};
};

CTransferRecord WithState(CTransferRecord r, std::uint16_t state)
{
    r.nTransfersState = state;
    return r;
}

}  // namespace

TEST_F(TableUpdateTest, MatchingRules)
{
    struct Case {
        const char* what;
        CTransferRecord row;
        CTransferRecord record;
        bool matches;
    };
    const Case cases[] = {
        {"same name and destination", Row("a.iso", "/d/", "/r/"), Row("a.iso", "/d/", "/x/"), true},
        {"same name and final place", Row("a.iso", "/d/", "/r/"), Row("a.iso", "/x/", "/r/"), true},
        {"same name, other places", Row("a.iso", "/d/", "/r/"), Row("a.iso", "/x/", "/y/"), false},
        {"name differs in case", Row("a.iso", "/d/", "/r/"), Row("A.iso", "/d/", "/r/"), false},
        {"destination differs by a slash", Row("a.iso", "/d/", "/r/"), Row("a.iso", "/d", "/r"), false},
        {"apostrophes", Row("it's.iso", "/o'neil/", "/r/"), Row("it's.iso", "/o'neil/", "/x/"), true},
        {"doubled apostrophe is another name", Row("it's.iso", "/d/", "/r/"), Row("it''s.iso", "/d/", "/r/"), false},
        {"extension block and destination", Row("a.iso", "/d/", "/r/", "urn:sha1:X"),
         Row("b.iso", "/d/", "/y/", "urn:sha1:X"), true},
        {"extension block and final place", Row("a.iso", "/d/", "/r/", "urn:sha1:X"),
         Row("b.iso", "/x/", "/r/", "urn:sha1:X"), true},
        {"extension block, other places", Row("a.iso", "/d/", "/r/", "urn:sha1:X"),
         Row("b.iso", "/x/", "/y/", "urn:sha1:X"), false},
        {"other extension block", Row("a.iso", "/d/", "/r/", "urn:sha1:X"), Row("b.iso", "/d/", "/r/", "urn:sha1:Y"),
         false},
        {"empty extension blocks never match", Row("a.iso", "/d/", "/r/", ""), Row("b.iso", "/d/", "/r/", ""), false},
        {"empty final places never match", Row("a.iso", "/d/", ""), Row("a.iso", "/x/", ""), false},
        {"empty destinations never match", Row("a.iso", "", "/r/"), Row("a.iso", "", "/y/"), false},
        {"an empty final place still matches by destination", Row("a.iso", "/d/", ""), Row("a.iso", "/d/", ""), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(m_db.DeleteAll(TRANSFERS));
        Store({WithState(c.row, 1)});
        const CTableUpdateResult result = Update({WithState(c.record, 4)});
        EXPECT_EQ(result.eResult, ETableUpdate::Updated);
        EXPECT_EQ(result.nRowsWritten, c.matches ? 1u : 0u);
        const CTransferRecordArray stored = Stored();
        ASSERT_EQ(stored.GetSize(), 1u);
        EXPECT_EQ(stored[0].nTransfersState, c.matches ? 4u : 1u);
    }
}

TEST_F(TableUpdateTest, EveryColumnIsWrittenExceptTheFiveKeptOnes)
{
    // The row and the record share only the extension block and the destination.
    CTransferRecord row = EveryFieldSet();
    CTransferRecord record = ExtremeValues();
    record.csExBlock = row.csExBlock;
    record.csDownloadTo = row.csDownloadTo;
    Store({row});

    ASSERT_EQ(Update({record}).nRowsWritten, 1u);

    CTransferRecord expected = record;
    expected.csFileName = row.csFileName;
    expected.csFindQuery = row.csFindQuery;
    expected.csExBlock = row.csExBlock;
    expected.FtpAttributes = row.FtpAttributes;
    expected.qwFileSize = row.qwFileSize;
    const CTransferRecordArray stored = Stored();
    ASSERT_EQ(stored.GetSize(), 1u);
    ExpectSameStoredFields(expected, stored[0]);
}

TEST_F(TableUpdateTest, RowsWithoutARecordStayAsTheyAreAndNoRowIsAdded)
{
    CTransferRecord untouched = ExtremeValues();
    untouched.csFileName = "nobody's.txt";
    const CTransferRecord matched = Row("it's.txt", "/d/", "/r/");
    Store({untouched, matched});

    CTransferRecord newRecord = EveryFieldSet();   // has no row
    const CTableUpdateResult result = Update({newRecord, WithState(matched, 4)});
    EXPECT_EQ(result.nRowsWritten, 1u);

    const CTransferRecordArray stored = Stored();
    ASSERT_EQ(stored.GetSize(), 2u);
    ExpectSameStoredFields(untouched, stored[0]);
    EXPECT_EQ(stored[1].nTransfersState, 4u);
}

TEST_F(TableUpdateTest, TwoRowsForTheSameFileBothTakeTheFirstRecord)
{
    const CTransferRecord row = Row("same.iso", "/d/", "/r/");
    Store({row, row});

    CTransferRecord first = WithState(row, 2);
    first.dwDownloaded = 111;
    CTransferRecord second = WithState(row, 4);
    second.dwDownloaded = 222;
    EXPECT_EQ(Update({first, second}).nRowsWritten, 2u);

    for (const CTransferRecord& stored : Stored()) {
        EXPECT_EQ(stored.nTransfersState, 2u);
        EXPECT_EQ(stored.dwDownloaded, 111u);
    }
}

TEST_F(TableUpdateTest, TheFirstMatchingRecordWinsWhicheverRuleMatches)
{
    const CTransferRecord row = Row("a.iso", "/d/", "/r/", "urn:sha1:X");
    const CTransferRecord byName = Row("a.iso", "/x/", "/r/");
    const CTransferRecord byExBlock = Row("b.iso", "/d/", "/y/", "urn:sha1:X");
    const CTransferRecord byNameAndDestination = Row("a.iso", "/d/", "/y/");
    const CTransferRecord noMatch = Row("c.iso", "/d/", "/r/", "urn:sha1:Y");

    struct Order {
        std::vector<CTransferRecord> records;
        std::int32_t winner;
    };
    const Order orders[] = {
        {{noMatch, byName, byExBlock, byNameAndDestination}, 1},
        {{noMatch, byExBlock, byName, byNameAndDestination}, 1},
        {{byNameAndDestination, noMatch, byExBlock, byName}, 0},
        {{noMatch, noMatch, byExBlock}, 2},
    };
    for (const Order& order : orders) {
        SCOPED_TRACE(order.winner);
        ASSERT_TRUE(m_db.DeleteAll(TRANSFERS));
        Store({row});
        std::vector<CTransferRecord> records = order.records;
        for (std::size_t i = 0; i < records.size(); ++i)
            records[i].nGlobalFileIndex = static_cast<std::int32_t>(i);
        ASSERT_EQ(Update(records).nRowsWritten, 1u);
        EXPECT_EQ(Stored()[0].nGlobalFileIndex, order.winner);
    }
}

TEST_F(TableUpdateTest, ApostropheNameIsInsertedFoundAndDeleted)
{
    CTransferRecord r = Row("O'Brien's 'song'.mp3", "/home/o'brien/", "/home/o'brien/");
    r.csAddress = "ftp.example.org";
    Store({r});
    EXPECT_EQ(Stored()[0].csFileName, "O'Brien's 'song'.mp3");

    EXPECT_EQ(Update({WithState(r, 4)}).nRowsWritten, 1u);
    EXPECT_EQ(Stored()[0].nTransfersState, 4u);

    std::size_t deleted = 0;
    ASSERT_TRUE(m_db.DeleteTransfer(TRANSFERS, r, &deleted));
    EXPECT_EQ(deleted, 1u);
    EXPECT_EQ(Stored().GetSize(), 0u);
}

TEST_F(TableUpdateTest, BusyDatabaseIsSkippedAndTheIdleEventIsSetAgainAfterwards)
{
    const CTransferRecord row = Row("a.iso", "/d/", "/r/");
    Store({row});

    m_idle.Reset();
    const CTableUpdateResult skipped = Update({WithState(row, 4)});
    EXPECT_EQ(skipped.eResult, ETableUpdate::Skipped);
    EXPECT_EQ(skipped.nRowsWritten, 0u);
    EXPECT_EQ(Stored()[0].nTransfersState, 0u);
    EXPECT_FALSE(m_idle.IsSet());   // still the other user's

    m_idle.Set();
    EXPECT_EQ(Update({WithState(row, 4)}).eResult, ETableUpdate::Updated);
    EXPECT_TRUE(m_idle.IsSet());
    EXPECT_EQ(Stored()[0].nTransfersState, 4u);

    // A failing update sets it again too.
    CTransferDatabase closed;
    CTransferRecordArray records;
    records.Add(row);
    EXPECT_EQ(closed.UpdateTableFromRecords(records, TRANSFERS, m_idle).eResult, ETableUpdate::Failed);
    EXPECT_TRUE(m_idle.IsSet());
}

// Random rows and records drawn from a few values each, so that every rule and many
// ties occur; the result must be what trying each record in turn gives.
TEST_F(TableUpdateTest, AgreesWithTryingEveryRecordInTurn)
{
    const char* names[] = {"a", "b", "it's"};
    const char* places[] = {"", "/d/", "/e/", "/o'd/"};
    const char* blocks[] = {"", "urn:sha1:X", "urn:sha1:Y"};
    std::mt19937 random(20240611);
    auto pick = [&](const auto& values) { return values[random() % std::size(values)]; };
    auto draw = [&] { return Row(pick(names), pick(places), pick(places), pick(blocks)); };

    std::vector<CTransferRecord> rows(300);
    std::vector<CTransferRecord> records(20);
    for (CTransferRecord& row : rows) {
        row = draw();
        row.nGlobalFileIndex = -1;
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
        records[i] = draw();
        records[i].nGlobalFileIndex = static_cast<std::int32_t>(i);
    }
    Store(rows);

    std::vector<std::int32_t> expected;
    std::size_t written = 0;
    for (const CTransferRecord& row : rows) {
        std::int32_t found = -1;
        for (const CTransferRecord& r : records) {
            const bool samePlace = (!r.csDownloadTo.empty() && r.csDownloadTo == row.csDownloadTo) ||
                                   (!r.csRealDownloadTo.empty() && r.csRealDownloadTo == row.csRealDownloadTo);
            const bool byName = r.csFileName == row.csFileName;
            const bool byBlock = !row.csExBlock.empty() && row.csExBlock == r.csExBlock;
            if ((byName || byBlock) && samePlace) {
                found = r.nGlobalFileIndex;
                break;
            }
        }
        expected.push_back(found);
        written += found >= 0;
    }
    ASSERT_GT(written, 50u);
    ASSERT_LT(written, rows.size());

    EXPECT_EQ(Update(records).nRowsWritten, written);
    const CTransferRecordArray stored = Stored();
    ASSERT_EQ(stored.GetSize(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i)
        EXPECT_EQ(stored[i].nGlobalFileIndex, expected[i]) << "row " << i;
}
