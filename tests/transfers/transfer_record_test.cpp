#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>

#include "transfers/record_fixtures.h"
#include "transfers/transfer_record.h"

using transfertest::EveryFieldSet;
using transfertest::ExpectSameStoredFields;

TEST(TransferRecord, NewRecordHasTheDocumentedDefaults)
{
    const CTransferRecord r;
    EXPECT_EQ(r.nFolderAction, 1);
    EXPECT_EQ(r.dwParentFolder, -1);
    EXPECT_EQ(r.dwFindListIndex, -1);
    EXPECT_EQ(r.m_dwSpeed, -1);
    EXPECT_EQ(r.m_nSocketKey, -1);
    EXPECT_EQ(r.bSsl, 0);
    EXPECT_EQ(r.bDownloadToTemp, 0);
    EXPECT_EQ(r.dwDownloaded, 0u);
    EXPECT_EQ(r.qwFileSize, 0u);
    EXPECT_EQ(r.nTransfersState, 0u);
    EXPECT_EQ(r.dwTryConnecting, 0);
    EXPECT_EQ(r.dwCurrentGroupIndex, 0);
    EXPECT_EQ(r.m_dwWorkerThreadId, 0u);
    EXPECT_EQ(r.m_hwndLocalPane, 0u);
    EXPECT_TRUE(r.csFileName.empty());
    EXPECT_TRUE(r.FtpAttributes.empty());
}

TEST(TransferRecord, CopyCarriesBothLayersAndTheWorkingFields)
{
    CTransferRecord original = EveryFieldSet();
    original.m_csOwner = "anna";
    original.m_csGroup = "users";
    original.m_csLinkTarget = "../target";
    original.m_csStatusText = "Running";
    original.m_dwSpeed = 4096;
    original.m_nSocketKey = 12;
    original.m_hwndRemotePane = 77;

    const CTransferRecord copy(original);
    CTransferRecord assigned;
    assigned = original;
    original.csFileName = "changed afterwards";

    for (const CTransferRecord* r : std::initializer_list<const CTransferRecord*>{&copy, &assigned}) {
        ExpectSameStoredFields(EveryFieldSet(), *r);
        EXPECT_EQ(r->m_csOwner, "anna");
        EXPECT_EQ(r->m_csGroup, "users");
        EXPECT_EQ(r->m_csLinkTarget, "../target");
        EXPECT_EQ(r->m_csStatusText, "Running");
        EXPECT_EQ(r->m_dwSpeed, 4096);
        EXPECT_EQ(r->m_nSocketKey, 12);
        EXPECT_EQ(r->m_hwndRemotePane, 77u);
    }
}

TEST(TransferRecord, TravelsAsAMessagePayload)
{
    std::unique_ptr<platform::MessagePayload> payload = std::make_unique<CTransferRecord>(EveryFieldSet());
    auto* record = dynamic_cast<CTransferRecord*>(payload.get());
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->csFileName, EveryFieldSet().csFileName);

    payload = std::make_unique<CTransferRecordArray>();
    EXPECT_NE(dynamic_cast<CTransferRecordArray*>(payload.get()), nullptr);
}

TEST(TransferRecordArray, AddCopiesInAndRemoveAtShiftsDown)
{
    CTransferRecordArray array;
    CTransferRecord r;
    std::size_t expectedIndex = 0;
    for (const char* name : {"a", "b", "c", "d"}) {
        r.csFileName = name;
        EXPECT_EQ(array.Add(r), expectedIndex++);
    }
    r.csFileName = "changed after adding";
    EXPECT_EQ(array[3].csFileName, "d");

    array[1].nTransfersState = 4;   // a reference into the array
    EXPECT_EQ(array[1].nTransfersState, 4u);

    array.RemoveAt(1);
    ASSERT_EQ(array.GetSize(), 3u);
    std::string names;
    for (const CTransferRecord& each : array)
        names += each.csFileName;
    EXPECT_EQ(names, "acd");

    array.RemoveAt(2);
    array.RemoveAt(5);   // past the end: nothing happens
    ASSERT_EQ(array.GetSize(), 2u);
    EXPECT_EQ(array[1].csFileName, "c");

    array.RemoveAll();
    EXPECT_EQ(array.GetSize(), 0u);
    EXPECT_TRUE(array.IsEmpty());
}
