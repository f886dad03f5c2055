// The field readers of list lines: numbers, the date text, and the rewrite of MS-DOS
// style server lines.

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <limits>
#include <string>

#include "engine/file_list_format.h"

namespace {

std::string CurrentYear()
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return std::to_string(local.tm_year + 1900);
}

TEST(DecimalValue, SkipsWhiteSpaceTakesOneSignStopsAtTheFirstNonDigitAndWrapsAt32Bits)
{
    constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
    constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
    struct Case {
        std::string text;
        std::int32_t value;
        std::int64_t value64;
    } cases[] = {
        {"", 0, 0},
        {"   ", 0, 0},
        {"abc", 0, 0},
        {"-", 0, 0},
        {"42", 42, 42},
        {" \t\r\n42", 42, 42},
        {"0012", 12, 12},
        {"12abc", 12, 12},
        {"5 6", 5, 5},
        {"12:30", 12, 12},
        {"+7", 7, 7},
        {"-7", -7, -7},
        {"- 7", 0, 0},        // the sign must touch the digits
        {"+-7", 0, 0},        // one sign only
        {"x7", 0, 0},
        {std::string("4\0" "2", 3), 4, 4},
        {"2147483647", kMax, 2147483647},
        {"2147483648", kMin, 2147483648},
        {"-2147483648", kMin, -2147483648LL},
        {"3000000000", -1294967296, 3000000000},
        {"4294967296", 0, 4294967296},
        {"4294967297", 1, 4294967297},
        {"-4294967295", 1, -4294967295LL},
        {"5368709120", 1073741824, 5368709120},
        {"9223372036854775807", -1, std::numeric_limits<std::int64_t>::max()},
        {"9223372036854775808", 0, std::numeric_limits<std::int64_t>::min()},
        {"18446744073709551617", 1, 1},
        {"99999999999999999999", 1661992959, 7766279631452241919},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("text \"" + c.text + "\"");
        EXPECT_EQ(DecimalValue(c.text), c.value);
        EXPECT_EQ(DecimalValue64(c.text), c.value64);
        // Both read the same digits: the 32-bit value is the low half of the 64-bit one.
        EXPECT_EQ(static_cast<std::uint32_t>(DecimalValue64(c.text)), static_cast<std::uint32_t>(c.value));
    }
}

TEST(FormatListDate, PadsTheDayNumbersMonthNamesAndFillsAnEmptyYear)
{
    const std::string thisYear = CurrentYear();
    struct Case {
        std::string month, day, year, time;
        std::string text, monthAfter, yearAfter;
    } cases[] = {
        {"Jan", "5", "2004", "12:30", "05.01.2004 12:30", "01", "2004"},
        {"dec", "31", "1999", "0:00", "31.12.1999 0:00", "12", "1999"},
        {"sEp", "09", "2020", "1:02", "09.09.2020 1:02", "09", "2020"},
        {"OCT", "10", "2010", "23:59", "10.10.2010 23:59", "10", "2010"},
        {"Foo", "1", "2001", "0:00", "01.FOO.2001 0:00", "FOO", "2001"},
        {"January", "1", "2001", "0:00", "01.JANUARY.2001 0:00", "JANUARY", "2001"},
        {"Déc", "1", "2001", "0:00", "01.DéC.2001 0:00", "DéC", "2001"},   // ASCII letters only
        {"03", "7", "2021", "09:05", "07.03.2021 09:05", "03", "2021"},
        {"3", "07", "2021", "09:05", "07.3.2021 09:05", "3", "2021"},       // numeric months stay
        {"0", "0", "0", "0:00", "00.0.0 0:00", "0", "0"},
        {"", "", "1990", "0:00", "..1990 0:00", "", "1990"},
        {"Feb", "123", "1990", "0:00", "123.02.1990 0:00", "02", "1990"},
        {"Jan", "5", "", "12:30", "05.01." + thisYear + " 12:30", "01", thisYear},
        {"Jan", "5", "my", "0:00", "05.01.my 0:00", "01", "my"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.month + "|" + c.day + "|" + c.year + "|" + c.time);
        std::string month = c.month;
        std::string year = c.year;
        EXPECT_EQ(FormatListDate(month, c.day, year, c.time), c.text);
        EXPECT_EQ(month, c.monthAfter);
        EXPECT_EQ(year, c.yearAfter);
    }
}

