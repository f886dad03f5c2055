#pragma once
// The program's log files and the log window.
//
// Files lie in the logs folder of the running application ("Data/Logs/"). Each line is
// "<text>. TIME=<day>/<month>/<year>   <hour>:<minute>  <second>\r\n" in local time.
// A file over 1000000 bytes is emptied before the next line. Writes are serialised
// across threads ("Logs Mutex") and across running instances (a file lock).

#include <cstdint>
#include <string>

#include "platform/message.h"

class CTransferRecord;

inline constexpr const char* MAIN_LOG_FILE = "Korvalo.log";

// Formats one log line as it is written to a file (cut to 9999 bytes).
std::string FormatLogLine(const std::string& text);

// fileName is relative to the logs folder. True when the line was written.
bool WriteLogLine(const std::string& text, const std::string& fileName);

// A file name that stays inside the logs folder: "/" and NUL become "_", and "", "." and ".."
// get a leading "_".
std::string SafeLogFileName(const std::string& name);

// Writes to the transfer's own log file, csFileName + ".log" (made safe as above).
bool AddTransferLog(const CTransferRecord& record, const std::string& text);

// Shows each complete ("\r\n"-terminated) line of text as a row of the log window.
bool AddToLogWindow(const std::string& text, const std::string& source);

// The log window's list takes one row per message: a LogRowPayload in the sent message.
inline constexpr std::uint32_t LVM_APPEND_LOG_ROW = 0x1000 + 200;

class LogRowPayload : public platform::MessagePayload {
public:
    LogRowPayload(std::string source, std::string text) : m_csSource(std::move(source)), m_csText(std::move(text)) {}
    std::string m_csSource;
    std::string m_csText;
};
