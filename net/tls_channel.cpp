#include "net/tls_channel.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include "net/trust_store.h"

// One OpenSSL session with the outcome of the certificate checks of the handshake that
// made it. A handshake that resumes the session skips the checks (the server proves it
// holds the session instead), so the resuming channel takes that outcome over.
class CTlsSession {
public:
    // Takes over one reference to session.
    CTlsSession(SSL_SESSION* session, std::uint32_t certificateError)
        : m_pSession(session), m_dwCertificateError(certificateError)
    {
    }
    ~CTlsSession() { SSL_SESSION_free(m_pSession); }
    CTlsSession(const CTlsSession&) = delete;
    CTlsSession& operator=(const CTlsSession&) = delete;

    SSL_SESSION* Get() const { return m_pSession; }
    std::uint32_t CertificateError() const { return m_dwCertificateError; }
    // TLS 1.3 tickets are meant for one resumption; servers may refuse a second.
    bool IsSingleUse() const { return SSL_SESSION_get_protocol_version(m_pSession) >= TLS1_3_VERSION; }

private:
    SSL_SESSION* m_pSession;
    std::uint32_t m_dwCertificateError;
};

// The sessions a channel has received. Each single-use ticket is handed out once, the
// newest first; when none is left, the newest session is offered again.
class CTlsSessionPool {
public:
    void Add(std::shared_ptr<CTlsSession> session)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pNewest = session;
        m_aUnused.push_back(std::move(session));
        if (m_aUnused.size() > MAX_UNUSED)
            m_aUnused.pop_front();
    }
    std::shared_ptr<CTlsSession> Take()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_aUnused.empty())
            return m_pNewest;
        std::shared_ptr<CTlsSession> session = m_aUnused.back();
        if (session->IsSingleUse())
            m_aUnused.pop_back();
        return session;
    }
private:
    static constexpr std::size_t MAX_UNUSED = 16;
    std::mutex m_mutex;
    std::deque<std::shared_ptr<CTlsSession>> m_aUnused;
    std::shared_ptr<CTlsSession> m_pNewest;
};

namespace {

// What the OpenSSL callbacks of one channel reach through the SSL object.
struct ChannelState {
    SSL* ssl = nullptr;
    int fd = -1;
    std::string host;
    bool open = false;                      // the handshake succeeded and Shutdown has not run
    bool failed = false;                    // a fatal error: no close-notify may follow it
    bool peerClosed = false;                // the server's close-notify has arrived
    bool clientCertificateAsked = false;
    bool reused = false;                    // the handshake resumed the session offered
    std::uint32_t certificateError = 0;     // the first failing check of this handshake
    std::uint32_t resumedError = 0;         // the outcome kept with the session offered for resumption

    mutable std::mutex poolMutex;           // Session() may be asked from another thread
    std::shared_ptr<CTlsSessionPool> pool;
};

struct TlsSettings {
    std::mutex mutex;
    std::string trustStorePath;
    CertificateQuestion question;
};

TlsSettings& Settings()
{
    static TlsSettings settings;
    return settings;
}

int OnVerify(int passed, X509_STORE_CTX* store);
int OnNewSession(SSL* ssl, SSL_SESSION* session);
int OnClientCertificateRequest(SSL* ssl, X509** certificate, EVP_PKEY** key);

struct ClientContext {
    SSL_CTX* ctx = nullptr;
    int channelIndex = -1;
    std::string error;
};

// The one client context of the process, made on first use (C++ makes the static's
// initialisation thread-safe). It lives until the process ends.
const ClientContext& Context()
{
    static const ClientContext context = [] {
        ClientContext made;
        made.channelIndex = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
        SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
        if (!ctx || made.channelIndex < 0) {
            char text[256];
            ERR_error_string_n(ERR_get_error(), text, sizeof text);
            made.error = std::string("TLS is not available: ") + text;
            SSL_CTX_free(ctx);
            return made;
        }
        // Without system authorities only the added CA files (and the trust store) count.
        SSL_CTX_set_default_verify_paths(ctx);
        // The callback lets every handshake finish; the policy in Handshake decides.
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, OnVerify);
        // Sessions are kept by their channels only, so that a data connection resumes
        // exactly the session of its control connection.
        SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL);
        SSL_CTX_sess_set_new_cb(ctx, OnNewSession);
        SSL_CTX_set_client_cert_cb(ctx, OnClientCertificateRequest);
        SSL_CTX_set_mode(ctx, SSL_MODE_AUTO_RETRY);
        ERR_clear_error();
        made.ctx = ctx;
        return made;
    }();
    return context;
}

