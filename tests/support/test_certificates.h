#pragma once
// Keys and certificates for TLS tests, made with the OpenSSL API (EC P-256, SHA-256)
// into a folder of their own. Every file is PEM.

#include <string>

#include "support/temp_folder.h"

namespace testsupport {

struct CertificateFiles {
    std::string cert;
    std::string key;
};

class TestCertificates {
public:
    // Throws std::runtime_error when OpenSSL cannot make them.
    TestCertificates();

    const std::string& Folder() const { return m_folder.Path(); }

    CertificateFiles ca;          // a test authority (CA:TRUE), certificate "Korvalo Test CA"
    CertificateFiles localhost;   // signed by ca: DNS localhost, IP 127.0.0.1
    CertificateFiles selfSigned;  // its own issuer: DNS localhost, IP 127.0.0.1
    CertificateFiles expired;     // signed by ca, valid from two days ago to yesterday: DNS localhost
    CertificateFiles otherName;   // signed by ca: DNS other.example only

private:
    TempFolder m_folder;
};

// The SHA-256 fingerprint of a PEM certificate file as lower-case hex pairs joined by ':'.
std::string CertificateFingerprint(const std::string& certPath);

}  // namespace testsupport
