#pragma once
// The socket operations of every protocol worker: connecting with a time-out, reading an
// exact number of bytes or up to a terminator, sending, closing; each optionally through
// TLS. One object may serve several sockets: every operation makes the socket it is given
// the current one. The TLS channel belongs to the object, so a TLS data connection uses
// an object of its own.
//
// Failures return false (or -1) and leave a text in m_csError.

#include <cstdint>
#include <memory>
#include <string>

#include "net/base_connection.h"
#include "net/socket_registry.h"
#include "net/tls_channel.h"

// Error texts of the connection layer.
inline constexpr const char* MSG_REMOTE_CLOSED = "Remote host has closed the connection";
inline constexpr const char* MSG_RESOLVE_FAILED = "Error in Connect1: gethostbyname - failed";
inline constexpr const char* MSG_ADDRESS_FAILED = "Error in Connect1: inet_addr - failed";
inline constexpr const char* MSG_SOCKET_FAILED = "Error in Connect1: Could not create socket";
inline constexpr const char* MSG_NOT_INITIALIZED = "Error in ReadRowData: WSAStartup not initialized";
inline constexpr const char* MSG_INVALID_SOCKET_READ = "Error: Invalid socket in ReadRowData";
inline constexpr const char* MSG_INVALID_SOCKET_SEND = "Error: Invalid socket in SendAndWait";
inline constexpr const char* MSG_INVALID_SOCKET_STRING = "Error: Invalid socket in ReadString";

// "%s\r\nID: %i\r\n"
std::string FormatErrorWithId(const char* message, int code);

class CCommandConnection : public CBaseConnectionClass {
public:
    CCommandConnection();
    ~CCommandConnection() override;

    // Count read, 0 when the peer closed, -1 on error.
    virtual long Recv(void* buffer, std::size_t length, int flags = 0);
    // Count sent (all of it unless the connection failed), or -1.
    virtual long Send(const void* buffer, std::size_t length, int flags = 0);
    virtual void Disconnect(bool graceful);
    // Resolves host (names and IPv4 or IPv6 literals), connects within timeoutMs and,
    // with tls, sets up the TLS channel on the given port. On success socket holds the
    // connected socket (blocking); on failure it is INVALID_SOCKET.
    virtual bool Connect1(const std::string& host, int port, SOCKET& socket, std::uint32_t timeoutMs, bool tls);

    // Sets up TLS on a connected socket, which stays current. The certificate is checked
    // against m_csHost; m_pResumeSession, when set, is offered for resumption.
    bool StartTls(SOCKET socket);

    // True when at least one byte arrived; length then holds the count. Returns early with
    // fewer bytes when the peer closes or the time-out passes after the first byte.
    bool ReadRowData(SOCKET socket, void* buffer, std::size_t& length, std::uint32_t timeoutMs, int flags = 0);
    // Sends the whole buffer; length then holds the count sent.
    bool SendAndWait(SOCKET socket, const void* buffer, std::size_t& length);
    // Reads up to and including the terminator (at most 10000 bytes); nothing after it is
    // taken from the socket.
    bool ReadString(SOCKET socket, std::string& text, const std::string& terminator, std::uint32_t timeoutMs);

    bool IsSocketValid(SOCKET socket);
    bool WaitReadable(SOCKET socket, std::uint32_t timeoutMs);
    bool GetLocalAddress(SOCKET socket, std::string& address);
    static void FormatIPv4(const unsigned char bytes[4], std::string& text);

    // The newest TLS session of this object's channel, for a data connection to resume.
    std::shared_ptr<CTlsSession> TlsSession() const;
    bool TlsSessionReused() const;

    SOCKET m_socket = INVALID_SOCKET;
    bool m_bWinsockReady = true;
    bool m_bTls = false;
    bool m_bConnected = false;
    bool m_bInteractive = false;   // may ask the user about a certificate that fails its checks
    std::string m_csPort;
    std::string m_csIPAddress;
    std::string m_csHost;
    std::string m_csError;
    std::uint32_t m_dwLastError = 0;
    std::shared_ptr<CTlsSession> m_pResumeSession;
    // Offer at most TLS 1.2 (see CTlsChannel::LimitToTls12).
    bool m_bTls12Only = false;

private:
    bool RunTlsSetUp();
    // Waits for the current socket to become readable; decrypted bytes count as readable.
    // -1 on an error condition, 0 on time-out, 1 when readable.
    int PollReadable(SOCKET socket, std::uint32_t timeoutMs);
    long Peek(void* buffer, std::size_t length);

    std::unique_ptr<CTlsChannel> m_tls;
};
