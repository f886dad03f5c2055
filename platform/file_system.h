#pragma once
// Local file-system services: the mounted file systems, the freedesktop Trash, and a
// watcher that reports changes of one folder.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace platform {

struct MountedFileSystem {
    std::string csMountPoint;
    std::uint64_t qwSizeKb = 0;   // total size; 0 when it cannot be read
};

// The mounted file systems that hold files (backed by a device), then the home folder.
std::vector<MountedFileSystem> MountedFileSystems();

// Moves each path to the user's Trash ($XDG_DATA_HOME/Trash); true when all of them went.
// An item on another file system than the Trash is left in place (false).
bool MoveToTrash(const std::vector<std::string>& paths);

// Calls onChange (on the watcher's own thread) whenever an entry of the watched folder
// is created, deleted, renamed or written. Watch("") watches nothing.
class FolderWatcher {
public:
    explicit FolderWatcher(std::function<void()> onChange);
    ~FolderWatcher();
    FolderWatcher(const FolderWatcher&) = delete;
    FolderWatcher& operator=(const FolderWatcher&) = delete;
    void Watch(const std::string& folder);

private:
    void Run();

    std::function<void()> m_onChange;
    int m_inotify = -1;
    int m_wakeup = -1;
    int m_watch = -1;
    std::mutex m_mutex;
    std::thread m_thread;
};

}  // namespace platform
