#include "transfers/record_fixtures.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace transfertest {

namespace {
constexpr std::uint64_t GiB = 1024ull * 1024 * 1024;
}

CTransferRecord EveryFieldSet()
{
    CTransferRecord r;
    r.bSsl = 1;
    r.bUpload = 1;
    r.bDownloadToTemp = 1;
    r.bGnutGroupMember = 1;
    r.bDeleted = 1;
    r.dwMinSize = 6 * static_cast<std::int64_t>(GiB);
    r.dwMaxSize = 7 * static_cast<std::int64_t>(GiB);
    r.csFindQuery = "rock 'n' roll";
    r.nMin = 59;
    r.nYar = 2024;
    r.nHour = 23;
    r.nDay = 31;
    r.nMonth = 12;
    r.nFolderAction = 8;
    r.dwParentFolder = 17;
    r.csFullFromAddress = "ftps://example.org/pub/Grüße/O'Brien's file.iso";
    r.csRealDownloadTo = "/home/anna/Загрузки/it's mine/";
    r.csOldSource = "ftp://old.example.org/O'Brien's file.iso";
    r.csDestinAddress = "upload.example.org";
    r.nDestinPort = 2121;
    r.dwTryConnecting = 3;
    r.dwCurrentGroupIndex = 4;
    r.dwFindListIndex = 5;
    r.csUser = "anna";
    r.csPassword = "p'ss\"w;rd";
    r.csUserSource = "anonymous";
    r.csPasswordSource = "guest@";
    r.nFileNumber = 6;
    r.dwTransfersIndex = 7;
    r.nGlobalFileIndex = 8;
    r.dwDownloaded = 5 * GiB + 12345;
    r.csDestinProtocol = "FILE";
    r.csDownloadTo = "/home/anna/TEMP/";
    r.csExBlock = "urn:sha1:PLSTHIPQGSSZTS5FJUPAKUZWUGYQYPFB";
    r.csFolder = "/pub/Grüße/";
    r.csModified = "Jan 02 12:34";
    r.csProtocol = "FTPS";
    r.csAddress = "192.168.1.20:6346";
    r.dwFileIndex = 9;
    r.nLoadFlag = 10;
    r.nTransfersState = 2;
    r.qwFileSize = 5 * GiB + 67890;
    r.ipGlobalIndex = 11;
    r.csFileName = "O'Brien's file – 日本語.iso";
    r.csHostAddress = "example.org";
    r.csHostPort = "990";
    r.FtpAttributes = "-rw-r--r--";
    return r;
}

CTransferRecord ExtremeValues()
{
    using I32 = std::numeric_limits<std::int32_t>;
    using I64 = std::numeric_limits<std::int64_t>;
    CTransferRecord r;
    r.bSsl = I32::max();
    r.bUpload = I32::min();
    r.bDownloadToTemp = -1;
    r.bGnutGroupMember = I32::max();
    r.bDeleted = I32::min();
    r.dwMinSize = I64::min();
    r.dwMaxSize = I64::max();
    r.csFindQuery = "x'); DROP TABLE Transfers; --";
    r.nMin = I32::min();
    r.nYar = I32::max();
    r.nHour = -1;
    r.nDay = I32::min();
    r.nMonth = I32::max();
    r.nFolderAction = I32::min();
    r.dwParentFolder = I32::max();
    r.csFullFromAddress = "''''";
    r.csRealDownloadTo = "/" + std::string(4000, 'p') + "/";   // far past the old 255 limit
    r.csOldSource = std::string("before\0after", 12);
    r.csDestinAddress = "%s %i %%";
    r.nDestinPort = I32::min();
    r.dwTryConnecting = I32::max();
    r.dwCurrentGroupIndex = I32::min();
    r.dwFindListIndex = I32::max();
    r.csUser = "\"quoted\"";
    r.csPassword = "line\r\nbreak";
    r.csUserSource = "tab\there";
    r.csPasswordSource = "?1 ?2 :name @x $y";
    r.nFileNumber = I32::min();
    r.dwTransfersIndex = I32::max();
    r.nGlobalFileIndex = I32::min();
    r.dwDownloaded = std::numeric_limits<std::uint64_t>::max();
    r.csDestinProtocol = "GNUTELLA";
    r.csDownloadTo = std::string(300, '\'');
    r.csExBlock = "urn:sha1:" + std::string(300, 'Z');
    r.csFolder = "\xF0\x9F\x93\x81 folder";
    r.csModified = "";
    r.csProtocol = "HTTP";
    r.csAddress = "[::1]:8080";
    r.dwFileIndex = I32::max();
    r.nLoadFlag = I32::min();
    r.nTransfersState = std::numeric_limits<std::uint16_t>::max();
    r.qwFileSize = (1ull << 63) + 1;
    r.ipGlobalIndex = I32::min();
    r.csFileName = "a'b";
    r.csHostAddress = "NULL";
    r.csHostPort = "0";
    r.FtpAttributes = "drwxr-xr-x";
    return r;
}