TEST(ConvertDosListLine, RewritesDosLinesIntoListLinesAndReturnsTheYearBeside)
{
    struct Case {
        std::string in;
        std::string out;
        std::string year;
    } cases[] = {
        // Folders, PM hours, two-digit years.
        {"01-25-04  10:30PM       <DIR>          Folder\r\n", "d 0 0 0 0 01 25 22:30 Folder\r\n", "2004"},
        {"07-04-00  01:00PM       <dir>          lower case\r\n", "d 0 0 0 0 07 04 13:00 lower case\r\n", "2000"},
        {"12-31-10  11:59PM       <DIR>          last\r\n", "d 0 0 0 0 12 31 23:59 last\r\n", "2010"},
        {"06-30-21  02:07PM       <DIR>          Program Files\r\n", "d 0 0 0 0 06 30 14:07 Program Files\r\n", "2021"},
        {"06-30-69  02:07PM       <DIR>          late\r\n", "d 0 0 0 0 06 30 14:07 late\r\n", "2069"},
        {"06-30-70  02:07PM       <DIR>          early\r\n", "d 0 0 0 0 06 30 14:07 early\r\n", "1970"},
        {"03-14-99  08:00AM                  100 old.txt\r\n", "- 0 0 0 100 03 14 08:00 old.txt\r\n", "1999"},
        // Files, four-digit years, names with blanks.
        {"01-25-2004  09:15AM  1234 a b.txt", "- 0 0 0 1234 01 25 09:15 a b.txt\r\n", "2004"},
        {"02-29-2024  07:45PM           5368709120 big image.iso\r\n",
         "- 0 0 0 5368709120 02 29 19:45 big image.iso\r\n", "2024"},
        // Noon and midnight: 12 PM stays 12, 12 AM is hour 0, other AM hours are not changed.
        {"05-05-05  12:30PM                    1 noon.txt\r\n", "- 0 0 0 1 05 05 12:30 noon.txt\r\n", "2005"},
        {"05-05-05  12:05AM                    1 midnight.txt\r\n", "- 0 0 0 1 05 05 00:05 midnight.txt\r\n", "2005"},
        {"05-05-05  01:05am                    1 lower am.txt\r\n", "- 0 0 0 1 05 05 01:05 lower am.txt\r\n", "2005"},
        {"05-05-05  01:05pm                    1 lower pm.txt\r\n", "- 0 0 0 1 05 05 13:05 lower pm.txt\r\n", "2005"},
        // 24-hour times stay as they are.
        {"11-03-2011  14:30                   42 x.txt\r\n", "- 0 0 0 42 11 03 14:30 x.txt\r\n", "2011"},
        {"11-03-2011  00:00                   42 zero.txt\r\n", "- 0 0 0 42 11 03 00:00 zero.txt\r\n", "2011"},
        // Dotted dates; other bracketed types become the attributes, upper-cased, with size 0.
        {"25.01.2004  10:30                  100 dotted.txt\r\n", "- 0 0 0 100 25 01 10:30 dotted.txt\r\n", "2004"},
        {"07-04-2021  11:59PM    <junction>     Documents\r\n", "<JUNCTION> 0 0 0 0 07 04 23:59 Documents\r\n", "2021"},
        // The name ends at the first CR; UTF-8 passes through.
        {"01-02-03  04:05AM  6 naïve café.txt\r\n", "- 0 0 0 6 01 02 04:05 naïve café.txt\r\n", "2003"},
        {"01-02-03  04:05AM  6 cut\rhere\r\n", "- 0 0 0 6 01 02 04:05 cut\r\n", "2003"},
        // Odd shapes stay within the line: no second separator, no colon, a long minute.
        {"0125  10:30PM  7 nodash\r\n", "- 0 0 0 7 0125  22:30 nodash\r\n", "2000"},
        {"01-25-04  10PM  7 nocolon\r\n", "- 0 0 0 7 01 25 22: nocolon\r\n", "2004"},
        {"01-25-04  10:305  7 longminute\r\n", "- 0 0 0 7 01 25 10:30 longminute\r\n", "2004"},
        // Unix lines and the "total" line are left as they are, with no year.
        {"-rw-r--r--    1 0        0         1048576 Dec 11 03:43 bin.dat\r\n",
         "-rw-r--r--    1 0        0         1048576 Dec 11 03:43 bin.dat\r\n", ""},
        {"drwxr-xr-x    2 root       root             4096 Dec 11 03:43 dir\r\n",
         "drwxr-xr-x    2 root       root             4096 Dec 11 03:43 dir\r\n", ""},
        {"total 12\r\n", "total 12\r\n", ""},
        // Too few fields for a DOS line: unchanged, no year.
        {"01-25-04  10:30PM  <DIR>\r\n", "01-25-04  10:30PM  <DIR>\r\n", ""},
        {"01-25-04  10:30PM\r\n", "01-25-04  10:30PM\r\n", ""},
        {"01-25-04\r\n", "01-25-04\r\n", ""},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        std::string line = c.in;
        std::string year = "stale";
        EXPECT_EQ(ConvertDosListLine(line, year), 1);
        EXPECT_EQ(line, c.out);
        EXPECT_EQ(year, c.year);
    }
}

}  // namespace
