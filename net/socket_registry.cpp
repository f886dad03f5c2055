#include "net/socket_registry.h"

#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <unordered_map>

#include "app/logging.h"
#include "platform/named_mutex.h"

namespace {

struct CSocketEntry {
    bool bShutDown = false;
    bool bClosed = false;
    int nShutdownMode = SD_BOTH;
};

std::unordered_map<SOCKET, CSocketEntry>& Entries()
{
    static auto* entries = new std::unordered_map<SOCKET, CSocketEntry>;   // used until the process ends
    return *entries;
}

int ToSystemMode(int mode)
{
    return mode == SD_RECEIVE ? SHUT_RD : mode == SD_SEND ? SHUT_WR : SHUT_RDWR;
}

}  // namespace

SOCKET CreateSocket(int family, int type, int protocol)
{
    platform::NamedMutex endThread("EndThread");
    std::lock_guard lock(endThread);
    static std::uint32_t generation = 0;
    int fd = ::socket(family, type | SOCK_CLOEXEC, protocol);
    if (fd < 0)
        return INVALID_SOCKET;
    // A descriptor the system reused replaces the entry of its old key.
    for (auto it = Entries().begin(); it != Entries().end();)
        it = SocketFd(it->first) == fd ? Entries().erase(it) : std::next(it);
    const SOCKET socket = (static_cast<SOCKET>(++generation & 0x7FFFFFFF) << 32) | static_cast<std::uint32_t>(fd);
    Entries()[socket] = CSocketEntry();
    return socket;
}

int ShutdownSocket(SOCKET socket, int mode)
{
    platform::NamedMutex endThread("EndThread");
    std::lock_guard lock(endThread);
    auto it = Entries().find(socket);
    if (it == Entries().end())
        return -1;
    CSocketEntry& entry = it->second;
    if (entry.bShutDown)
        return 0;
    if (entry.bClosed) {
        entry.bShutDown = true;
        entry.nShutdownMode = SD_BOTH;
        return 0;
    }
    int result = ::shutdown(SocketFd(socket), ToSystemMode(mode));
    if (result == 0) {
        entry.bShutDown = true;
        entry.nShutdownMode = mode;
    }
    return result == 0 ? 0 : -1;
}

int CloseSocket(SOCKET socket)
{
    platform::NamedMutex endThread("EndThread");
    std::lock_guard lock(endThread);
    auto it = Entries().find(socket);
    if (it == Entries().end())
        return -1;
    int result = 0;
    if (!it->second.bClosed) {
            result = ::close(SocketFd(socket)) == 0 ? 0 : -1;
        WriteLogLine("Close socket hSocket=" + std::to_string(SocketFd(socket)), MAIN_LOG_FILE);
    }
    Entries().erase(it);
    return result;
}

bool IsRegisteredSocket(SOCKET socket)
{
    platform::NamedMutex endThread("EndThread");
    std::lock_guard lock(endThread);
    return Entries().count(socket) > 0;
}
