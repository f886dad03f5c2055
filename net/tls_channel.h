#pragma once
// The client side of a TLS channel over a connected socket (OpenSSL 3).
//
// Certificates are checked against the system's trusted authorities (plus any added
// with CTlsSettings::AddCaFile) and the host name the user gave. A certificate that
// fails is accepted only when its SHA-256 fingerprint is in the trust store, or, for an
// interactive connection, when the certificate question answers "once" or "always"
// ("always" stores the fingerprint). The first failing check is kept as the channel's
// last error even when the certificate was accepted; 0 means every check passed.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// What the user is shown when a certificate fails its checks.
struct CCertificateInfo {
    std::string csHost;          // the name the connection was made to
    std::string csSubject;       // one-line subject
    std::string csIssuer;
    std::string csNotBefore;     // as OpenSSL prints it
    std::string csNotAfter;
    std::string csFingerprint;   // SHA-256, lower-case hex pairs joined by ':'
    std::uint32_t dwError = 0;   // the first failing check (X509_V_ERR_*)
    std::string csError;         // its text
};

enum class ETrustAnswer { Refuse, TrustOnce, TrustAlways };

// Asked on the connection's own thread; a user interface marshals it to its thread.
using CertificateQuestion = std::function<ETrustAnswer(const CCertificateInfo&)>;

// Process-wide TLS settings. Set them up before connections are made.
class CTlsSettings {
public:
    // The file of user-accepted fingerprints (one "fingerprint host" a line); empty: none kept.
    static void SetTrustStorePath(const std::string& path);
    static std::string TrustStorePath();
    // Trusts the certificate authorities of a PEM file for this run, beside the system's.
    static bool AddCaFile(const std::string& path);
    // nullptr: interactive connections are refused like unattended ones.
    static void SetCertificateQuestion(CertificateQuestion question);
};

// A TLS session that a second connection to the same server may resume (FTP data
// connections must resume their control connection's session on most servers).
class CTlsSession;

class CTlsChannel {
public:
    CTlsChannel();
    ~CTlsChannel();
    CTlsChannel(const CTlsChannel&) = delete;
    CTlsChannel& operator=(const CTlsChannel&) = delete;

    // Runs the handshake on a connected socket (blocking or not; it is left blocking).
    // Each handshake read waits at most readTimeoutMs. host: the name the user gave, for
    // the name check. resume: a session to resume, or nullptr. interactive: may ask the
    // certificate question. False when the set-up failed: Error() tells why, LastError()
    // holds the failing code. No client certificate is sent: a server that only asks for
    // one goes on without it, one that requires it fails the set-up or, under TLS 1.3,
    // the first read, with an error that says so.
    bool Handshake(int socket, const std::string& host, bool interactive,
                   const std::shared_ptr<CTlsSession>& resume = nullptr, std::uint32_t readTimeoutMs = 5000);
    // Offers at most TLS 1.2 in the next handshakes. A resumed handshake always keeps the
    // version of the session it resumes.
    void LimitToTls12(bool limit) { m_bTls12Only = limit; }

    // Encrypts and sends the whole buffer; the count sent, or -1 on failure.
    long Send(const void* data, std::size_t length);
    // Up to length decrypted bytes; 0 when the peer closed the channel or on failure.
    // Serves from bytes already decrypted before it touches the socket.
    long Recv(void* data, std::size_t length);
    // True when decrypted bytes wait to be taken (the socket may show nothing to read).
    bool HasPendingData() const;
    // Waits at most timeoutMs (0xFFFFFFFF: no limit) until a Recv will not block: decrypted
    // bytes wait, or data, the close-notify or a failure has arrived. Records without data
    // (TLS 1.3 session tickets, key updates) make the socket readable, but Recv would then
    // block for the next record; they are taken in here without ending the wait.
    bool WaitReadable(std::uint32_t timeoutMs);
    // Sends the close-notify and releases the channel.
    void Shutdown();

    bool IsOpen() const;
    // The first failing certificate check, or the failing handshake code; 0 when none.
    std::uint32_t LastError() const { return m_dwLastError; }
    const std::string& Error() const { return m_csError; }
    // A session for another connection to resume; nullptr while the server has sent
    // none (under TLS 1.3 tickets arrive with the first reply). Each TLS 1.3 ticket is
    // handed out once while unused ones are left, then the newest again. Sessions issued
    // on a connection that resumed one are that connection's own: servers that insist on
    // resumption want the control connection's session, not a data connection's.
    std::shared_ptr<CTlsSession> Session() const;
    // Whether the handshake resumed the session it was given.
    bool SessionReused() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
    std::uint32_t m_dwLastError = 0;
    std::string m_csError;
    bool m_bTls12Only = false;
};
