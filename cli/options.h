#pragma once
// The command line of korvalo-cli: one command, its arguments, and the options that may
// stand anywhere before "--".

#include <string>
#include <vector>

namespace cli {

struct CCliOptions {
    std::string csCommand;                 // ls, get, put, copy, list, resume; empty with --help
    std::vector<std::string> aArguments;
    std::vector<std::string> aCaFiles;     // --ca-file FILE (repeatable)
    bool bHelp = false;
    bool bQuiet = false;                   // -q: no progress display
};

// False with error set for an unknown option or command, or a wrong number of arguments.
bool ParseOptions(const std::vector<std::string>& arguments, CCliOptions& options, std::string& error);

// The text of --help.
std::string UsageText();

}  // namespace cli
