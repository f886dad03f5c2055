#pragma once
// A small hierarchical store of typed values: keys with backslash-separated paths
// ("Software\Korvalo\Last Update"), values of type string, binary or dword. It lives in
// one text file; every change rewrites that file atomically under a file lock, so
// several processes (the program and its setup) can share it. Key and value names
// compare case-insensitively.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

enum class RegType { String, Binary, Dword };

struct RegValue {
    RegType type = RegType::String;
    std::string text;                  // String
    std::vector<std::uint8_t> bytes;   // Binary
    std::uint32_t dword = 0;           // Dword
};

class Registry {
public:
    explicit Registry(std::string filePath);
    // The current user's store: $XDG_CONFIG_HOME/Korvalo/registry (~/.config when unset).
    static Registry CurrentUser();
    const std::string& FilePath() const { return m_filePath; }

    bool KeyExists(const std::string& key) const;
    bool CreateKey(const std::string& key);   // creates the parents too; true when it exists afterwards
    bool DeleteKey(const std::string& key);   // with all its sub-keys; true when it existed

    std::optional<RegValue> GetValue(const std::string& key, const std::string& name) const;
    bool SetValue(const std::string& key, const std::string& name, const RegValue& value);
    bool DeleteValue(const std::string& key, const std::string& name);

    std::optional<std::string> GetString(const std::string& key, const std::string& name) const;
    std::optional<std::vector<std::uint8_t>> GetBinary(const std::string& key, const std::string& name) const;
    std::optional<std::uint32_t> GetDword(const std::string& key, const std::string& name) const;
    bool SetString(const std::string& key, const std::string& name, const std::string& value);
    bool SetBinary(const std::string& key, const std::string& name, const std::vector<std::uint8_t>& value);
    bool SetDword(const std::string& key, const std::string& name, std::uint32_t value);

private:
    std::string m_filePath;
};

}  // namespace platform
