// The list line parser, driven by a table of real lines: the producers' own shapes, and
// lines captured from vsftpd, pure-ftpd, proftpd and an MS-DOS style server as the FTP
// lister hands them on (DOS lines rewritten, " FTP 0" put in front of the first blank).

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/file_list_format.h"

namespace {

const std::string kUser = "tester";
const std::string kPassword = "secret";
const std::string kAddress = "ftp.example.org:21";
const std::string kFolder = "/pub/";
const std::string kExBlock = "urn:sha1:PLSTHIPQQO2LTV4XJ5ZM7QVVKEYUJNZP";

std::string CurrentYear()
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return std::to_string(local.tm_year + 1900);
}

// What the FTP lister does with a Unix server line: " FTP 0" in front of the first blank.
std::string InsertFtpColumns(std::string line)
{
    const std::size_t blank = line.find(' ');
    line.insert(blank == std::string::npos ? 0 : blank, " FTP 0");
    return line;
}

struct Fed {
    std::string line;
    std::string defaultYear;
};

Fed FromUnixServer(const std::string& raw)
{
    return {InsertFtpColumns(raw + "\r\n"), ""};
}

Fed FromDosServer(const std::string& raw)
{
    Fed fed{raw + "\r\n", ""};
    ConvertDosListLine(fed.line, fed.defaultYear);
    fed.line = InsertFtpColumns(fed.line);
    return fed;
}

Fed Direct(const std::string& line, const std::string& defaultYear = "")
{
    return {line, defaultYear};
}

int Parse(CTransferRecordArray& listing, std::string_view line, const std::string& defaultYear)
{
    return ParseListLine(kUser, kPassword, listing, kAddress, kFolder, line, kExBlock, defaultYear, "0:00");
}

// The line in a heap block of exactly its length, so that the address sanitizer stops
// any read past its end; a std::string would hide one behind its terminator.
class ExactBuffer {
public:
    explicit ExactBuffer(std::string_view text) : m_size(text.size()), m_data(new char[text.size()])
    {
        text.copy(m_data.get(), text.size());
    }
    std::string_view View() const { return {m_data.get(), m_size}; }

private:
    std::size_t m_size;
    std::unique_ptr<char[]> m_data;
};

// All the fields the parser fills, as one text, for comparing two parses.
std::string Describe(const CTransferRecord& r)
{
    return r.FtpAttributes + "|" + r.csProtocol + "|" + std::to_string(r.dwFileIndex) + "|" + r.m_csOwner +
           "|" + r.m_csGroup + "|" + std::to_string(r.qwFileSize) + "|" + r.csModified + "|" +
           std::to_string(r.nMonth) + "|" + std::to_string(r.nDay) + "|" + std::to_string(r.nYar) + "|" +
           std::to_string(r.nHour) + "|" + std::to_string(r.nMin) + "|" + r.csFileName + "|" +
           r.m_csLinkTarget + "|" + r.csAddress + "|" + r.csFolder + "|" + r.csExBlock + "|" +
           r.csUserSource + "|" + r.csPasswordSource;
}

constexpr int kThisYear = -1;   // stands for the current year in the expected values

struct Case {
    const char* what;
    Fed fed;
    bool skipped = false;
    // Expected entry; "{Y}" in modified stands for the current year.
    std::string name;
    std::string attributes;
    std::string protocol = "FTP";
    std::string owner;
    std::string group;
    std::uint64_t size = 0;
    std::string modified;
    int month = 0, day = 0, year = 0, hour = 0, minute = 0;
    std::int32_t fileIndex = 0;
    std::string linkTarget;
};

