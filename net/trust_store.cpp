#include "net/trust_store.h"

#include <cerrno>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool EqualNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// True when the text could stand as one field of a line.
bool IsField(const std::string& text)
{
    if (text.empty())
        return false;
    for (char c : text) {
        if (IsBlank(c) || c == '\0')
            return false;
    }
    return true;
}

bool ContainsPair(std::string_view contents, const std::string& fingerprint, const std::string& host)
{
    while (!contents.empty()) {
        std::size_t end = contents.find('\n');
        std::string_view line = contents.substr(0, end);
        contents = end == std::string_view::npos ? std::string_view() : contents.substr(end + 1);

        while (!line.empty() && IsBlank(line.back()))
            line.remove_suffix(1);
        while (!line.empty() && IsBlank(line.front()))
            line.remove_prefix(1);
        std::size_t space = line.find_first_of(" \t");
        if (space == std::string_view::npos)
            continue;
        std::string_view first = line.substr(0, space);
        std::string_view second = line.substr(space + 1);
        while (!second.empty() && IsBlank(second.front()))
            second.remove_prefix(1);
        if (second.find_first_of(" \t") != std::string_view::npos)
            continue;
        if (EqualNoCase(first, fingerprint) && EqualNoCase(second, host))
            return true;
    }
    return false;
}

int LockFile(int fd, int operation)
{
    int result;
    do {
        result = ::flock(fd, operation);
    } while (result != 0 && errno == EINTR);
    return result;
}

bool ReadFrom(int fd, std::string& contents)
{
    contents.clear();
    char buffer[4096];
    off_t offset = 0;
    for (;;) {
        ssize_t n = ::pread(fd, buffer, sizeof buffer, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        contents.append(buffer, static_cast<std::size_t>(n));
        offset += n;
    }
}

bool WriteAll(int fd, const std::string& data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Creates the missing folders above path, each for the user alone.
void MakeParentFolders(const std::string& path)
{
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        std::string folder = path.substr(0, slash);
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
            return;
    }
}

std::string SystemError(const char* what, const std::string& path, int code)
{
    return std::string(what) + " " + path + ": " + std::strerror(code);
}

}  // namespace

bool CTrustStore::IsTrusted(const std::string& fingerprint, const std::string& host) const
{
    if (m_csPath.empty() || !IsField(fingerprint) || !IsField(host))
        return false;
    int fd = ::open(m_csPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::string contents;
    bool read = LockFile(fd, LOCK_SH) == 0 && ReadFrom(fd, contents);
    ::close(fd);
    return read && ContainsPair(contents, fingerprint, host);
}

bool CTrustStore::Add(const std::string& fingerprint, const std::string& host, std::string& error) const
{
    if (m_csPath.empty()) {
        error = "No trust store file is set";
        return false;
    }
    if (!IsField(fingerprint) || !IsField(host)) {
        error = "A fingerprint and a host name without spaces are needed";
        return false;
    }
    MakeParentFolders(m_csPath);
    int fd = ::open(m_csPath.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = SystemError("Cannot open", m_csPath, errno);
        return false;
    }
    if (LockFile(fd, LOCK_EX) != 0) {
        error = SystemError("Cannot lock", m_csPath, errno);
        ::close(fd);
        return false;
    }
    std::string contents;
    if (!ReadFrom(fd, contents)) {
        error = SystemError("Cannot read", m_csPath, errno);
        ::close(fd);
        return false;
    }
    bool stored = true;
    if (!ContainsPair(contents, fingerprint, host)) {
        // A last line without its end (written by hand) must not swallow ours.
        std::string line = (!contents.empty() && contents.back() != '\n') ? "\n" : "";
        line += fingerprint + " " + host + "\n";
        stored = WriteAll(fd, line);
        if (!stored)
            error = SystemError("Cannot write", m_csPath, errno);
    }
    ::close(fd);   // releases the lock
    return stored;
}
