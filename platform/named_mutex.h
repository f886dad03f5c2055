#pragma once
// Process-wide named mutexes, created by name on demand. Like the mutexes they stand
// in for, they are re-entrant for their owner and can be waited for with a limit.
// Usable with std::lock_guard / std::unique_lock.

#include <chrono>
#include <memory>
#include <mutex>
#include <string_view>

namespace platform {

class NamedMutex {
public:
    explicit NamedMutex(std::string_view name);
    void lock();
    bool try_lock();
    bool try_lock_for(std::chrono::milliseconds limit);
    void unlock();

private:
    std::shared_ptr<std::recursive_timed_mutex> m_mutex;
};

}  // namespace platform