std::vector<Case> Table()
{
    using namespace std::string_literals;
    return {
        // The producers' own shapes.
        {.what = "server line with group column, name with blank",
         .fed = Direct("-rw-r--r-- FTP 0 1 owner group 1024 Jan 5 12:30 my file.txt\r\n"),
         .name = "my file.txt", .attributes = "-rw-r--r--", .owner = "owner", .group = "group", .size = 1024,
         .modified = "05.01.{Y} 12:30", .month = 1, .day = 5, .year = kThisYear, .hour = 12, .minute = 30},
        {.what = "no group column",
         .fed = Direct("-rw-r--r-- FTP 0 1 owner 1024 Jan 5 12:30 file.txt"),
         .name = "file.txt", .attributes = "-rw-r--r--", .owner = "owner", .group = " ", .size = 1024,
         .modified = "05.01.{Y} 12:30", .month = 1, .day = 5, .year = kThisYear, .hour = 12, .minute = 30},
        {.what = "no group column and a name with a blank: the fields shift by one",
         .fed = Direct("-rw-r--r-- FTP 0 1 owner 1024 Jan 5 12:30 my file.txt"),
         .name = "file.txt", .attributes = "-rw-r--r--", .owner = "owner", .group = "1024", .size = 0,
         .modified = "12:30.5.my 0:00", .month = 5, .day = 12, .year = 0, .hour = 0, .minute = 0},
        {.what = "link with a year",
         .fed = Direct("lrwxrwxrwx FTP 0 1 root root 7 Mar 1 2003 lib -> usr/lib"),
         .name = "lib", .attributes = "lrwxrwxrwx", .owner = "root", .group = "root", .size = 7,
         .modified = "01.03.2003 0:00", .month = 3, .day = 1, .year = 2003, .linkTarget = "usr/lib"},
        {.what = "link without group column: the arrow keeps name and target in one field",
         .fed = Direct("lrwxrwxrwx FTP 0 1 root 7 Mar 1 2003 lib -> usr/lib"),
         .name = "lib", .attributes = "lrwxrwxrwx", .owner = "root", .group = " ", .size = 7,
         .modified = "01.03.2003 0:00", .month = 3, .day = 1, .year = 2003, .linkTarget = "usr/lib"},
        {.what = "parent entry of a server listing",
         .fed = Direct("d FTP 0 0 0 0 0 0 0 0  ..\r\n"),
         .name = "..", .attributes = "d", .owner = "0", .group = "0", .modified = "00.0.0 0:00"},
        {.what = "local \".\" entry", .fed = Direct("d FILE 0 0 0 0 0 03 07 09:05 .\r\n", "2021"), .skipped = true},
        {.what = "local \"..\" entry",
         .fed = Direct("d FILE 0 0 0 0 0 03 07 09:05 ..\r\n", "2021"),
         .name = "..", .attributes = "d", .protocol = "FILE", .owner = "0", .group = "0",
         .modified = "07.03.2021 09:05", .month = 3, .day = 7, .year = 2021, .hour = 9, .minute = 5},
        {.what = "local file",
         .fed = Direct("- FILE 0 0 0 0 1536 11 30 23:59 notes 2023.txt\r\n", "2023"),
         .name = "notes 2023.txt", .attributes = "-", .protocol = "FILE", .owner = "0", .group = "0",
         .size = 1536, .modified = "30.11.2023 23:59", .month = 11, .day = 30, .year = 2023, .hour = 23,
         .minute = 59},
        {.what = "local file whose time could not be read",
         .fed = Direct("- FILE 0 0 0 0 12 0 0 0:00 odd name.bin\r\n"),
         .name = "odd name.bin", .attributes = "-", .protocol = "FILE", .owner = "0", .group = "0", .size = 12,
         .modified = "00.0.{Y} 0:00", .year = kThisYear},
        {.what = "peer-network result over 4 GiB",
         .fed = Direct("- GNUTELLA 17 0 0 0 5000000000 0 0 0 my song.mp3\r\n"),
         .name = "my song.mp3", .attributes = "-", .protocol = "GNUTELLA", .owner = "0", .group = "0",
         .size = 5000000000ull, .modified = "00.0.0 0:00", .fileIndex = 17},
        {.what = "size over 2^31 is not negative",
         .fed = Direct("-rw-r--r-- FTP 0 1 owner group 3000000000 Jan 5 12:30 big.bin\r\n"),
         .name = "big.bin", .attributes = "-rw-r--r--", .owner = "owner", .group = "group",
         .size = 3000000000ull, .modified = "05.01.{Y} 12:30", .month = 1, .day = 5, .year = kThisYear,
         .hour = 12, .minute = 30},
        {.what = "negative size reads as 0",
         .fed = Direct("-rw-r--r-- FTP 0 1 owner group -5 Jan 5 2001 neg\r\n"),
         .name = "neg", .attributes = "-rw-r--r--", .owner = "owner", .group = "group", .size = 0,
         .modified = "05.01.2001 0:00", .month = 1, .day = 5, .year = 2001},
        {.what = "month word that is not a month",
         .fed = Direct("-rw-r--r-- FTP 0 1 owner group 10 Foo 5 2001 x\r\n"),
         .name = "x", .attributes = "-rw-r--r--", .owner = "owner", .group = "group", .size = 10,
         .modified = "05.FOO.2001 0:00", .month = 0, .day = 5, .year = 2001},
        {.what = "arrow in the name of a plain file belongs to the name",
         .fed = Direct("-rw-r--r-- FTP 0 1 owner group 3 Jan 5 2001 a -> b\r\n"),
         .name = "a -> b", .attributes = "-rw-r--r--", .owner = "owner", .group = "group", .size = 3,
         .modified = "05.01.2001 0:00", .month = 1, .day = 5, .year = 2001},
        {.what = "link listed without its target",
         .fed = Direct("lrwxrwxrwx FTP 0 1 owner group 3 Jan 5 2001 dangling\r\n"),
         .name = "dangling", .attributes = "lrwxrwxrwx", .owner = "owner", .group = "group", .size = 3,
         .modified = "05.01.2001 0:00", .month = 1, .day = 5, .year = 2001},
        {.what = "trailing blank of a name is kept",
         .fed = Direct("-rw-r--r-- FTP 0 1 owner group 3 Jan 5 2001 trailing \r\n"),
         .name = "trailing ", .attributes = "-rw-r--r--", .owner = "owner", .group = "group", .size = 3,
         .modified = "05.01.2001 0:00", .month = 1, .day = 5, .year = 2001},
        // Hostile names are kept as listed; IsSafeEntryName rejects them later.
        {.what = "peer name climbing out of the folder",
         .fed = Direct("- GNUTELLA 3 0 0 0 10 0 0 0 ../../.bashrc\r\n"),
         .name = "../../.bashrc", .attributes = "-", .protocol = "GNUTELLA", .owner = "0", .group = "0",
         .size = 10, .modified = "00.0.0 0:00", .fileIndex = 3},
        {.what = "peer name with a NUL byte",
         .fed = Direct("- GNUTELLA 4 0 0 0 10 0 0 0 a\0b.txt\r\n"s),
         .name = "a\0b.txt"s, .attributes = "-", .protocol = "GNUTELLA", .owner = "0", .group = "0", .size = 10,
         .modified = "00.0.0 0:00", .fileIndex = 4},
        {.what = "server name with a slash",
         .fed = Direct("-rw-r--r-- FTP 0 1 o g 1 Jan 1 2001 sub/evil\r\n"),
         .name = "sub/evil", .attributes = "-rw-r--r--", .owner = "o", .group = "g", .size = 1,
         .modified = "01.01.2001 0:00", .month = 1, .day = 1, .year = 2001},

        // vsftpd (numeric owner and group).
        {.what = "vsftpd file",
         .fed = FromUnixServer("-rw-r--r--    1 0        0         1048576 Dec 11 03:43 bin.dat"),
         .name = "bin.dat", .attributes = "-rw-r--r--", .owner = "0", .group = "0", .size = 1048576,
         .modified = "11.12.{Y} 03:43", .month = 12, .day = 11, .year = kThisYear, .hour = 3, .minute = 43},
        {.what = "vsftpd file over 4 GiB with a year",
         .fed = FromUnixServer("-rw-r--r--    1 1000     1000   5368709120 Mar 02  2023 big.iso"),
         .name = "big.iso", .attributes = "-rw-r--r--", .owner = "1000", .group = "1000", .size = 5368709120ull,
         .modified = "02.03.2023 0:00", .month = 3, .day = 2, .year = 2023},
        {.what = "vsftpd UTF-8 name",
         .fed = FromUnixServer("-rw-r--r--    1 0        0              12 Dec 11 03:43 résumé – 日本語.txt"),
         .name = "résumé – 日本語.txt", .attributes = "-rw-r--r--", .owner = "0", .group = "0", .size = 12,
         .modified = "11.12.{Y} 03:43", .month = 12, .day = 11, .year = kThisYear, .hour = 3, .minute = 43},
        // pure-ftpd.
        {.what = "pure-ftpd folder with blanks",
         .fed = FromUnixServer("drwxr-xr-x    2 root       root             4096 Dec 11 03:43 dir with space"),
         .name = "dir with space", .attributes = "drwxr-xr-x", .owner = "root", .group = "root", .size = 4096,
         .modified = "11.12.{Y} 03:43", .month = 12, .day = 11, .year = kThisYear, .hour = 3, .minute = 43},
        {.what = "pure-ftpd file",
         .fed = FromUnixServer("-rw-r--r--    1 tester     tester            6 Dec 11 03:43 small.txt"),
         .name = "small.txt", .attributes = "-rw-r--r--", .owner = "tester", .group = "tester", .size = 6,
         .modified = "11.12.{Y} 03:43", .month = 12, .day = 11, .year = kThisYear, .hour = 3, .minute = 43},
        // proftpd.
        {.what = "proftpd link",
         .fed = FromUnixServer("lrwxrwxrwx   1 tester   root            9 Dec 11 03:43 link.txt -> small.txt"),
         .name = "link.txt", .attributes = "lrwxrwxrwx", .owner = "tester", .group = "root", .size = 9,
         .modified = "11.12.{Y} 03:43", .month = 12, .day = 11, .year = kThisYear, .hour = 3, .minute = 43,
         .linkTarget = "small.txt"},
        {.what = "proftpd link with blanks on both sides",
         .fed = FromUnixServer("lrwxrwxrwx   1 tester   root           12 Dec 11 03:43 my link -> my target"),
         .name = "my link", .attributes = "lrwxrwxrwx", .owner = "tester", .group = "root", .size = 12,
         .modified = "11.12.{Y} 03:43", .month = 12, .day = 11, .year = kThisYear, .hour = 3, .minute = 43,
         .linkTarget = "my target"},
        {.what = "proftpd file of exactly 4 GiB",
         .fed = FromUnixServer("-rw-r--r--   1 tester   root     4294967296 Jan  1  2024 exactly 4 GiB.bin"),
         .name = "exactly 4 GiB.bin", .attributes = "-rw-r--r--", .owner = "tester", .group = "root",
         .size = 4294967296ull, .modified = "01.01.2024 0:00", .month = 1, .day = 1, .year = 2024},
        {.what = "proftpd name with two blanks in a row",
         .fed = FromUnixServer("-rw-r--r--   1 tester   root            0 Dec 11 03:43 two  blanks"),
         .name = "two  blanks", .attributes = "-rw-r--r--", .owner = "tester", .group = "root",
         .modified = "11.12.{Y} 03:43", .month = 12, .day = 11, .year = kThisYear, .hour = 3, .minute = 43},
        {.what = "server without group column",
         .fed = FromUnixServer("-rw-r--r--   1 ftp            2048 Dec 11 03:43 nogroup.txt"),
         .name = "nogroup.txt", .attributes = "-rw-r--r--", .owner = "ftp", .group = " ", .size = 2048,
         .modified = "11.12.{Y} 03:43", .month = 12, .day = 11, .year = kThisYear, .hour = 3, .minute = 43},
        // MS-DOS style server.
        {.what = "DOS folder, PM",
         .fed = FromDosServer("01-25-04  10:30PM       <DIR>          Folder"),
         .name = "Folder", .attributes = "d", .owner = "0", .group = "0", .modified = "25.01.2004 22:30",
         .month = 1, .day = 25, .year = 2004, .hour = 22, .minute = 30},
        {.what = "DOS file with a blank, four-digit year",
         .fed = FromDosServer("01-25-2004  09:15AM                 1234 a b.txt"),
         .name = "a b.txt", .attributes = "-", .owner = "0", .group = "0", .size = 1234,
         .modified = "25.01.2004 09:15", .month = 1, .day = 25, .year = 2004, .hour = 9, .minute = 15},
        {.what = "DOS file over 4 GiB at 12:05AM",
         .fed = FromDosServer("11-03-10  12:05AM           5368709120 midnight.iso"),
         .name = "midnight.iso", .attributes = "-", .owner = "0", .group = "0", .size = 5368709120ull,
         .modified = "03.11.2010 00:05", .month = 11, .day = 3, .year = 2010, .hour = 0, .minute = 5},
        {.what = "DOS file, 24-hour time",
         .fed = FromDosServer("11-03-2011  14:30                   42 x.txt"),
         .name = "x.txt", .attributes = "-", .owner = "0", .group = "0", .size = 42,
         .modified = "03.11.2011 14:30", .month = 11, .day = 3, .year = 2011, .hour = 14, .minute = 30},
    };
}

