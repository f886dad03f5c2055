#pragma once
// Folders, time and processes of the operating system.

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Full path of the running program file.
std::string ExecutablePath();

// $XDG_CONFIG_HOME, $XDG_DATA_HOME (defaults ~/.config, ~/.local/share) and the user's
// documents folder (XDG_DOCUMENTS_DIR of user-dirs.dirs, else ~/Documents when it exists);
// all without a trailing slash, empty when nothing can be found.
std::string ConfigHome();
std::string DataHome();
std::string DocumentsFolder();

bool MakeFolder(const std::string& path);             // true when it exists afterwards
bool IsWritableFolder(const std::string& path);
bool SetCurrentFolder(const std::string& path);

// Time in 100-ns units since 1601-01-01 UTC.
std::uint64_t FileTimeNow();
std::vector<std::uint8_t> FileTimeToBytes(std::uint64_t fileTime);   // 8 bytes, little-endian
bool FileTimeFromBytes(const std::vector<std::uint8_t>& bytes, std::uint64_t& fileTime);

// Starts a program with its arguments in the given folder; false when it could not start.
bool StartProcess(const std::string& program, const std::vector<std::string>& arguments,
                  const std::string& workingFolder);

// Appends data to a file under an exclusive file lock, shared by threads and processes.
// A file longer than sizeLimit bytes is emptied first. False when it cannot be opened.
bool AppendToFileWithLimit(const std::string& path, const std::string& data, std::uint64_t sizeLimit);

}  // namespace platform
