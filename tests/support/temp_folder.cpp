#include "support/temp_folder.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace testsupport {

TempFolder::TempFolder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "korvalo-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TempFolder::~TempFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteWholeFile(const std::string& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

std::string RandomBytes(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::string data(size, '\0');
    for (char& c : data)
        c = static_cast<char>(random());
    return data;
}

std::map<std::string, std::string> FolderTree(const std::string& root)
{
    namespace fs = std::filesystem;
    std::map<std::string, std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        tree[fs::relative(entry.path(), root).string()] =
            entry.is_directory() ? "<dir>" : ReadWholeFile(entry.path().string());
    return tree;
}

void WriteSampleTree(const std::string& root)
{
    std::filesystem::create_directories(root + "/sub/deeper");
    WriteWholeFile(root + "/big.bin", RandomBytes(300000, 1));
    WriteWholeFile(root + "/with blank.txt", "blank name");
    WriteWholeFile(root + "/sub/a.txt", "a");
    WriteWholeFile(root + "/sub/deeper/b.bin", RandomBytes(9000, 2));
}

}  // namespace testsupport
