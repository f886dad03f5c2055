#include "cli/progress_display.h"

#include <cinttypes>

namespace cli {

namespace {

constexpr auto PLAIN_INTERVAL = std::chrono::seconds(1);

std::string Scaled(double value, const char* unit)
{
    char text[48];
    std::snprintf(text, sizeof text, "%.1f %s", value, unit);
    return text;
}

}  // namespace

std::string FormatBytes(std::uint64_t bytes)
{
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes) / 1024.0;
    std::size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < sizeof units / sizeof units[0]) {
        value /= 1024.0;
        ++unit;
    }
    return Scaled(value, units[unit]);
}

std::string FormatRate(std::int64_t bytesPerSecond)
{
    if (bytesPerSecond < 0)
        return "--";
    return FormatBytes(static_cast<std::uint64_t>(bytesPerSecond)) + "/s";
}

std::string FormatEta(std::uint64_t size, std::uint64_t done, std::int64_t bytesPerSecond)
{
    if (bytesPerSecond <= 0 || done > size)
        return "--:--";
    const std::uint64_t seconds = (size - done + static_cast<std::uint64_t>(bytesPerSecond) - 1) /
                                  static_cast<std::uint64_t>(bytesPerSecond);
    char text[48];
    if (seconds >= 3600)
        std::snprintf(text, sizeof text, "%" PRIu64 ":%02" PRIu64 ":%02" PRIu64, seconds / 3600, seconds / 60 % 60,
                      seconds % 60);
    else
        std::snprintf(text, sizeof text, "%" PRIu64 ":%02" PRIu64, seconds / 60, seconds % 60);
    return text;
}

std::string FormatProgressLine(const std::string& name, std::uint64_t done, std::uint64_t size,
                               std::int64_t bytesPerSecond)
{
    const std::uint64_t percent = size == 0 ? 100 : (done >= size ? 100 : done * 100 / size);
    return name + "  " + FormatBytes(done) + " / " + FormatBytes(size) + "  " + std::to_string(percent) + "%  " +
           FormatRate(bytesPerSecond) + "  " + FormatEta(size, done, bytesPerSecond) + " left";
}

CProgressDisplay::CProgressDisplay(std::FILE* out, bool redraw, bool quiet)
    : m_out(out), m_bRedraw(redraw), m_bQuiet(quiet)
{
}

void CProgressDisplay::Progress(const std::string& name, std::uint64_t done, std::uint64_t size,
                                std::int64_t bytesPerSecond)
{
    if (m_bQuiet)
        return;
    const std::string line = FormatProgressLine(name, done, size, bytesPerSecond);
    if (m_bRedraw) {
        std::fprintf(m_out, "\r\033[K%s", line.c_str());
        m_bLineShown = true;
    } else {
        const Clock::time_point now = Clock::now();
        auto last = m_lastPlain.find(name);
        if (last != m_lastPlain.end() && now - last->second < PLAIN_INTERVAL && done < size)
            return;
        m_lastPlain[name] = now;
        std::fprintf(m_out, "%s\n", line.c_str());
    }
    std::fflush(m_out);
}

void CProgressDisplay::Clear()
{
    if (m_bLineShown) {
        std::fprintf(m_out, "\r\033[K");
        std::fflush(m_out);
        m_bLineShown = false;
    }
}

void CProgressDisplay::Line(const std::string& text)
{
    Clear();
    std::fprintf(m_out, "%s\n", text.c_str());
    std::fflush(m_out);
}

}  // namespace cli
