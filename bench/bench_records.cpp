#include "bench/bench_records.h"

#include <cstdlib>
#include <filesystem>

namespace bench {

BenchFolder::BenchFolder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "korvalo-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()))
        m_path = pattern;
}

BenchFolder::~BenchFolder()
{
    std::error_code ignored;
    if (!m_path.empty())
        std::filesystem::remove_all(m_path, ignored);
}

CTransferRecord StoredDownload(std::int64_t i, std::uint16_t state)
{
    CTransferRecord r;
    r.csFileName = "file-" + std::to_string(i) + ".iso";
    r.csFullFromAddress = "ftp://ftp.example.org/pub/releases/" + r.csFileName;
    r.csAddress = "ftp.example.org";
    r.csHostAddress = "ftp.example.org";
    r.csHostPort = "21";
    r.csFolder = "/pub/releases/";
    r.csDownloadTo = "/home/user/Downloads/";
    r.csRealDownloadTo = "/home/user/Downloads/";
    r.csProtocol = "FTP";
    r.csDestinProtocol = "FILE";
    r.csUserSource = "anonymous";
    r.csPasswordSource = "guest@";
    r.csModified = "Jan 02 12:34";
    r.FtpAttributes = "-rw-r--r--";
    r.qwFileSize = 700ull * 1024 * 1024 + static_cast<std::uint64_t>(i);
    r.nTransfersState = state;
    return r;
}

}  // namespace bench