ChannelState* StateOf(SSL* ssl)
{
    return ssl ? static_cast<ChannelState*>(SSL_get_ex_data(ssl, Context().channelIndex)) : nullptr;
}

int OnVerify(int passed, X509_STORE_CTX* store)
{
    if (!passed) {
        auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
        ChannelState* state = StateOf(ssl);
        if (state && state->certificateError == 0)
            state->certificateError = static_cast<std::uint32_t>(X509_STORE_CTX_get_error(store));
    }
    return 1;
}

// Under TLS 1.2 this runs at the end of the handshake, under TLS 1.3 inside SSL_read for
// each ticket the server sends after it. Returning 1 keeps the reference OpenSSL gives.
int OnNewSession(SSL* ssl, SSL_SESSION* session)
{
    ChannelState* state = StateOf(ssl);
    if (!state)
        return 0;
    std::uint32_t outcome = SSL_session_reused(ssl) ? state->resumedError : state->certificateError;
    std::shared_ptr<CTlsSessionPool> pool;
    {
        std::lock_guard<std::mutex> lock(state->poolMutex);
        pool = state->pool;
    }
    if (!pool)
        return 0;
    pool->Add(std::make_shared<CTlsSession>(session, outcome));
    return 1;
}

// No client certificate is ever sent. Most servers ask only in case one is offered
// (vsftpd asks by default); one that requires it refuses the handshake, under TLS 1.3
// with an alert that arrives after SSL_connect, at the first read. The flag lets either
// failure name the reason.
int OnClientCertificateRequest(SSL* ssl, X509**, EVP_PKEY**)
{
    if (ChannelState* state = StateOf(ssl))
        state->clientCertificateAsked = true;
    return 0;
}

bool IsAddressLiteral(const std::string& host)
{
    unsigned char address[16];
    return inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// Waits until the socket is ready for events; limitMs < 0 waits without limit.
// 1 ready (or in error, which the next call reports), 0 time-out, -1 poll failed.
int WaitSocket(int fd, short events, long limitMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(limitMs, 0L));
    for (;;) {
        int waitMs = -1;
        if (limitMs >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            waitMs = static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX));
        }
        pollfd entry{fd, events, 0};
        int result = ::poll(&entry, 1, waitMs);
        if (result < 0 && errno == EINTR)
            continue;
        if (result < 0)
            return -1;
        if (result == 0)
            return 0;
        if (entry.revents & POLLNVAL) {
            errno = EBADF;
            return -1;
        }
        return 1;
    }
}

bool IsNonBlocking(int fd)
{
    int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_NONBLOCK) != 0;
}

// Why an SSL call failed, and the code to keep for it, from what the call left behind.
struct Failure {
    std::uint32_t code = 0;
    std::string reason;
};

std::string ClientCertificateMissing(const std::string& host)
{
    return "The server " + host + " asks for a client certificate; none is set up";
}

// Whether the server's alert says it wanted the client certificate it had asked for.
bool RefusedWithoutCertificate(const ChannelState& state, std::uint32_t code)
{
    if (!state.clientCertificateAsked || ERR_GET_LIB(code) != ERR_LIB_SSL)
        return false;
    const int reason = ERR_GET_REASON(code);
    return reason == SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED || reason == SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE ||
           reason == SSL_R_SSLV3_ALERT_BAD_CERTIFICATE || reason == SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE;
}

