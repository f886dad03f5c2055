#pragma once
// The commands of korvalo-cli. Each returns the process exit status.

#include <string>

#include "cli/options.h"

namespace cli {

inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;
inline constexpr int EXIT_INTERRUPTED = 130;

// currentFolder: where relative local paths start (read before the application changes
// the current folder to its working folder).
int RunCommand(const CCliOptions& options, const std::string& currentFolder);

}  // namespace cli
