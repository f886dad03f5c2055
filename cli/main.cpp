// korvalo-cli: the program's core without its windows, for the command line.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/cli_session.h"
#include "cli/commands.h"
#include "cli/options.h"
#include "cli/terminal.h"

int main(int argc, char** argv)
{
    std::vector<std::string> arguments(argv + 1, argv + argc);
    cli::CCliOptions options;
    std::string error;
    if (!cli::ParseOptions(arguments, options, error)) {
        std::fprintf(stderr, "korvalo-cli: %s\n%s", error.c_str(), cli::UsageText().c_str());
        return cli::EXIT_USAGE;
    }
    if (options.bHelp) {
        std::fputs(cli::UsageText().c_str(), stdout);
        return cli::EXIT_OK;
    }
    cli::InstallInterruptHandlers();
    std::error_code ignored;
    const std::string current = std::filesystem::current_path(ignored).string();
    const int status = cli::RunCommand(options, current);
    cli::RestoreTerminal();
    std::fflush(stdout);
    std::fflush(stderr);
    // Workers that were told to stop may still be winding down: end without waiting.
    std::_Exit(status);
}
