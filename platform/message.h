#pragma once
// Thread and window messages: two numbers and, where a message carries a heap object,
// an owned payload. Whoever holds the Message owns the payload, so a message that is
// never delivered frees what it carried.

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

using HWND = std::uintptr_t;      // handle in the window table; 0 is no window
using ThreadId = std::uint32_t;   // address of a thread's queue; 0 is no thread
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

inline constexpr std::uint32_t WM_DESTROY = 0x0002;
inline constexpr std::uint32_t WM_CLOSE = 0x0010;
inline constexpr std::uint32_t WM_QUIT = 0x0012;
inline constexpr std::uint32_t WM_HELP = 0x0053;
inline constexpr std::uint32_t WM_TIMER = 0x0113;
inline constexpr std::uint32_t WM_COPY = 0x0301;
inline constexpr std::uint32_t WM_PASTE = 0x0302;
inline constexpr std::uint32_t WM_USER = 0x0400;

// Base of every heap object that travels inside a message.
class MessagePayload {
public:
    MessagePayload() = default;
    MessagePayload(const MessagePayload&) = default;
    MessagePayload& operator=(const MessagePayload&) = default;
    virtual ~MessagePayload();
};

class TextPayload : public MessagePayload {
public:
    explicit TextPayload(std::string text) : m_csText(std::move(text)) {}
    std::string m_csText;
};

struct Message {
    std::uint32_t message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    std::unique_ptr<MessagePayload> payload;
    // Set by the handler of a sent message that hands a heap object back to the sender.
    std::unique_ptr<MessagePayload> reply;

    template <class T>
    T* PayloadAs() const { return dynamic_cast<T*>(payload.get()); }
    template <class T>
    T* ReplyAs() const { return dynamic_cast<T*>(reply.get()); }
};

}  // namespace platform
