#include "platform/file_system.h"

#include <mntent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "platform/system.h"

namespace platform {

namespace {

std::uint64_t SizeKb(const std::string& path)
{
    struct statvfs info {};
    if (::statvfs(path.c_str(), &info) != 0)
        return 0;
    return static_cast<std::uint64_t>(info.f_blocks) * info.f_frsize / 1024;
}

}  // namespace

std::vector<MountedFileSystem> MountedFileSystems()
{
    std::vector<MountedFileSystem> result;
    if (FILE* mounts = ::setmntent("/proc/self/mounts", "r")) {
        while (mntent* entry = ::getmntent(mounts)) {
            const std::string device = entry->mnt_fsname;
            if (device.rfind("/dev/", 0) != 0 || device.rfind("/dev/loop", 0) == 0)
                continue;
            bool seen = false;
            for (const MountedFileSystem& known : result)
                seen = seen || known.csMountPoint == entry->mnt_dir;
            if (!seen)
                result.push_back({entry->mnt_dir, SizeKb(entry->mnt_dir)});
        }
        ::endmntent(mounts);
    }
    if (const char* home = std::getenv("HOME"); home && home[0] == '/')
        result.push_back({home, SizeKb(home)});
    return result;
}

namespace {

// Percent-encodes a path for the Path= line of a .trashinfo file.
std::string EncodeTrashPath(const std::string& path)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// Moves one file or folder into the home Trash ($XDG_DATA_HOME/Trash) as the freedesktop
// Trash specification describes: the item under files/, its origin in info/*.trashinfo.
bool MoveOneToTrash(const std::string& path)
{
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path absolute = fs::absolute(path, error);
    if (error || !fs::exists(fs::symlink_status(absolute, error)))
        return false;
    const fs::path trash = fs::path(DataHome()) / "Trash";
    fs::create_directories(trash / "files", error);
    fs::create_directories(trash / "info", error);
    const std::string base = absolute.filename().string();
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const std::string name = attempt == 0 ? base : base + "." + std::to_string(attempt);
        const fs::path info = trash / "info" / (name + ".trashinfo");
        // O_EXCL claims the name, so two deleters never pick the same one.
        int fd = ::open(info.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return false;
        }
        char date[32];
        std::time_t now = std::time(nullptr);
        std::tm local {};
        localtime_r(&now, &local);
        std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
        const std::string text = "[Trash Info]\nPath=" + EncodeTrashPath(absolute.string()) + "\nDeletionDate=" + date + "\n";
        const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        ::close(fd);
        if (written && ::rename(absolute.c_str(), (trash / "files" / name).c_str()) == 0)
            return true;
        ::unlink(info.c_str());
        return false;
    }
    return false;
}

}  // namespace

bool MoveToTrash(const std::vector<std::string>& paths)
{
    bool all = true;
    for (const std::string& path : paths)
        all = MoveOneToTrash(path) && all;
    return all;
}

FolderWatcher::FolderWatcher(std::function<void()> onChange) : m_onChange(std::move(onChange))
{
    m_inotify = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    m_wakeup = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_inotify >= 0 && m_wakeup >= 0)
        m_thread = std::thread([this] { Run(); });
}

FolderWatcher::~FolderWatcher()
{
    if (m_thread.joinable()) {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t ignored = ::write(m_wakeup, &one, sizeof one);
        m_thread.join();
    }
    if (m_inotify >= 0)
        ::close(m_inotify);
    if (m_wakeup >= 0)
        ::close(m_wakeup);
}

void FolderWatcher::Watch(const std::string& folder)
{
    std::lock_guard lock(m_mutex);
    if (m_inotify < 0)
        return;
    if (m_watch >= 0)
        ::inotify_rm_watch(m_inotify, m_watch);
    m_watch = folder.empty() ? -1
                             : ::inotify_add_watch(m_inotify, folder.c_str(),
                                                   IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                                       IN_CLOSE_WRITE | IN_ONLYDIR);
}

void FolderWatcher::Run()
{
    alignas(inotify_event) char buffer[16384];
    for (;;) {
        pollfd entries[2] = {{m_inotify, POLLIN, 0}, {m_wakeup, POLLIN, 0}};
        if (::poll(entries, 2, -1) < 0)
            continue;
        if (entries[1].revents)
            return;
        bool changed = false;
        for (;;) {
            ssize_t n = ::read(m_inotify, buffer, sizeof buffer);
            if (n <= 0)
                break;
            for (char* at = buffer; at < buffer + n;) {
                auto* event = reinterpret_cast<inotify_event*>(at);
                changed = changed || !(event->mask & IN_IGNORED);
                at += sizeof(inotify_event) + event->len;
            }
        }
        if (changed && m_onChange)
            m_onChange();
    }
}

}  // namespace platform