Failure DescribeFailure(int sslError, int savedErrno)
{
    Failure failure;
    unsigned long queued = ERR_peek_error();
    if (queued != 0) {
        failure.code = static_cast<std::uint32_t>(queued);
        if (ERR_GET_LIB(queued) == ERR_LIB_SSL && ERR_GET_REASON(queued) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
            failure.reason = "the server closed the connection without a close-notify";
        } else {
            const char* text = ERR_reason_error_string(queued);
            char buffer[256];
            if (!text) {
                ERR_error_string_n(queued, buffer, sizeof buffer);
                text = buffer;
            }
            failure.reason = text;
        }
    } else if (sslError == SSL_ERROR_SYSCALL && savedErrno != 0) {
        failure.code = static_cast<std::uint32_t>(savedErrno);
        failure.reason = std::strerror(savedErrno);
    } else {
        failure.code = ECONNRESET;
        failure.reason = "the server closed the connection";
    }
    ERR_clear_error();
    return failure;
}

std::string Fingerprint(X509* certificate)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &length) != 1)
        return {};
    std::string text;
    char pair[4];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, i + 1 < length ? "%02x:" : "%02x", digest[i]);
        text += pair;
    }
    return text;
}

// Runs print on a memory BIO and returns what it wrote.
template <typename Print>
std::string PrintToText(Print print)
{
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio)
        return {};
    print(bio);
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    std::string text(data ? data : "", length > 0 ? static_cast<std::size_t>(length) : 0);
    BIO_free(bio);
    return text;
}

std::string NameText(const X509_NAME* name)
{
    return PrintToText([name](BIO* bio) {
        X509_NAME_print_ex(bio, name, 0, (XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB) | ASN1_STRFLGS_UTF8_CONVERT);
    });
}

std::string TimeText(const ASN1_TIME* time)
{
    return PrintToText([time](BIO* bio) { ASN1_TIME_print(bio, time); });
}

CCertificateInfo DescribeCertificate(X509* certificate, const std::string& host, const std::string& fingerprint,
                                     std::uint32_t error)
{
    CCertificateInfo info;
    info.csHost = host;
    info.csSubject = NameText(X509_get_subject_name(certificate));
    info.csIssuer = NameText(X509_get_issuer_name(certificate));
    info.csNotBefore = TimeText(X509_get0_notBefore(certificate));
    info.csNotAfter = TimeText(X509_get0_notAfter(certificate));
    info.csFingerprint = fingerprint;
    info.dwError = error;
    info.csError = X509_verify_cert_error_string(static_cast<long>(error));
    return info;
}

}  // namespace

struct CTlsChannel::Impl : ChannelState {};

// ---------------------------------------------------------------------------------------
// Settings

void CTlsSettings::SetTrustStorePath(const std::string& path)
{
    std::lock_guard<std::mutex> lock(Settings().mutex);
    Settings().trustStorePath = path;
}

std::string CTlsSettings::TrustStorePath()
{
    std::lock_guard<std::mutex> lock(Settings().mutex);
    return Settings().trustStorePath;
}

bool CTlsSettings::AddCaFile(const std::string& path)
{
    const ClientContext& context = Context();
    if (!context.ctx)
        return false;
    ERR_clear_error();
    bool loaded = SSL_CTX_load_verify_file(context.ctx, path.c_str()) == 1;
    ERR_clear_error();
    return loaded;
}

void CTlsSettings::SetCertificateQuestion(CertificateQuestion question)
{
    std::lock_guard<std::mutex> lock(Settings().mutex);
    Settings().question = std::move(question);
}

// ---------------------------------------------------------------------------------------
// Channel

CTlsChannel::CTlsChannel() : m_impl(std::make_unique<Impl>()) {}

CTlsChannel::~CTlsChannel()
{
    Shutdown();
}

