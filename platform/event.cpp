#include "platform/waitable.h"

namespace platform {

Waitable::~Waitable() = default;

Event::Event(bool manualReset, bool initiallySet) : m_bManualReset(manualReset), m_bSet(initiallySet) {}

void Event::Set()
{
    {
        std::lock_guard lock(m_mutex);
        m_bSet = true;
    }
    if (m_bManualReset)
        m_cv.notify_all();
    else
        m_cv.notify_one();
}

void Event::Reset()
{
    std::lock_guard lock(m_mutex);
    m_bSet = false;
}

bool Event::IsSet() const
{
    std::lock_guard lock(m_mutex);
    return m_bSet;
}

bool Event::TryReset()
{
    std::lock_guard lock(m_mutex);
    bool wasSet = m_bSet;
    m_bSet = false;
    return wasSet;
}

std::uint32_t Event::Wait(std::uint32_t timeoutMs)
{
    std::unique_lock lock(m_mutex);
    auto signalled = [this] { return m_bSet; };
    if (timeoutMs == INFINITE)
        m_cv.wait(lock, signalled);
    else if (!m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), signalled))
        return WAIT_TIMEOUT;
    if (!m_bManualReset)
        m_bSet = false;
    return WAIT_OBJECT_0;
}

}  // namespace platform
