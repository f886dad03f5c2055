#include "cli/trust.h"

#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "cli/terminal.h"
#include "net/trust_store.h"
#include "platform/system.h"

namespace cli {

std::string UserTrustStorePath() { return platform::ConfigHome() + "/Korvalo/trusted-certificates"; }

std::string CertificateQuestionText(const CCertificateInfo& info)
{
    return "The certificate of " + info.csHost + " is not trusted: " + info.csError +
           "\n  Subject:     " + info.csSubject + "\n  Issuer:      " + info.csIssuer +
           "\n  Valid:       " + info.csNotBefore + " to " + info.csNotAfter +
           "\n  SHA-256:     " + info.csFingerprint + "\nTrust it [o]nce, [a]lways, or [r]efuse? ";
}

ETrustAnswer TrustAnswerFromText(const std::string& answer)
{
    std::string word;
    for (char c : answer)
        if (!std::isspace(static_cast<unsigned char>(c)))
            word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (word == "o" || word == "once")
        return ETrustAnswer::TrustOnce;
    if (word == "a" || word == "always")
        return ETrustAnswer::TrustAlways;
    return ETrustAnswer::Refuse;
}

CRunTrust::~CRunTrust()
{
    CTlsSettings::SetCertificateQuestion(nullptr);
    if (!m_csRunStore.empty()) {
        CTlsSettings::SetTrustStorePath(m_csUserStore);
        std::error_code ignored;
        std::filesystem::remove(m_csRunStore, ignored);
    }
}

bool CRunTrust::Begin(bool canAsk, std::string& error)
{
    m_bCanAsk = canAsk;
    m_csUserStore = UserTrustStorePath();
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/korvalo-cli-trust-XXXXXX";
    const int fd = ::mkstemp(pattern.data());   // 0600
    if (fd < 0) {
        error = "cannot create a temporary file in " + pattern;
        return false;
    }
    ::close(fd);
    m_csRunStore = pattern;
    {
        std::ifstream in(m_csUserStore, std::ios::binary);
        std::ofstream out(m_csRunStore, std::ios::binary | std::ios::trunc);
        if (in)
            out << in.rdbuf();
    }
    CTlsSettings::SetTrustStorePath(m_csRunStore);
    // Without a terminal no question is set: a certificate that fails its checks is then
    // refused as for any unattended connection.
    if (canAsk)
        CTlsSettings::SetCertificateQuestion([this](const CCertificateInfo& info) { return Ask(info); });
    return true;
}

ETrustAnswer CRunTrust::Ask(const CCertificateInfo& info)
{
    std::string answer;
    if (!ReadLine(CertificateQuestionText(info), answer))
        return ETrustAnswer::Refuse;
    const ETrustAnswer trust = TrustAnswerFromText(answer);
    if (trust == ETrustAnswer::TrustAlways) {
        std::string storeError;
        if (!CTrustStore(m_csUserStore).Add(info.csFingerprint, info.csHost, storeError))
            ReadLine("Could not store the trust (" + storeError + "); trusted for this run only. [Enter] ", answer);
    }
    // The channel stores "always" in the run's file, where the workers of this run look.
    if (trust == ETrustAnswer::TrustOnce) {
        std::string ignored;
        CTrustStore(m_csRunStore).Add(info.csFingerprint, info.csHost, ignored);
    }
    return trust;
}

}  // namespace cli