bool CTlsChannel::Handshake(int socket, const std::string& host, bool interactive,
                            const std::shared_ptr<CTlsSession>& resume, std::uint32_t readTimeoutMs)
{
    Shutdown();
    Impl& state = *m_impl;
    state.fd = socket;
    state.host = host;
    state.failed = false;
    state.peerClosed = false;
    state.clientCertificateAsked = false;
    state.reused = false;
    state.certificateError = 0;
    state.resumedError = 0;
    {
        std::lock_guard<std::mutex> lock(state.poolMutex);
        state.pool = std::make_shared<CTlsSessionPool>();
    }
    m_dwLastError = 0;
    m_csError.clear();

    auto fail = [this](std::uint32_t code, std::string text) {
        m_dwLastError = code;
        m_csError = std::move(text);
        return false;
    };

    const ClientContext& context = Context();
    if (!context.ctx)
        return fail(ENOSYS, context.error);
    int socketFlags = ::fcntl(socket, F_GETFL);
    if (socketFlags < 0)
        return fail(static_cast<std::uint32_t>(errno), "TLS with " + host + ": the socket is not usable");

    ERR_clear_error();
    SSL* ssl = SSL_new(context.ctx);
    if (!ssl || SSL_set_fd(ssl, socket) != 1 || SSL_set_ex_data(ssl, context.channelIndex, &state) != 1) {
        Failure failure = DescribeFailure(SSL_ERROR_SSL, 0);
        SSL_free(ssl);
        return fail(failure.code, "TLS with " + host + " could not be set up: " + failure.reason);
    }
    state.ssl = ssl;

    // The name check uses what the user typed, never the resolved address.
    std::string name = host;
    if (name.size() > 2 && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);
    bool nameSet = false;
    if (IsAddressLiteral(name)) {
        nameSet = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), name.c_str()) == 1;
    } else if (!name.empty()) {
        nameSet = SSL_set1_host(ssl, name.c_str()) == 1;
        SSL_set_tlsext_host_name(ssl, name.c_str());   // optional: a name OpenSSL cannot send is still checked
    }
    // A name that cannot be checked counts as a failed check, never as a passed one.
    if (!nameSet)
        state.certificateError = X509_V_ERR_HOSTNAME_MISMATCH;
    // A server that insists on resumption would refuse a handshake that moved to another
    // version, and a TLS 1.2 session cannot be resumed under TLS 1.3.
    if (m_bTls12Only)
        SSL_set_max_proto_version(ssl, TLS1_2_VERSION);
    if (resume && resume->Get()) {
        // OpenSSL marks a session it resumed as spent when that connection ends without a
        // close-notify (a cut data connection); a copy keeps the original usable for the
        // next connection.
        SSL_SESSION* copy = SSL_SESSION_dup(resume->Get());
        SSL_set_session(ssl, copy ? copy : resume->Get());
        SSL_SESSION_free(copy);
        SSL_set_max_proto_version(ssl, SSL_SESSION_get_protocol_version(resume->Get()));
        state.resumedError = resume->CertificateError();
    }

    ::fcntl(socket, F_SETFL, socketFlags | O_NONBLOCK);
    bool connected = false;
    bool timedOut = false;
    Failure failure;
    for (;;) {
        ERR_clear_error();
        int result = SSL_connect(ssl);
        if (result == 1) {
            connected = true;
            break;
        }
        int sslError = SSL_get_error(ssl, result);
        int savedErrno = errno;
        if (sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE) {
            int ready = WaitSocket(socket, sslError == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, readTimeoutMs);
            if (ready > 0)
                continue;
            if (ready == 0) {
                timedOut = true;
            } else {
                failure.code = static_cast<std::uint32_t>(errno);
                failure.reason = std::strerror(errno);
            }
            break;
        }
        failure = DescribeFailure(sslError, savedErrno);
        break;
    }
    ::fcntl(socket, F_SETFL, socketFlags & ~O_NONBLOCK);

    auto abandon = [&state](bool notify) {
        if (notify) {
            ERR_clear_error();
            SSL_shutdown(state.ssl);
        }
        SSL_free(state.ssl);
        ERR_clear_error();
        state.ssl = nullptr;
        std::lock_guard<std::mutex> lock(state.poolMutex);
        state.pool.reset();
    };

    if (!connected) {
        abandon(false);
        if (timedOut)
            return fail(ETIMEDOUT, "The TLS handshake with " + host + " timed out: no answer within " +
                                       std::to_string(readTimeoutMs) + " ms");
        if (RefusedWithoutCertificate(state, failure.code))
            return fail(failure.code, ClientCertificateMissing(host));
        return fail(failure.code, "The TLS handshake with " + host + " failed: " + failure.reason);
    }

    bool reused = SSL_session_reused(ssl) == 1;
    state.reused = reused;
    std::uint32_t error = reused ? state.resumedError : state.certificateError;
    if (error != 0 && !reused) {
        X509* certificate = SSL_get0_peer_certificate(ssl);
        if (!certificate) {
            abandon(true);
            return fail(error, "The server " + host + " sent no certificate");
        }
        std::string fingerprint = Fingerprint(certificate);
        std::string storePath;
        CertificateQuestion question;
        {
            std::lock_guard<std::mutex> lock(Settings().mutex);
            storePath = Settings().trustStorePath;
            question = Settings().question;
        }
        CTrustStore store(storePath);
        bool accepted = store.IsTrusted(fingerprint, name);
        bool refusedByUser = false;
        if (!accepted && interactive && question) {
            switch (question(DescribeCertificate(certificate, host, fingerprint, error))) {
            case ETrustAnswer::TrustAlways: {
                std::string ignored;   // not stored: it is still trusted for this connection
                if (!storePath.empty())
                    store.Add(fingerprint, name, ignored);
                accepted = true;
                break;
            }
            case ETrustAnswer::TrustOnce:
                accepted = true;
                break;
            case ETrustAnswer::Refuse:
                refusedByUser = true;
                break;
            }
        }
        if (!accepted) {
            abandon(true);
            std::string reason = X509_verify_cert_error_string(static_cast<long>(error));
            return fail(error, "The certificate of " + host + (refusedByUser ? " was refused: " : " is not trusted: ") +
                                   reason);
        }
    }
    m_dwLastError = error;
    state.open = true;
    return true;
}

