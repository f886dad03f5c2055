#include "support/test_certificates.h"

#include <cstdio>
#include <memory>
#include <stdexcept>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace testsupport {

namespace {

using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using CertPtr = std::unique_ptr<X509, decltype(&X509_free)>;

constexpr long kDay = 24 * 60 * 60;

void Check(bool ok, const char* what)
{
    if (!ok)
        throw std::runtime_error(std::string("making test certificates: ") + what);
}

KeyPtr NewKey()
{
    KeyPtr key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    Check(key != nullptr, "EC key");
    return key;
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    Check(extension != nullptr, "extension");
    Check(X509_add_ext(cert, extension, -1) == 1, "add extension");
    X509_EXTENSION_free(extension);
}

struct CertificateRequest {
    const char* commonName;
    const char* subjectAltName;   // nullptr for the authority
    long validFrom;               // seconds from now
    long validTo;
    bool authority = false;
};

// issuer/issuerKey nullptr: the certificate signs itself.
CertPtr MakeCertificate(const CertificateRequest& request, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey)
{
    CertPtr cert(X509_new(), X509_free);
    Check(cert != nullptr, "X509_new");
    Check(X509_set_version(cert.get(), X509_VERSION_3) == 1, "version");

    unsigned char serial[16];
    Check(RAND_bytes(serial, sizeof serial) == 1, "serial");
    serial[0] &= 0x7f;   // positive
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    Check(number && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert.get())), "serial number");
    BN_free(number);

    Check(X509_gmtime_adj(X509_getm_notBefore(cert.get()), request.validFrom) != nullptr, "notBefore");
    Check(X509_gmtime_adj(X509_getm_notAfter(cert.get()), request.validTo) != nullptr, "notAfter");

    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Korvalo Tests"), -1,
                               -1, 0);
    Check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                     reinterpret_cast<const unsigned char*>(request.commonName), -1, -1, 0) == 1,
          "common name");
    X509* signer = issuer ? issuer : cert.get();
    Check(X509_set_issuer_name(cert.get(), X509_get_subject_name(signer)) == 1, "issuer");
    Check(X509_set_pubkey(cert.get(), key) == 1, "public key");

    AddExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    AddExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
    if (request.authority) {
        AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        AddExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature");
        AddExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
        AddExtension(cert.get(), signer, NID_subject_alt_name, request.subjectAltName);
    }
    Check(X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()) > 0, "sign");
    return cert;
}

void WritePem(const std::string& path, X509* cert)
{
    FILE* file = std::fopen(path.c_str(), "w");
    Check(file != nullptr, "open certificate file");
    bool ok = PEM_write_X509(file, cert) == 1;
    std::fclose(file);
    Check(ok, "write certificate");
}

void WritePem(const std::string& path, EVP_PKEY* key)
{
    FILE* file = std::fopen(path.c_str(), "w");
    Check(file != nullptr, "open key file");
    bool ok = PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    std::fclose(file);
    Check(ok, "write key");
}

CertificateFiles Save(const TempFolder& folder, const std::string& stem, X509* cert, EVP_PKEY* key)
{
    CertificateFiles files{folder / (stem + ".crt"), folder / (stem + ".key")};
    WritePem(files.cert, cert);
    WritePem(files.key, key);
    return files;
}

}  // namespace

TestCertificates::TestCertificates()
{
    KeyPtr caKey = NewKey();
    CertPtr caCert = MakeCertificate({"Korvalo Test CA", nullptr, -kDay, 30 * kDay, true}, caKey.get(), nullptr,
                                     nullptr);
    ca = Save(m_folder, "ca", caCert.get(), caKey.get());

    struct Leaf {
        CertificateFiles* files;
        const char* stem;
        CertificateRequest request;
        bool signedByCa;
    };
    const Leaf leaves[] = {
        {&localhost, "localhost", {"localhost", "DNS:localhost,IP:127.0.0.1", -kDay, 30 * kDay}, true},
        {&selfSigned, "self-signed", {"localhost", "DNS:localhost,IP:127.0.0.1", -kDay, 30 * kDay}, false},
        {&expired, "expired", {"localhost", "DNS:localhost,IP:127.0.0.1", -2 * kDay, -kDay}, true},
        {&otherName, "other-name", {"other.example", "DNS:other.example", -kDay, 30 * kDay}, true},
    };
    for (const Leaf& leaf : leaves) {
        KeyPtr key = NewKey();
        CertPtr cert = leaf.signedByCa ? MakeCertificate(leaf.request, key.get(), caCert.get(), caKey.get())
                                       : MakeCertificate(leaf.request, key.get(), nullptr, nullptr);
        *leaf.files = Save(m_folder, leaf.stem, cert.get(), key.get());
    }
}

std::string CertificateFingerprint(const std::string& certPath)
{
    FILE* file = std::fopen(certPath.c_str(), "r");
    if (!file)
        return {};
    X509* cert = PEM_read_X509(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    if (!cert)
        return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    bool ok = X509_digest(cert, EVP_sha256(), digest, &length) == 1;
    X509_free(cert);
    if (!ok)
        return {};
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        if (i)
            text += ':';
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 15];
    }
    return text;
}

}  // namespace testsupport
