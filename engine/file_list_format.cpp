#include "engine/file_list_format.h"

#include <array>
#include <ctime>
#include <utility>

namespace {

constexpr std::size_t npos = std::string_view::npos;

constexpr bool IsWhite(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}
constexpr bool IsDigit(char c) { return c >= '0' && c <= '9'; }
// ASCII only: bytes of UTF-8 sequences are never letters here.
constexpr bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
constexpr char ToUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::string UpperCopy(std::string_view text)
{
    std::string upper(text);
    for (char& c : upper)
        c = ToUpper(c);
    return upper;
}

std::string_view TrimLeft(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && IsWhite(text[i]))
        ++i;
    return text.substr(i);
}

// Moves the text before the next blank into field and leaves text after that blank, with
// leading white space removed. Without a blank nothing changes and the result is false.
bool TakeField(std::string_view& text, std::string_view& field)
{
    const std::size_t blank = text.find(' ');
    if (blank == npos)
        return false;
    field = text.substr(0, blank);
    text = TrimLeft(text.substr(blank + 1));
    return true;
}

template <typename Unsigned>
Unsigned AccumulateDecimal(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && IsWhite(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Unsigned arithmetic wraps modulo 2^N, which is the rule; signed overflow would not.
    Unsigned value = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i)
        value = static_cast<Unsigned>(value * 10u + static_cast<Unsigned>(text[i] - '0'));
    return negative ? static_cast<Unsigned>(Unsigned{0} - value) : value;
}

std::string CurrentLocalYear()
{
    // Looked up at most once a second per thread: a listing asks for every line that
    // carries a time, and localtime_r is far dearer than the rest of a line.
    thread_local std::time_t cachedAt = -1;
    thread_local std::string cachedYear;
    const std::time_t now = std::time(nullptr);
    if (now != cachedAt || cachedYear.empty()) {
        std::tm local{};
        cachedYear = localtime_r(&now, &local) ? std::to_string(local.tm_year + 1900) : "1970";
        cachedAt = now;
    }
    return cachedYear;
}

}  // namespace

std::int32_t DecimalValue(std::string_view text)
{
    return static_cast<std::int32_t>(AccumulateDecimal<std::uint32_t>(text));
}

std::int64_t DecimalValue64(std::string_view text)
{
    return static_cast<std::int64_t>(AccumulateDecimal<std::uint64_t>(text));
}

