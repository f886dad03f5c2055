#pragma once
// The file of certificates the user chose to trust although they failed their checks:
// one "fingerprint host" a line, the fingerprint as SHA-256 lower-case hex pairs joined
// by ':'. A trust is given for one server name: the same certificate shown by another
// host is asked about again.

#include <string>

class CTrustStore {
public:
    explicit CTrustStore(std::string path) : m_csPath(std::move(path)) {}

    // True when the file holds the pair (fingerprints and host names compare without
    // case). A missing or unreadable file trusts nothing; lines that are not a pair are skipped.
    bool IsTrusted(const std::string& fingerprint, const std::string& host) const;

    // Appends the pair unless the file holds it already. The file (and a missing parent
    // folder) is created for the user alone (0600, 0700). Writers in other threads and
    // processes are kept apart by an exclusive lock on the file, so lines never mix and
    // a pair is not stored twice. False with error set when nothing could be stored.
    bool Add(const std::string& fingerprint, const std::string& host, std::string& error) const;

    const std::string& Path() const { return m_csPath; }

private:
    std::string m_csPath;
};
