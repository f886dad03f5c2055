#pragma once
// Certificate trust for one run of the tool. A certificate that fails its checks is
// shown at the terminal and trusted once (for this run) or always (its fingerprint is
// stored in the user's file, as the program's dialog does); without a terminal it is
// refused. The transfer workers only take stored trust, so the run hands them a file of
// its own: the user's stored pairs plus those trusted once, removed at the end.

#include <string>

#include "net/tls_channel.h"

namespace cli {

// $XDG_CONFIG_HOME/Korvalo/trusted-certificates: the pairs the user chose to trust always.
std::string UserTrustStorePath();

// The question as the terminal shows it.
std::string CertificateQuestionText(const CCertificateInfo& info);
// "o"/"once", "a"/"always" (any case) -> the answer; anything else refuses.
ETrustAnswer TrustAnswerFromText(const std::string& answer);

class CRunTrust {
public:
    CRunTrust() = default;
    ~CRunTrust();
    CRunTrust(const CRunTrust&) = delete;
    CRunTrust& operator=(const CRunTrust&) = delete;

    // Sets up the run's store and the terminal question (asked only when canAsk).
    bool Begin(bool canAsk, std::string& error);
    bool CanAsk() const { return m_bCanAsk; }

private:
    ETrustAnswer Ask(const CCertificateInfo& info);

    bool m_bCanAsk = false;
    std::string m_csUserStore;
    std::string m_csRunStore;
};

}  // namespace cli
