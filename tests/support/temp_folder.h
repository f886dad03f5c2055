#pragma once
#include <cstddef>
#include <map>
#include <string>

namespace testsupport {

// A fresh folder below the system's temporary folder, removed with everything in it.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& Path() const { return m_path; }   // no trailing slash
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& data);
// size bytes of a fixed pseudo-random sequence for the seed.
std::string RandomBytes(std::size_t size, unsigned seed);
// Every entry below root by its relative path: a file's content, "<dir>" for a folder.
std::map<std::string, std::string> FolderTree(const std::string& root);
// A small tree below root: big.bin (300,000 bytes), "with blank.txt", sub/a.txt and
// sub/deeper/b.bin (9,000 bytes).
void WriteSampleTree(const std::string& root);

}  // namespace testsupport