void ExpectEntry(const CTransferRecord& r, const Case& c, const std::string& thisYear)
{
    std::string modified = c.modified;
    if (const std::size_t at = modified.find("{Y}"); at != std::string::npos)
        modified.replace(at, 3, thisYear);
    EXPECT_EQ(r.csFileName, c.name);
    EXPECT_EQ(r.FtpAttributes, c.attributes);
    EXPECT_EQ(r.csProtocol, c.protocol);
    EXPECT_EQ(r.m_csOwner, c.owner);
    EXPECT_EQ(r.m_csGroup, c.group);
    EXPECT_EQ(r.qwFileSize, c.size);
    EXPECT_EQ(r.csModified, modified);
    EXPECT_EQ(r.nMonth, c.month);
    EXPECT_EQ(r.nDay, c.day);
    EXPECT_EQ(r.nYar, c.year == kThisYear ? std::stoi(thisYear) : c.year);
    EXPECT_EQ(r.nHour, c.hour);
    EXPECT_EQ(r.nMin, c.minute);
    EXPECT_EQ(r.dwFileIndex, c.fileIndex);
    EXPECT_EQ(r.m_csLinkTarget, c.linkTarget);
    EXPECT_EQ(r.csAddress, kAddress);
    EXPECT_EQ(r.csFolder, kFolder);
    EXPECT_EQ(r.csExBlock, kExBlock);
    EXPECT_EQ(r.csUserSource, kUser);
    EXPECT_EQ(r.csPasswordSource, kPassword);
    // Fields the parser does not own keep the defaults of a new record.
    EXPECT_EQ(r.nFolderAction, 1);
    EXPECT_EQ(r.dwParentFolder, -1);
    EXPECT_EQ(r.nTransfersState, 0);
}

