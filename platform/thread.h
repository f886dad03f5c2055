#pragma once
// Threads with message queues. Every thread started here owns a queue from the moment
// StartThread returns; a post succeeds until the thread's body has returned, and fails
// afterwards. Messages arrive in posting order. Thread ids are never reused.

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/message.h"
#include "platform/waitable.h"

namespace platform {

class ThreadState;

// Waits for the end of a thread and tells its exit code. Copies share one thread.
class ThreadHandle : public Waitable {
public:
    ThreadHandle() = default;
    explicit ThreadHandle(std::shared_ptr<ThreadState> state);
    explicit operator bool() const { return m_state != nullptr; }
    std::uint32_t Wait(std::uint32_t timeoutMs) override;
    bool HasEnded() const;
    int ExitCode() const;  // meaningful once HasEnded()
    ThreadId Id() const;

private:
    std::shared_ptr<ThreadState> m_state;
};

enum class ThreadPriority { Normal, Lowest };

struct StartedThread {
    ThreadHandle handle;
    ThreadId id = 0;
};

// Starts body on a new thread with its own queue; the thread's exit code is what body returns.
StartedThread StartThread(std::function<int()> body, ThreadPriority priority = ThreadPriority::Normal);

// Gives the calling thread (one not started by StartThread: the user-interface thread, a
// test) a queue of its own for as long as the object lives.
class ThreadQueueScope {
public:
    ThreadQueueScope();
    ~ThreadQueueScope();
    ThreadQueueScope(const ThreadQueueScope&) = delete;
    ThreadQueueScope& operator=(const ThreadQueueScope&) = delete;
    ThreadId Id() const { return m_id; }

private:
    ThreadId m_id;
};

// The id of the calling thread's queue, 0 when it has none.
ThreadId CurrentThreadId();

// False when the thread has ended (or never existed); the payload is then freed here.
bool PostThreadMessage(ThreadId thread, std::uint32_t message, WPARAM wParam = 0, LPARAM lParam = 0,
                       std::unique_ptr<MessagePayload> payload = nullptr);

// Posts a whole message, payload included (to hand a taken message back to a queue).
bool PostThreadMessage(ThreadId thread, Message&& msg);

// Takes the next message of the calling thread's queue, waiting for one. Returns false
// for WM_QUIT (the message is still handed out), true for every other message.
bool GetMessage(Message& out);

// Like GetMessage but gives up after timeoutMs; returns false on time-out with out untouched.
bool GetMessageTimeout(Message& out, std::uint32_t timeoutMs, bool& isQuit);

// True when a message with this number waits in the calling thread's queue; nothing is removed.
bool PeekMessage(std::uint32_t message);

// Removes and returns the oldest waiting message with this number, if any.
bool TakeMessage(std::uint32_t message, Message& out);

// Number of messages waiting in the calling thread's queue.
std::size_t PendingMessageCount();

}  // namespace platform
