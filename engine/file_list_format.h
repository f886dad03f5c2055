#pragma once
// The file list line: the one text form in which every folder listing travels (server
// listings, local folders, search results), and the parser that turns such a line into a
// listing entry.
//
// A line is blank-separated fields ending in CR LF:
//
//   attributes protocol index links owner [group] size month day time-or-year name
//
// for example "-rw-r--r-- FTP 0 1 owner group 1024 Jan 5 12:30 my file.txt\r\n". The name
// is the rest of the line, blanks included; a link's name is "name -> target".
//
// The functions read only the texts they are given and share no state between threads
// (the current year is looked up from the clock), so any thread may call them.

#include <cstdint>
#include <string>
#include <string_view>

#include "transfers/transfer_record.h"

// Reads a number the way every listing and reply field is read: leading white space is
// skipped, one optional "+" or "-" is taken, then decimal digits are accumulated up to the
// first other character, modulo 2^32, and the result is read as a signed 32-bit number.
// A text without digits gives 0: DecimalValue("  -12x") is -12, DecimalValue("4294967297")
// is 1, DecimalValue("3000000000") is -1294967296.
std::int32_t DecimalValue(std::string_view text);

// The same rule with 64-bit accumulation (modulo 2^64, read as signed 64-bit). Used for
// sizes, so that "5368709120" is 5368709120.
std::int64_t DecimalValue64(std::string_view text);

// Builds the date text "DD.MM.YYYY time" of a listing entry, for example
// "05.01.2004 12:30". The day gets a leading "0" when it is one character long (in the
// text only). A month that begins with a letter is upper-cased in place and a three-letter
// month name ("Jan" ... "Dec", any case) becomes "01" ... "12"; other words stay upper-cased;
// a numeric month is left alone. An empty year becomes the current local year in place.
std::string FormatListDate(std::string& month, std::string_view day, std::string& year,
                           std::string_view time);

// Rewrites an MS-DOS style server line ("01-25-04  10:30PM  <DIR>  Folder\r\n") in place into
// a list line without the protocol column ("d 0 0 0 0 01 25 22:30 Folder\r\n") and sets year
// to its four-digit year; two-digit years below 70 are 20xx, the others 19xx. "PM" adds 12 to
// hours other than 12; "12" with "AM" is hour 00 (midnight); other "AM" hours stay as written.
// A line that begins with a letter or "-" (Unix long form, "total ...") is left unchanged and
// year becomes empty; so is a line that lacks the date, time, size-or-"<DIR>" and name
// fields, which then fails to parse. Always returns 1.
int ConvertDosListLine(std::string& line, std::string& year);

// Parses one list line and appends the entry it describes to listing. Returns 1 when an
// entry was appended, 0 when the line was skipped; a skipped line leaves listing unchanged.
//
// user, password, address, folder and exBlock are copied into the entry (csUserSource,
// csPasswordSource, csAddress, csFolder, csExBlock). defaultYear is used when the line
// gives a time instead of a year (empty: the current year), defaultTime when it gives a
// year instead of a time.
//
// Without a group column the group is " ". Such a line is recognised by its field count,
// so a group-less line whose name holds a blank is read with the fields shifted by one;
// names with blanks are exact only when the group column is present.
//
// Sizes are 64-bit ("3000000000" is 3000000000); a negative size reads as 0.
//
// Skipped lines:
//  - too few fields (the parser needs the four fields after the size); nothing beyond
//    the line's own text is read;
//  - the "." entry of a folder (the name field is exactly ".");
//  - an empty name (nothing but blanks after the time-or-year field).
//
// Names are kept as listed, including "..", which is the parent entry the panes rely on,
// and names holding "/" or NUL bytes. Such a name must never be used to build a local
// path: check it with IsSafeEntryName first. The same holds for m_csLinkTarget, which is
// the server's text and may be absolute or climb out of the folder.
int ParseListLine(const std::string& user, const std::string& password, CTransferRecordArray& listing,
                  const std::string& address, const std::string& folder, std::string_view line,
                  const std::string& exBlock, const std::string& defaultYear,
                  const std::string& defaultTime);

// True when name can be used as one component of a local path inside a chosen folder:
// it is not empty, not "." or "..", and holds no "/" and no NUL byte. Everything else,
// blanks, UTF-8, backslashes and leading dots included, is an ordinary Linux file name.
bool IsSafeEntryName(const std::string& name);