std::string FormatListDate(std::string& month, std::string_view day, std::string& year,
                           std::string_view time)
{
    if (!month.empty() && IsLetter(month[0])) {
        for (char& c : month)
            c = ToUpper(c);
        static constexpr std::array<std::string_view, 12> kMonths = {
            "JAN", "FEB", "MAR", "APR", "MAY", "JUN", "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
        for (std::size_t i = 0; i < kMonths.size(); ++i) {
            if (month == kMonths[i]) {
                const int number = static_cast<int>(i) + 1;
                month = {static_cast<char>('0' + number / 10), static_cast<char>('0' + number % 10)};
                break;
            }
        }
    }
    if (year.empty())
        year = CurrentLocalYear();

    std::string text;
    text.reserve(day.size() + month.size() + year.size() + time.size() + 4);
    if (day.size() == 1)
        text += '0';
    text += day;
    text += '.';
    text += month;
    text += '.';
    text += year;
    text += ' ';
    text += time;
    return text;
}

int ConvertDosListLine(std::string& line, std::string& year)
{
    year.clear();
    if (!line.empty() && (IsLetter(line[0]) || line[0] == '-'))
        return 1;

    std::string_view work(line);
    work = work.substr(0, work.find('\r'));
    std::string_view date, time, third;
    if (!TakeField(work, date) || !TakeField(work, time) || !TakeField(work, third))
        return 1;
    const std::string_view name = work;

    std::string attributes;
    std::string_view size;
    std::string upperThird;
    if (!third.empty() && third[0] == '<') {
        upperThird = UpperCopy(third);
        attributes = upperThird == "<DIR>" ? "d" : upperThird;
        size = "0";
    } else {
        attributes = "-";
        size = third;
    }

    // "MM-DD-YY", "MM-DD-YYYY", or the same with dots.
    char separator = '-';
    std::size_t first = date.find(separator);
    if (first == npos) {
        separator = '.';
        first = date.find(separator);
    }
    std::string_view month = date, day, yearText;
    if (first != npos) {
        month = date.substr(0, first);
        const std::string_view rest = date.substr(first + 1);
        const std::size_t second = rest.find(separator);
        day = rest.substr(0, second);
        if (second != npos)
            yearText = rest.substr(second + 1);
    }
    if (yearText.size() < 4) {
        const std::int32_t y = DecimalValue(yearText);
        // Two-digit years from 70 on are 19xx, the rest 20xx (the common convention).
        year = std::to_string(static_cast<std::int64_t>(y) + (y < 70 ? 2000 : 1900));
    } else {
        year = yearText;
    }

    const std::size_t colon = time.find(':');
    std::string hour(time.substr(0, colon));
    const std::string_view minute = colon == npos ? std::string_view() : time.substr(colon + 1, 2);
    const std::string upperTime = UpperCopy(time);
    if (upperTime.find("PM") != npos) {
        const std::int32_t h = DecimalValue(hour);
        if (h != 12)
            hour = std::to_string(static_cast<std::int64_t>(h) + 12);
    } else if (upperTime.find("AM") != npos && DecimalValue(hour) == 12) {
        hour = "00";   // 12:05AM is five past midnight
    }

    std::string converted;
    converted.reserve(attributes.size() + size.size() + month.size() + day.size() + hour.size() +
                      minute.size() + name.size() + 16);
    converted += attributes;
    converted += " 0 0 0 ";
    converted += size;
    converted += ' ';
    converted += month;
    converted += ' ';
    converted += day;
    converted += ' ';
    converted += hour;
    converted += ':';
    converted += minute;
    converted += ' ';
    converted += name;
    converted += "\r\n";
    line = std::move(converted);
    return 1;
}

int ParseListLine(const std::string& user, const std::string& password, CTransferRecordArray& listing,
                  const std::string& address, const std::string& folder, std::string_view line,
                  const std::string& exBlock, const std::string& defaultYear,
                  const std::string& defaultTime)
{
    // Everything below reads only this view: the line up to its first CR LF.
    std::string_view work = line.substr(0, line.find("\r\n"));

    std::string_view attributes, protocol;
    if (!TakeField(work, attributes) || !TakeField(work, protocol))
        return 0;

    // At most nine fields; the ninth is the rest of the line, blanks included. A link
    // without a group column is caught by its "->": "lib -> usr/lib" stays one field.
    std::array<std::string_view, 9> fields;
    std::size_t count = 0;
    std::string joinedLink;
    bool ended = false;
    while (count < 8) {
        const std::size_t blank = work.find(' ');
        if (blank == npos) {
            fields[count++] = work;
            ended = true;
            break;
        }
        fields[count++] = work.substr(0, blank);
        work = TrimLeft(work.substr(blank + 1));
        if (work.starts_with("->")) {
            joinedLink.reserve(fields[count - 1].size() + 1 + work.size());
            joinedLink.append(fields[count - 1]).append(1, ' ').append(work);
            fields[count - 1] = joinedLink;
            ended = true;
            break;
        }
    }
    if (!ended)
        fields[count++] = work;
    if (count < 8)
        return 0;

    const bool hasGroup = count == 9;
    const std::size_t sizeIndex = hasGroup ? 4 : 3;
    const std::string_view timeOrYear = fields[sizeIndex + 3];
    std::string_view name = fields[sizeIndex + 4];
    std::string_view linkTarget;
    if (!attributes.empty() && ToUpper(attributes[0]) == 'L') {
        const std::size_t arrow = name.find(" -> ");
        if (arrow != npos) {
            linkTarget = name.substr(arrow + 4);
            name = name.substr(0, arrow);
        }
    }
    if (name.empty() || name == ".")
        return 0;

    std::string month(fields[sizeIndex + 1]);
    const std::string_view day = fields[sizeIndex + 2];
    const bool givesTime = timeOrYear.find(':') != npos;
    std::string year = givesTime ? defaultYear : std::string(timeOrYear);
    const std::string_view time = givesTime ? timeOrYear : std::string_view(defaultTime);

    CTransferRecord record;
    record.csModified = FormatListDate(month, day, year, time);
    record.FtpAttributes = attributes;
    record.csFileName = name;
    record.m_csLinkTarget = linkTarget;
    record.m_csOwner = fields[2];
    record.m_csGroup = hasGroup ? fields[3] : std::string_view(" ");
    const std::int64_t size = DecimalValue64(fields[sizeIndex]);
    record.qwFileSize = size < 0 ? 0 : static_cast<std::uint64_t>(size);
    record.csAddress = address;
    record.csFolder = folder;
    record.csProtocol = protocol;
    record.dwFileIndex = DecimalValue(fields[0]);
    record.csExBlock = exBlock;
    record.csUserSource = user;
    record.csPasswordSource = password;
    record.nDay = DecimalValue(day);
    record.nMonth = DecimalValue(month);
    record.nYar = DecimalValue(year);
    const std::size_t colon = time.find(':');
    if (colon != npos) {
        record.nHour = DecimalValue(time.substr(0, colon));
        record.nMin = DecimalValue(time.substr(colon + 1));
    } else {
        record.nHour = DecimalValue(time);
        record.nMin = 0;
    }

    listing.Add(std::move(record));
    return 1;
}

bool IsSafeEntryName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == npos &&
           name.find('\0') == npos;
}
