#pragma once
// The terminal the tool was started from: whether there is one to ask, lines typed at
// it (a password without echo), and the terminal state put back when the tool is
// interrupted in the middle of a hidden read.

#include <string>

namespace cli {

// True when questions can be asked: standard input and standard error are terminals.
bool CanAsk();
// True when standard error is a terminal (the progress line is redrawn in place).
bool ErrorIsTerminal();

// Writes the prompt to standard error and reads one line from standard input (without
// its line end). hidden: the typed characters are not echoed. False at the end of input.
bool ReadLine(const std::string& prompt, std::string& line, bool hidden = false);

// Puts the terminal back as it was before a hidden read; safe in a signal handler.
void RestoreTerminal();

}  // namespace cli
