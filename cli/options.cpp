#include "cli/options.h"

#include <map>
#include <utility>

namespace cli {

namespace {

// Smallest and largest number of arguments of each command.
const std::map<std::string, std::pair<std::size_t, std::size_t>>& Commands()
{
    static const std::map<std::string, std::pair<std::size_t, std::size_t>> commands = {
        {"ls", {1, 1}}, {"get", {1, 2}}, {"put", {2, 2}}, {"copy", {2, 2}}, {"list", {0, 0}}, {"resume", {0, 0}},
    };
    return commands;
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& arguments, CCliOptions& options, std::string& error)
{
    options = CCliOptions();
    bool onlyArguments = false;
    std::vector<std::string> words;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        if (onlyArguments || word.empty() || word[0] != '-' || word == "-") {
            words.push_back(word);
        } else if (word == "--") {
            onlyArguments = true;
        } else if (word == "-h" || word == "--help") {
            options.bHelp = true;
        } else if (word == "-q" || word == "--quiet") {
            options.bQuiet = true;
        } else if (word == "--ca-file" || word.rfind("--ca-file=", 0) == 0) {
            std::string file;
            if (word == "--ca-file") {
                if (i + 1 >= arguments.size()) {
                    error = "--ca-file needs a file";
                    return false;
                }
                file = arguments[++i];
            } else {
                file = word.substr(10);
            }
            if (file.empty()) {
                error = "--ca-file needs a file";
                return false;
            }
            options.aCaFiles.push_back(file);
        } else {
            error = "unknown option " + word;
            return false;
        }
    }
    if (options.bHelp)
        return true;
    if (words.empty()) {
        error = "no command given";
        return false;
    }
    options.csCommand = words[0];
    options.aArguments.assign(words.begin() + 1, words.end());
    const auto command = Commands().find(options.csCommand);
    if (command == Commands().end()) {
        error = "unknown command " + options.csCommand;
        return false;
    }
    const auto [least, most] = command->second;
    if (options.aArguments.size() < least || options.aArguments.size() > most) {
        error = "wrong number of arguments for " + options.csCommand;
        return false;
    }
    return true;
}

std::string UsageText()
{
    return "Usage: korvalo-cli [options] COMMAND [ARGUMENTS]\n"
           "\n"
           "Commands:\n"
           "  ls URL               list a folder on an FTP or FTPS server\n"
           "  get URL [LOCAL]      download a file or folder (into LOCAL, a folder, or the current one)\n"
           "  put LOCAL URL        upload a file or folder into the folder URL names\n"
           "  copy SRC DST         copy a file or folder; each side local, ftp:// or ftps://\n"
           "  list                 show the stored transfers with their state and progress\n"
           "  resume               start every unfinished stored transfer again\n"
           "\n"
           "URLs: ftp://[USER[:PASSWORD]@]HOST[:PORT]/PATH, ftps:// for FTP over explicit TLS.\n"
           "Without a user the login is anonymous; a missing password is asked for at the terminal.\n"
           "\n"
           "Options:\n"
           "  --ca-file FILE       trust the certificate authorities in FILE (PEM) for this run\n"
           "  -q, --quiet          no progress display\n"
           "  -h, --help           this text\n"
           "\n"
           "A certificate that fails its checks is shown at the terminal and trusted once or\n"
           "always; without a terminal the connection fails. Transfers are stored like the\n"
           "program's: an interrupted command resumes from the stored offset when run again.\n"
           "Data and logs live beside the program (or in $XDG_DATA_HOME/Korvalo when that\n"
           "folder is not writable), settings in $XDG_CONFIG_HOME/Korvalo; KORVALO_HOME names\n"
           "another data folder.\n"
           "\n"
           "Exit status: 0 when every transfer completed, 1 when one failed or an error\n"
           "occurred, 2 for a wrong command line, 130 when interrupted.\n";
}

}  // namespace cli
