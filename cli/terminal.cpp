#include "cli/terminal.h"

#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

namespace cli {

namespace {

struct termios g_saved {};
volatile std::sig_atomic_t g_echoOff = 0;

void WriteError(const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

bool CanAsk() { return ::isatty(STDIN_FILENO) == 1 && ::isatty(STDERR_FILENO) == 1; }

bool ErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

void RestoreTerminal()
{
    if (g_echoOff) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
        g_echoOff = 0;
    }
}

bool ReadLine(const std::string& prompt, std::string& line, bool hidden)
{
    line.clear();
    WriteError(prompt);
    if (hidden && ::isatty(STDIN_FILENO) == 1 && ::tcgetattr(STDIN_FILENO, &g_saved) == 0) {
        struct termios quiet = g_saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~(ECHO | ECHONL));
        quiet.c_lflag |= ICANON;
        if (::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0)
            g_echoOff = 1;
    }
    bool ended = false;
    for (;;) {
        char c = 0;
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n <= 0) {
            ended = line.empty();
            break;
        }
        if (c == '\n')
            break;
        if (c != '\r')
            line += c;
    }
    if (g_echoOff) {
        RestoreTerminal();
        WriteError("\n");
    }
    return !ended;
}

}  // namespace cli