TEST(ParseListLine, TableOfRealLinesOneByOne)
{
    const std::string thisYear = CurrentYear();
    for (const Case& c : Table()) {
        SCOPED_TRACE(std::string(c.what) + ": " + c.fed.line);
        CTransferRecordArray listing;
        const int result = Parse(listing, ExactBuffer(c.fed.line).View(), c.fed.defaultYear);
        if (c.skipped) {
            EXPECT_EQ(result, 0);
            EXPECT_TRUE(listing.IsEmpty());
            continue;
        }
        ASSERT_EQ(result, 1);
        ASSERT_EQ(listing.GetSize(), 1u);
        ExpectEntry(listing[0], c, thisYear);
    }
}

// All lines in one buffer, each handed over as a view of the buffer up to its CR LF, into
// one listing: the entries come out in order and no line sees its neighbours.
TEST(ParseListLine, TableOfRealLinesAsOneStream)
{
    const std::string thisYear = CurrentYear();
    const std::vector<Case> table = Table();
    std::string stream;
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    for (const Case& c : table) {
        std::string line = c.fed.line;
        if (!line.ends_with("\r\n"))
            line += "\r\n";
        spans.emplace_back(stream.size(), line.size());
        stream += line;
    }
    const ExactBuffer buffer(stream);

    CTransferRecordArray listing;
    std::vector<const Case*> appended;
    for (std::size_t i = 0; i < table.size(); ++i) {
        const std::string_view line = buffer.View().substr(spans[i].first, spans[i].second);
        const std::size_t before = listing.GetSize();
        EXPECT_EQ(Parse(listing, line, table[i].fed.defaultYear), table[i].skipped ? 0 : 1) << table[i].what;
        EXPECT_EQ(listing.GetSize(), before + (table[i].skipped ? 0 : 1)) << table[i].what;
        if (!table[i].skipped)
            appended.push_back(&table[i]);
    }
    ASSERT_EQ(listing.GetSize(), appended.size());
    for (std::size_t i = 0; i < appended.size(); ++i) {
        SCOPED_TRACE(appended[i]->what);
        ExpectEntry(listing[i], *appended[i], thisYear);
    }
}

