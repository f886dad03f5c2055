#include "platform/system.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

extern char** environ;

namespace platform {

namespace {

std::string Home()
{
    const char* home = std::getenv("HOME");
    return home ? home : "";
}

std::string EnvFolder(const char* name, const char* fallbackBelowHome)
{
    const char* value = std::getenv(name);
    if (value && value[0] == '/')
        return value;
    std::string home = Home();
    return home.empty() ? std::string() : home + "/" + fallbackBelowHome;
}

}  // namespace

std::string ExecutablePath()
{
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : path.string();
}

std::string ConfigHome() { return EnvFolder("XDG_CONFIG_HOME", ".config"); }
std::string DataHome() { return EnvFolder("XDG_DATA_HOME", ".local/share"); }

std::string DocumentsFolder()
{
    // user-dirs.dirs holds lines such as XDG_DOCUMENTS_DIR="$HOME/Documents"
    std::ifstream dirs(ConfigHome() + "/user-dirs.dirs");
    std::string line;
    const std::string key = "XDG_DOCUMENTS_DIR=";
    while (std::getline(dirs, line)) {
        if (line.compare(0, key.size(), key) != 0)
            continue;
        std::string value = line.substr(key.size());
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (value.compare(0, 5, "$HOME") == 0)
            value = Home() + value.substr(5);
        if (!value.empty() && value.front() == '/')
            return value;
    }
    std::string fallback = Home() + "/Documents";
    std::error_code error;
    return std::filesystem::is_directory(fallback, error) ? fallback : std::string();
}

bool MakeFolder(const std::string& path)
{
    std::error_code error;
    std::filesystem::create_directories(path, error);
    return std::filesystem::is_directory(path, error);
}

bool IsWritableFolder(const std::string& path)
{
    return ::access(path.c_str(), W_OK | X_OK) == 0;
}

bool SetCurrentFolder(const std::string& path) { return ::chdir(path.c_str()) == 0; }

std::uint64_t FileTimeNow()
{
    // 100-ns units between 1601-01-01 and 1970-01-01.
    constexpr std::uint64_t unixEpochAsFileTime = 116444736000000000ULL;
    auto sinceUnixEpoch = std::chrono::system_clock::now().time_since_epoch();
    auto units = std::chrono::duration_cast<std::chrono::nanoseconds>(sinceUnixEpoch).count() / 100;
    return unixEpochAsFileTime + static_cast<std::uint64_t>(units);
}

std::vector<std::uint8_t> FileTimeToBytes(std::uint64_t fileTime)
{
    std::vector<std::uint8_t> bytes(8);
    for (int i = 0; i < 8; ++i)
        bytes[i] = static_cast<std::uint8_t>(fileTime >> (8 * i));
    return bytes;
}

bool FileTimeFromBytes(const std::vector<std::uint8_t>& bytes, std::uint64_t& fileTime)
{
    if (bytes.size() != 8)
        return false;
    fileTime = 0;
    for (int i = 0; i < 8; ++i)
        fileTime |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
    return true;
}

bool StartProcess(const std::string& program, const std::vector<std::string>& arguments,
                  const std::string& workingFolder)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!workingFolder.empty())
        posix_spawn_file_actions_addchdir_np(&actions, workingFolder.c_str());
    pid_t pid = 0;
    int error = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return error == 0;
}

bool AppendToFileWithLimit(const std::string& path, const std::string& data, std::uint64_t sizeLimit)
{
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool written = ::flock(fd, LOCK_EX) == 0;
    struct stat info {};
    if (written && ::fstat(fd, &info) == 0 && static_cast<std::uint64_t>(info.st_size) > sizeLimit)
        written = ::ftruncate(fd, 0) == 0;
    std::size_t done = 0;
    while (written && done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            written = false;
        else
            done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return written;
}

}  // namespace platform
