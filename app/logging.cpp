#include "app/logging.h"

#include <ctime>
#include <mutex>

#include "app/vexo_app.h"
#include "platform/named_mutex.h"
#include "platform/system.h"
#include "platform/window_table.h"
#include "transfers/transfer_record.h"

namespace {

constexpr std::size_t LOG_LINE_BUFFER = 10000;
constexpr std::uint64_t LOG_FILE_LIMIT = 1000000;
constexpr std::uint32_t LOG_WINDOW_TIMEOUT_MS = 1000;

// Length of the longest prefix of text[0, limit) that does not split a UTF-8 sequence.
std::size_t Utf8Cut(const std::string& text, std::size_t limit)
{
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return cut;
}

}  // namespace

std::string FormatLogLine(const std::string& text)
{
    int day = 0, month = 0, year = 0, hour = -1, minute = -1, second = -1;
    std::time_t now = std::time(nullptr);
    std::tm local {};
    if (localtime_r(&now, &local)) {
        day = local.tm_mday;
        month = local.tm_mon + 1;
        year = local.tm_year + 1900;
        hour = local.tm_hour;
        minute = local.tm_min;
        second = local.tm_sec;
    }
    char stamp[96];
    std::snprintf(stamp, sizeof stamp, ". TIME=%i/%i/%i   %i:%i  %i\r\n", day, month, year, hour, minute, second);
    std::string line = text + stamp;
    if (line.size() > LOG_LINE_BUFFER - 1) {
        // An over-long line is cut, but keeps its line end so the file stays line by line.
        line.resize(Utf8Cut(line, LOG_LINE_BUFFER - 3));
        line += "\r\n";
    }
    return line;
}

bool WriteLogLine(const std::string& text, const std::string& fileName)
{
    CVexoApp* app = GetApp();
    if (!app || app->m_csLogsDir.empty())
        return false;
    platform::NamedMutex logs("Logs Mutex");
    std::lock_guard lock(logs);
    std::string line = FormatLogLine(text);
    return platform::AppendToFileWithLimit(app->m_csLogsDir + fileName, line, LOG_FILE_LIMIT);
}

bool AddTransferLog(const CTransferRecord& record, const std::string& text)
{
    return WriteLogLine(text, SafeLogFileName(record.csFileName) + ".log");
}

bool AddToLogWindow(const std::string& text, const std::string& source)
{
    CVexoApp* app = GetApp();
    if (!app || !platform::IsWindow(app->m_hwndLogWindow))
        return false;
    platform::NamedMutex protect("ProtectFindResult");
    std::lock_guard lock(protect);
    if (app->m_bClosing || !platform::IsWindow(app->m_hwndLogWindow))
        return false;
    if (text.find("\r\n") == std::string::npos)
        return false;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        platform::Message msg;
        msg.message = LVM_APPEND_LOG_ROW;
        msg.payload = std::make_unique<LogRowPayload>(source, text.substr(start, end - start));
        if (!platform::SendMessageTimeout(app->m_hwndLogWindow, msg, LOG_WINDOW_TIMEOUT_MS))
            break;
    }
    return true;
}

std::string SafeLogFileName(const std::string& name)
{
    std::string safe;
    for (char c : name)
        safe += (c == '/' || c == '\0') ? '_' : c;
    if (safe.empty() || safe == "." || safe == "..")
        safe = "_" + safe;
    return safe;
}