// Whole server replies put through the steps the FTP lister takes with every data line:
// the parent entry first, DOS lines rewritten, "total" on the first line and the
// server's own ".." dropped, " FTP 0" inserted, then the parser, which drops ".".
TEST(ParseListLine, ServerListingsAsTheListerFeedsThem)
{
    auto list = [](const std::string& data) {
        CTransferRecordArray listing;
        Parse(listing, "d FTP 0 0 0 0 0 0 0 0  ..\r\n", "");
        bool first = true;
        for (std::size_t at = 0; at < data.size();) {
            const std::size_t end = data.find("\r\n", at);
            std::string line = data.substr(at, end - at + 2);
            at = end + 2;
            std::string year;
            ConvertDosListLine(line, year);
            std::string upper = line;
            for (char& ch : upper)
                ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
            const bool total = first && upper.find("TOTAL") != std::string::npos;
            first = false;
            if (total || line.find(" ..\r\n") != std::string::npos)
                continue;
            Parse(listing, InsertFtpColumns(line), year);
        }
        std::vector<std::string> names;
        for (const CTransferRecord& r : listing)
            names.push_back(r.csFileName + "|" + std::to_string(r.qwFileSize) + "|" + r.m_csLinkTarget);
        return names;
    };

    const std::string proftpd =
        "total 16\r\n"
        "drwxr-xr-x   3 tester   root         4096 Dec 11 03:43 .\r\n"
        "drwxr-xr-x   5 root     root         4096 Dec 11 03:40 ..\r\n"
        "-rw-r--r--   1 tester   root            6 Dec 11 03:43 small.txt\r\n"
        "lrwxrwxrwx   1 tester   root            9 Dec 11 03:43 link.txt -> small.txt\r\n"
        "drwxr-xr-x   2 tester   root         4096 Dec 11 03:43 dir with space\r\n"
        "-rw-r--r--   1 tester   root     6442450944 Jan  1  2024 six GiB.img\r\n"
        "-rw-r--r--   1 tester   root            5 Dec 11 03:43 total recall.txt\r\n";
    EXPECT_EQ(list(proftpd), (std::vector<std::string>{"..|0|", "small.txt|6|", "link.txt|9|small.txt",
                                                        "dir with space|4096|", "six GiB.img|6442450944|",
                                                        "total recall.txt|5|"}));

    const std::string dos =
        "01-25-04  10:30PM       <DIR>          Folder\r\n"
        "01-25-2004  09:15AM                 1234 a b.txt\r\n"
        "02-29-2024  07:45PM           5368709120 big image.iso\r\n";
    EXPECT_EQ(list(dos), (std::vector<std::string>{"..|0|", "Folder|0|", "a b.txt|1234|",
                                                    "big image.iso|5368709120|"}));
}