CTransferRecord Row(const std::string& fileName, const std::string& downloadTo, const std::string& realDownloadTo,
                    const std::string& exBlock)
{
    CTransferRecord r;
    r.csFileName = fileName;
    r.csDownloadTo = downloadTo;
    r.csRealDownloadTo = realDownloadTo;
    r.csExBlock = exBlock;
    return r;
}

#define EXPECT_FIELD(name) EXPECT_EQ(expected.name, actual.name) << "field " #name

void ExpectSameStoredFields(const CTransferRecord& expected, const CTransferRecord& actual)
{
    EXPECT_FIELD(bSsl);
    EXPECT_FIELD(bUpload);
    EXPECT_FIELD(bDownloadToTemp);
    EXPECT_FIELD(bGnutGroupMember);
    EXPECT_FIELD(bDeleted);
    EXPECT_FIELD(dwMinSize);
    EXPECT_FIELD(dwMaxSize);
    EXPECT_FIELD(csFindQuery);
    EXPECT_FIELD(nMin);
    EXPECT_FIELD(nYar);
    EXPECT_FIELD(nHour);
    EXPECT_FIELD(nDay);
    EXPECT_FIELD(nMonth);
    EXPECT_FIELD(nFolderAction);
    EXPECT_FIELD(dwParentFolder);
    EXPECT_FIELD(csFullFromAddress);
    EXPECT_FIELD(csRealDownloadTo);
    EXPECT_FIELD(csOldSource);
    EXPECT_FIELD(csDestinAddress);
    EXPECT_FIELD(nDestinPort);
    EXPECT_FIELD(dwTryConnecting);
    EXPECT_FIELD(dwCurrentGroupIndex);
    EXPECT_FIELD(dwFindListIndex);
    EXPECT_FIELD(csUser);
    EXPECT_FIELD(csPassword);
    EXPECT_FIELD(csUserSource);
    EXPECT_FIELD(csPasswordSource);
    EXPECT_FIELD(nFileNumber);
    EXPECT_FIELD(dwTransfersIndex);
    EXPECT_FIELD(nGlobalFileIndex);
    EXPECT_FIELD(dwDownloaded);
    EXPECT_FIELD(csDestinProtocol);
    EXPECT_FIELD(csDownloadTo);
    EXPECT_FIELD(csExBlock);
    EXPECT_FIELD(csFolder);
    EXPECT_FIELD(csModified);
    EXPECT_FIELD(csProtocol);
    EXPECT_FIELD(csAddress);
    EXPECT_FIELD(dwFileIndex);
    EXPECT_FIELD(nLoadFlag);
    EXPECT_FIELD(nTransfersState);
    EXPECT_FIELD(qwFileSize);
    EXPECT_FIELD(ipGlobalIndex);
    EXPECT_FIELD(csFileName);
    EXPECT_FIELD(csHostAddress);
    EXPECT_FIELD(csHostPort);
    EXPECT_FIELD(FtpAttributes);
}

#undef EXPECT_FIELD

}  // namespace transfertest
