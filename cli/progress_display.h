#pragma once
// What the tool shows while transfers run. On a terminal one line is redrawn in place
// (name, bytes, percent, rate, time left); elsewhere plain lines, at most one per
// transfer and interval, so a log stays readable.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

namespace cli {

// 1536 -> "1.5 KiB"; below 1024 bytes "N B".
std::string FormatBytes(std::uint64_t bytes);
// Bytes per second as "1.5 MiB/s"; a negative rate (not measured yet) as "--".
std::string FormatRate(std::int64_t bytesPerSecond);
// Seconds as "H:MM:SS" (or "M:SS" below an hour); "--:--" when it cannot be told.
std::string FormatEta(std::uint64_t size, std::uint64_t done, std::int64_t bytesPerSecond);
// "name  1.5 MiB / 3.0 MiB  50%  1.5 MiB/s  0:01 left"
std::string FormatProgressLine(const std::string& name, std::uint64_t done, std::uint64_t size,
                               std::int64_t bytesPerSecond);

class CProgressDisplay {
public:
    // redraw: a terminal (the line is rewritten); quiet: no progress at all, only results.
    CProgressDisplay(std::FILE* out, bool redraw, bool quiet);
    void Progress(const std::string& name, std::uint64_t done, std::uint64_t size, std::int64_t bytesPerSecond);
    // A line that stays (a transfer's end, a message).
    void Line(const std::string& text);
    // Clears a redrawn line.
    void Clear();

private:
    using Clock = std::chrono::steady_clock;
    std::FILE* m_out;
    bool m_bRedraw;
    bool m_bQuiet;
    bool m_bLineShown = false;
    std::map<std::string, Clock::time_point> m_lastPlain;
};

}  // namespace cli