TEST(ParseListLine, LinesWithoutAnEntryAreSkippedAndLeaveTheListingAlone)
{
    using namespace std::string_literals;
    const std::string lines[] = {
        "",
        "\r\n",
        "          \r\n",
        "-rw-r--r--",
        "-rw-r--r-- FTP",
        "-rw-r--r-- FTP \r\n",
        "total FTP 0 12\r\n",
        // Seven fields: the time and the name are missing.
        "-rw-r--r-- FTP 0 1 owner group 1024 Jan 5\r\n",
        "-rw-r--r-- FTP 0 1 owner group 1024 Jan 5 \r\n",
        // The arrow ends the split at seven fields.
        "lrwxrwxrwx FTP 0 1 root 7 Mar 1 lib -> usr/lib\r\n",
        // Empty names, with and without group column.
        "-rw-r--r-- FTP 0 1 owner group 1024 Jan 5 12:30 \r\n",
        "-rw-r--r-- FTP 0 1 owner group 1024 Jan 5 12:30    \r\n",
        "-rw-r--r-- FTP 0 1 owner 1024 Jan 5 12:30 \r\n",
        // "." of a server folder and of a peer result, and one without CR LF.
        "drwxr-xr-x FTP 0 3 tester root 4096 Dec 11 03:43 .\r\n",
        "d FILE 0 0 0 0 0 03 07 09:05 .",
        // A line ends at its CR LF: what follows belongs to no field.
        "-rw-r--r--\r\n FTP 0 1 owner group 1024 Jan 5 12:30 name\r\n",
        "-rw-r--r-- FTP 0 1 owner group\r\n1024 Jan 5 12:30 name\r\n",
        "-rw-r--r-- FTP 0 1 owner group 1024 Jan\r\n5 12:30 name\r\n",
        "\0\0\0\0"s,
    };
    for (const std::string& line : lines) {
        SCOPED_TRACE(line);
        CTransferRecordArray listing;
        Parse(listing, "d FTP 0 0 0 0 0 0 0 0  ..\r\n", "");
        EXPECT_EQ(Parse(listing, ExactBuffer(line).View(), ""), 0);
        ASSERT_EQ(listing.GetSize(), 1u);
        EXPECT_EQ(listing[0].csFileName, "..");
    }
}

