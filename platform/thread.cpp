#include "platform/thread.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <unordered_map>

namespace platform {

namespace {

class MessageQueue {
public:
    bool Push(Message&& msg)
    {
        {
            std::lock_guard lock(m_mutex);
            if (m_bClosed)
                return false;
            m_messages.push_back(std::move(msg));
        }
        m_cv.notify_one();
        return true;
    }

    // Waits for a message; timeoutMs INFINITE waits without limit.
    bool Pop(Message& out, std::uint32_t timeoutMs)
    {
        std::unique_lock lock(m_mutex);
        auto ready = [this] { return !m_messages.empty(); };
        if (timeoutMs == INFINITE)
            m_cv.wait(lock, ready);
        else if (!m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready))
            return false;
        out = std::move(m_messages.front());
        m_messages.pop_front();
        return true;
    }

    bool Contains(std::uint32_t message)
    {
        std::lock_guard lock(m_mutex);
        for (const Message& msg : m_messages)
            if (msg.message == message)
                return true;
        return false;
    }

    bool Take(std::uint32_t message, Message& out)
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_messages.begin(); it != m_messages.end(); ++it) {
            if (it->message == message) {
                out = std::move(*it);
                m_messages.erase(it);
                return true;
            }
        }
        return false;
    }

    std::size_t Size()
    {
        std::lock_guard lock(m_mutex);
        return m_messages.size();
    }

    // Later posts fail; messages still waiting are freed here, with their payloads.
    void Close()
    {
        std::deque<Message> dropped;
        {
            std::lock_guard lock(m_mutex);
            m_bClosed = true;
            dropped.swap(m_messages);
        }
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Message> m_messages;
    bool m_bClosed = false;
};

class QueueTable {
public:
    ThreadId Add(std::shared_ptr<MessageQueue> queue)
    {
        std::unique_lock lock(m_mutex);
        ThreadId id = ++m_lastId;
        m_queues.emplace(id, std::move(queue));
        return id;
    }

    void Remove(ThreadId id)
    {
        std::shared_ptr<MessageQueue> queue;
        {
            std::unique_lock lock(m_mutex);
            auto it = m_queues.find(id);
            if (it == m_queues.end())
                return;
            queue = std::move(it->second);
            m_queues.erase(it);
        }
        queue->Close();
    }

    std::shared_ptr<MessageQueue> Find(ThreadId id)
    {
        std::shared_lock lock(m_mutex);
        auto it = m_queues.find(id);
        return it == m_queues.end() ? nullptr : it->second;
    }

private:
    std::shared_mutex m_mutex;
    std::unordered_map<ThreadId, std::shared_ptr<MessageQueue>> m_queues;
    ThreadId m_lastId = 0;
};

QueueTable& Queues()
{
    static QueueTable* table = new QueueTable;   // outlives threads that end after main
    return *table;
}

thread_local std::shared_ptr<MessageQueue> t_queue;
thread_local ThreadId t_threadId = 0;

}  // namespace

class ThreadState {
public:
    ThreadId m_id = 0;
    Event m_ended{true, false};
    std::atomic<int> m_exitCode{0};
};

ThreadHandle::ThreadHandle(std::shared_ptr<ThreadState> state) : m_state(std::move(state)) {}

std::uint32_t ThreadHandle::Wait(std::uint32_t timeoutMs)
{
    return m_state ? m_state->m_ended.Wait(timeoutMs) : WAIT_FAILED;
}

bool ThreadHandle::HasEnded() const { return !m_state || m_state->m_ended.IsSet(); }
int ThreadHandle::ExitCode() const { return m_state ? m_state->m_exitCode.load() : 0; }
ThreadId ThreadHandle::Id() const { return m_state ? m_state->m_id : 0; }

StartedThread StartThread(std::function<int()> body, ThreadPriority priority)
{
    auto queue = std::make_shared<MessageQueue>();
    auto state = std::make_shared<ThreadState>();
    state->m_id = Queues().Add(queue);
    ThreadId id = state->m_id;

    try {
        std::thread([body = std::move(body), queue, state, priority]() mutable {
            t_queue = queue;
            t_threadId = state->m_id;
            if (priority == ThreadPriority::Lowest)
                setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19);
            int code = body();
            body = nullptr;   // the worker object goes before the end is announced
            Queues().Remove(state->m_id);
            t_queue.reset();
            state->m_exitCode = code;
            state->m_ended.Set();
        }).detach();
    } catch (const std::system_error&) {
        Queues().Remove(id);
        return {};
    }
    return {ThreadHandle(state), id};
}

ThreadQueueScope::ThreadQueueScope()
{
    t_queue = std::make_shared<MessageQueue>();
    m_id = Queues().Add(t_queue);
    t_threadId = m_id;
}

ThreadQueueScope::~ThreadQueueScope()
{
    Queues().Remove(m_id);
    t_queue.reset();
    t_threadId = 0;
}

ThreadId CurrentThreadId() { return t_threadId; }

bool PostThreadMessage(ThreadId thread, std::uint32_t message, WPARAM wParam, LPARAM lParam,
                       std::unique_ptr<MessagePayload> payload)
{
    std::shared_ptr<MessageQueue> queue = Queues().Find(thread);
    if (!queue)
        return false;
    Message msg;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    msg.payload = std::move(payload);
    return queue->Push(std::move(msg));
}

bool PostThreadMessage(ThreadId thread, Message&& msg)
{
    std::shared_ptr<MessageQueue> queue = Queues().Find(thread);
    return queue && queue->Push(std::move(msg));
}

bool GetMessage(Message& out)
{
    if (!t_queue)
        return false;
    t_queue->Pop(out, INFINITE);
    return out.message != WM_QUIT;
}

bool GetMessageTimeout(Message& out, std::uint32_t timeoutMs, bool& isQuit)
{
    isQuit = false;
    if (!t_queue || !t_queue->Pop(out, timeoutMs))
        return false;
    isQuit = out.message == WM_QUIT;
    return true;
}

bool PeekMessage(std::uint32_t message) { return t_queue && t_queue->Contains(message); }

bool TakeMessage(std::uint32_t message, Message& out) { return t_queue && t_queue->Take(message, out); }

std::size_t PendingMessageCount() { return t_queue ? t_queue->Size() : 0; }

}  // namespace platform
