#pragma once
// Objects a thread can wait on: events and threads.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace platform {

inline constexpr std::uint32_t WAIT_OBJECT_0 = 0;
inline constexpr std::uint32_t WAIT_TIMEOUT = 258;
inline constexpr std::uint32_t WAIT_FAILED = 0xFFFFFFFFu;
inline constexpr std::uint32_t INFINITE = 0xFFFFFFFFu;

class Waitable {
public:
    virtual ~Waitable();
    // WAIT_OBJECT_0 when signalled within timeoutMs (INFINITE waits without limit), else WAIT_TIMEOUT.
    virtual std::uint32_t Wait(std::uint32_t timeoutMs) = 0;
};

// Manual-reset or auto-reset event.
class Event : public Waitable {
public:
    Event(bool manualReset, bool initiallySet);
    void Set();
    void Reset();
    bool IsSet() const;
    // Resets the event if it is set, in one step; true when it was set. A try-lock.
    bool TryReset();
    std::uint32_t Wait(std::uint32_t timeoutMs) override;

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    const bool m_bManualReset;
    bool m_bSet;
};

}  // namespace platform