// Every prefix of every table line is parsed twice: as a view into the full line, with the
// rest of the line right behind it, and as an exact copy. Both must give the same result,
// so nothing past the view is looked at; under the address sanitizer the copy also stops
// any read past the end.
TEST(ParseListLine, PrefixesOfRealLinesReadOnlyThemselves)
{
    for (const Case& c : Table()) {
        const std::string& line = c.fed.line;
        for (std::size_t n = 0; n <= line.size(); ++n) {
            const std::string_view inLine(line.data(), n);
            CTransferRecordArray a, b;
            const int ra = Parse(a, inLine, c.fed.defaultYear);
            const int rb = Parse(b, ExactBuffer(inLine).View(), c.fed.defaultYear);
            ASSERT_EQ(ra, rb) << c.what << " cut at " << n;
            ASSERT_EQ(a.GetSize(), static_cast<std::size_t>(ra));
            if (ra) {
                ASSERT_EQ(Describe(a[0]), Describe(b[0])) << c.what << " cut at " << n;
            }
        }
    }
}

TEST(ConvertDosListLine, EveryPrefixOfADosLineConvertsToSomethingTheParserCanTake)
{
    const std::string line = "01-25-2004  09:15PM                 1234 a b.txt\r\n";
    for (std::size_t n = 0; n <= line.size(); ++n) {
        std::string cut = line.substr(0, n);
        std::string year;
        ConvertDosListLine(cut, year);
        if (!year.empty())
            EXPECT_TRUE(cut.ends_with("\r\n")) << n;
        else
            EXPECT_EQ(cut, line.substr(0, n));
        CTransferRecordArray listing;
        Parse(listing, ExactBuffer(InsertFtpColumns(cut)).View(), year);
    }
}

