#include "platform/named_mutex.h"

#include <map>
#include <string>

namespace platform {

namespace {

std::shared_ptr<std::recursive_timed_mutex> MutexByName(std::string_view name)
{
    // Names stay registered for the life of the process; the set of names is small and fixed.
    static std::mutex tableMutex;
    static std::map<std::string, std::shared_ptr<std::recursive_timed_mutex>, std::less<>> table;
    std::lock_guard lock(tableMutex);
    auto it = table.find(name);
    if (it == table.end())
        it = table.emplace(std::string(name), std::make_shared<std::recursive_timed_mutex>()).first;
    return it->second;
}

}  // namespace

NamedMutex::NamedMutex(std::string_view name) : m_mutex(MutexByName(name)) {}

void NamedMutex::lock() { m_mutex->lock(); }
bool NamedMutex::try_lock() { return m_mutex->try_lock(); }
bool NamedMutex::try_lock_for(std::chrono::milliseconds limit) { return m_mutex->try_lock_for(limit); }
void NamedMutex::unlock() { m_mutex->unlock(); }

}  // namespace platform