long CTlsChannel::Send(const void* data, std::size_t length)
{
    Impl& state = *m_impl;
    if (!state.ssl || !state.open || state.failed)
        return -1;
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t sent = 0;
    while (sent < length) {
        int piece = static_cast<int>(std::min<std::size_t>(length - sent, INT_MAX));
        ERR_clear_error();
        int result = SSL_write(state.ssl, bytes + sent, piece);
        if (result > 0) {
            sent += static_cast<std::size_t>(result);
            continue;
        }
        int sslError = SSL_get_error(state.ssl, result);
        int savedErrno = errno;
        if (sslError == SSL_ERROR_WANT_WRITE || sslError == SSL_ERROR_WANT_READ) {
            if (IsNonBlocking(state.fd) &&
                WaitSocket(state.fd, sslError == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, -1) > 0)
                continue;
            // A blocking socket says "again" only when its send time-out (SO_SNDTIMEO) passed.
            ERR_clear_error();
            state.failed = true;
            m_dwLastError = ETIMEDOUT;
            m_csError = "Sending to " + state.host + " over TLS timed out";
            return -1;
        }
        Failure failure = DescribeFailure(sslError, savedErrno);
        state.failed = true;
        m_dwLastError = failure.code;
        m_csError = RefusedWithoutCertificate(state, failure.code) ? ClientCertificateMissing(state.host)
                                                 : "The TLS connection with " + state.host + " failed: " + failure.reason;
        return -1;
    }
    return static_cast<long>(sent);
}