// Lines made of listing tokens in random order; whatever comes out, the parser stays inside
// each line and only ever appends one named entry.
TEST(ParseListLine, ShuffledTokensNeverReadOutsideTheLine)
{
    using namespace std::string_literals;
    const std::string tokens[] = {
        "-rw-r--r--", "drwxr-xr-x", "lrwxrwxrwx", "d", "-", "FTP", "FILE", "0", "1", "4096", "3000000000",
        "-7", "+", "Jan", "dec", "Foo", "5", "12:30", ":", "2003", "->", " -> ", ".", "..", "<DIR>",
        "01-25-04", "10:30PM", "12:05AM", "name", "日本", "\r", "\n", "\r\n", "\t", "\0"s, " ", "  ", "   ",
    };
    std::mt19937 rng(20240601);
    std::uniform_int_distribution<std::size_t> pick(0, std::size(tokens) - 1);
    std::uniform_int_distribution<int> length(0, 24);
    CTransferRecordArray listing;
    for (int i = 0; i < 20000; ++i) {
        std::string line;
        for (int t = length(rng); t > 0; --t)
            line += tokens[pick(rng)];
        std::string year;
        ConvertDosListLine(line, year);
        const std::string fed = rng() % 2 ? InsertFtpColumns(line) : line;
        const std::size_t before = listing.GetSize();
        const int result = Parse(listing, ExactBuffer(fed).View(), year);
        ASSERT_EQ(listing.GetSize(), before + static_cast<std::size_t>(result)) << fed;
        if (result) {
            const std::string& name = listing[before].csFileName;
            ASSERT_FALSE(name.empty()) << fed;
            ASSERT_NE(name, ".") << fed;
            ASSERT_EQ(name.find("\r\n"), std::string::npos) << fed;
        }
    }
}

TEST(IsSafeEntryName, RejectsOnlyNamesThatCouldLeaveTheFolder)
{
    using namespace std::string_literals;
    struct NameCase {
        std::string name;
        bool safe;
    } cases[] = {
        {"", false},
        {".", false},
        {"..", false},
        {"/", false},
        {"a/b", false},
        {"../x", false},
        {"/etc/passwd", false},
        {"dir/", false},
        {"a\0b"s, false},
        {"\0"s, false},
        {"..\0"s, false},
        {"file.txt", true},
        {"...", true},
        {".hidden", true},
        {"..hidden", true},
        {" ..", true},
        {".. ", true},
        {"a b", true},
        {"résumé – 日本語.txt", true},
        {"a\\b", true},       // a backslash is an ordinary character on Linux
        {"-rf", true},
    };
    for (const NameCase& c : cases)
        EXPECT_EQ(IsSafeEntryName(c.name), c.safe) << "\"" << c.name << "\"";
}

// Names as a listing gives them, fed into the check: ".." stays in the listing for the panes
// but is not a name to write to; hostile peer and server names are caught.
TEST(IsSafeEntryName, AppliedToParsedEntries)
{
    using namespace std::string_literals;
    CTransferRecordArray listing;
    Parse(listing, "d FTP 0 0 0 0 0 0 0 0  ..\r\n", "");
    Parse(listing, "- GNUTELLA 3 0 0 0 10 0 0 0 ../../.bashrc\r\n", "");
    Parse(listing, "- GNUTELLA 4 0 0 0 10 0 0 0 a\0b.txt\r\n"s, "");
    Parse(listing, "-rw-r--r-- FTP 0 1 o g 1 Jan 1 2001 /etc/cron.d/x\r\n", "");
    Parse(listing, "-rw-r--r-- FTP 0 1 o g 1 Jan 1 2001 plain name.txt\r\n", "");
    ASSERT_EQ(listing.GetSize(), 5u);
    std::vector<bool> safe;
    for (const CTransferRecord& r : listing)
        safe.push_back(IsSafeEntryName(r.csFileName));
    EXPECT_EQ(safe, (std::vector<bool>{false, false, false, false, true}));
}

}  // namespace
