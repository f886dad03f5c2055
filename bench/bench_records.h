#pragma once
// What the benchmarks of the transfers share: a scratch folder and stored downloads.

#include <cstdint>
#include <string>

#include "transfers/transfer_record.h"

namespace bench {

// A fresh folder below the system's temporary folder, removed with everything in it.
class BenchFolder {
public:
    BenchFolder();
    ~BenchFolder();
    BenchFolder(const BenchFolder&) = delete;
    BenchFolder& operator=(const BenchFolder&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

// A download as the transfers list stores it: the names differ, the folders do not.
CTransferRecord StoredDownload(std::int64_t i, std::uint16_t state);

}  // namespace bench