long CTlsChannel::Recv(void* data, std::size_t length)
{
    Impl& state = *m_impl;
    if (!state.ssl || !state.open || state.failed || state.peerClosed || length == 0)
        return 0;
    int wanted = static_cast<int>(std::min<std::size_t>(length, INT_MAX));
    for (;;) {
        ERR_clear_error();
        int result = SSL_read(state.ssl, data, wanted);
        if (result > 0)
            return result;
        int sslError = SSL_get_error(state.ssl, result);
        int savedErrno = errno;
        if (sslError == SSL_ERROR_ZERO_RETURN) {
            state.peerClosed = true;
            return 0;
        }
        if (sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE) {
            if (IsNonBlocking(state.fd) &&
                WaitSocket(state.fd, sslError == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, -1) > 0)
                continue;
            // A blocking socket says "again" only when its receive time-out (SO_RCVTIMEO)
            // passed. OpenSSL keeps a partly read record, so the channel stays usable.
            ERR_clear_error();
            m_dwLastError = ETIMEDOUT;
            m_csError = "Receiving from " + state.host + " over TLS timed out";
            return 0;
        }
        Failure failure = DescribeFailure(sslError, savedErrno);
        state.failed = true;
        m_dwLastError = failure.code;
        m_csError = RefusedWithoutCertificate(state, failure.code) ? ClientCertificateMissing(state.host)
                                                 : "The TLS connection with " + state.host + " failed: " + failure.reason;
        return 0;
    }
}

bool CTlsChannel::HasPendingData() const
{
    return m_impl->ssl && SSL_pending(m_impl->ssl) > 0;
}

bool CTlsChannel::WaitReadable(std::uint32_t timeoutMs)
{
    Impl& state = *m_impl;
    if (!state.ssl || !state.open || state.failed || state.peerClosed || SSL_pending(state.ssl) > 0)
        return true;
    const bool unlimited = timeoutMs == 0xFFFFFFFFu;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(unlimited ? 0 : timeoutMs);
    for (;;) {
        long leftMs = -1;
        if (!unlimited) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            leftMs = std::max<long>(static_cast<long>(left.count()), 0);
        }
        int ready = WaitSocket(state.fd, POLLIN, leftMs);
        if (ready <= 0)
            return ready < 0;   // a failed poll: let Recv report what the socket says
        // Take in what arrived without blocking: SSL_peek stops with "want read" when
        // the records held no data.
        int flags = ::fcntl(state.fd, F_GETFL);
        if (flags < 0)
            return true;
        ::fcntl(state.fd, F_SETFL, flags | O_NONBLOCK);
        char byte;
        ERR_clear_error();
        int result = SSL_peek(state.ssl, &byte, 1);
        int sslError = SSL_get_error(state.ssl, result);
        int savedErrno = errno;
        ::fcntl(state.fd, F_SETFL, flags);
        if (result > 0)
            return true;
        if (sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE) {
            ERR_clear_error();
            if (!unlimited && std::chrono::steady_clock::now() >= deadline)
                return false;
            continue;
        }
        if (sslError == SSL_ERROR_ZERO_RETURN) {
            state.peerClosed = true;
            return true;
        }
        Failure failure = DescribeFailure(sslError, savedErrno);
        state.failed = true;
        m_dwLastError = failure.code;
        m_csError = RefusedWithoutCertificate(state, failure.code) ? ClientCertificateMissing(state.host)
                                                 : "The TLS connection with " + state.host + " failed: " + failure.reason;
        return true;
    }
}

void CTlsChannel::Shutdown()
{
    Impl& state = *m_impl;
    if (!state.ssl)
        return;
    if (state.open && !state.failed) {
        // The close-notify is a few bytes; a peer that reads nothing must not hold us here.
        int flags = ::fcntl(state.fd, F_GETFL);
        if (flags >= 0) {
            ::fcntl(state.fd, F_SETFL, flags | O_NONBLOCK);
            ERR_clear_error();
            SSL_shutdown(state.ssl);
            ::fcntl(state.fd, F_SETFL, flags);
        }
    }
    SSL_free(state.ssl);
    ERR_clear_error();
    state.ssl = nullptr;
    state.open = false;
}

bool CTlsChannel::IsOpen() const
{
    return m_impl->ssl && m_impl->open;
}

std::shared_ptr<CTlsSession> CTlsChannel::Session() const
{
    std::shared_ptr<CTlsSessionPool> pool;
    {
        std::lock_guard<std::mutex> lock(m_impl->poolMutex);
        pool = m_impl->pool;
    }
    return pool ? pool->Take() : nullptr;
}

bool CTlsChannel::SessionReused() const
{
    return m_impl->reused;
}
