#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "platform/system.h"

namespace platform {

namespace {

// File format, one item a line:
//   [Software\Korvalo]            a key (parents are implied)
//   ExePath=sz:/opt/korvalo/korvalo
//   Data=hex:0011223344556677
//   Count=dword:42
// Names and texts are percent-encoded where they hold '%', '=', '[', ']' or control characters.

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

struct NoCase {
    bool operator()(const std::string& a, const std::string& b) const { return Lower(a) < Lower(b); }
};

using ValueMap = std::map<std::string, RegValue, NoCase>;
using KeyMap = std::map<std::string, ValueMap, NoCase>;

std::string Encode(const std::string& text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F || c == '%' || c == '=' || c == '[' || c == ']') {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::string Decode(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        int hi = text[i] == '%' && i + 2 < text.size() ? HexDigit(text[i + 1]) : -1;
        int lo = hi >= 0 ? HexDigit(text[i + 2]) : -1;
        if (lo >= 0) {
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// Key paths are kept without leading, trailing or doubled backslashes.
std::string NormaliseKey(const std::string& key)
{
    std::string out;
    for (char c : key) {
        if (c == '\\' && (out.empty() || out.back() == '\\'))
            continue;
        out += c;
    }
    while (!out.empty() && out.back() == '\\')
        out.pop_back();
    return out;
}

bool IsSameOrBelow(const std::string& key, const std::string& parent)
{
    std::string a = Lower(key), b = Lower(parent);
    return a == b || (a.size() > b.size() && a.compare(0, b.size(), b) == 0 && a[b.size()] == '\\');
}

KeyMap Parse(const std::string& data)
{
    KeyMap keys;
    ValueMap* current = nullptr;
    std::istringstream in(data);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty())
            continue;
        if (line.front() == '[' && line.back() == ']') {
            current = &keys[NormaliseKey(Decode(line.substr(1, line.size() - 2)))];
            continue;
        }
        std::size_t eq = line.find('=');
        std::size_t colon = eq == std::string::npos ? eq : line.find(':', eq);
        if (!current || colon == std::string::npos)
            continue;
        std::string name = Decode(line.substr(0, eq));
        std::string type = line.substr(eq + 1, colon - eq - 1);
        std::string body = line.substr(colon + 1);
        RegValue value;
        if (type == "sz") {
            value.type = RegType::String;
            value.text = Decode(body);
        } else if (type == "hex") {
            value.type = RegType::Binary;
            for (std::size_t i = 0; i + 1 < body.size(); i += 2) {
                int hi = HexDigit(body[i]), lo = HexDigit(body[i + 1]);
                if (hi < 0 || lo < 0)
                    break;
                value.bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
            }
        } else if (type == "dword") {
            value.type = RegType::Dword;
            value.dword = static_cast<std::uint32_t>(std::strtoul(body.c_str(), nullptr, 10));
        } else {
            continue;
        }
        (*current)[name] = std::move(value);
    }
    return keys;
}

std::string Serialise(const KeyMap& keys)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (const auto& [key, values] : keys) {
        out += "[" + Encode(key) + "]\n";
        for (const auto& [name, value] : values) {
            out += Encode(name) + "=";
            switch (value.type) {
            case RegType::String:
                out += "sz:" + Encode(value.text);
                break;
            case RegType::Binary:
                out += "hex:";
                for (std::uint8_t b : value.bytes) {
                    out += hex[b >> 4];
                    out += hex[b & 15];
                }
                break;
            case RegType::Dword:
                out += "dword:" + std::to_string(value.dword);
                break;
            }
            out += "\n";
        }
    }
    return out;
}

// Holds the store's lock file for one read or one read-modify-write.
class StoreLock {
public:
    StoreLock(const std::string& filePath, bool exclusive)
    {
        static std::mutex inProcess;   // flock does not order threads sharing one descriptor table
        m_inProcess = std::unique_lock(inProcess);
        std::filesystem::path folder = std::filesystem::path(filePath).parent_path();
        if (!folder.empty())
            MakeFolder(folder.string());
        m_fd = ::open((filePath + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (m_fd >= 0)
            ::flock(m_fd, exclusive ? LOCK_EX : LOCK_SH);
    }
    ~StoreLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);   // releases the lock
    }
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;

private:
    std::unique_lock<std::mutex> m_inProcess;
    int m_fd = -1;
};

KeyMap Load(const std::string& filePath)
{
    std::ifstream in(filePath, std::ios::binary);
    std::ostringstream data;
    data << in.rdbuf();
    return Parse(data.str());
}

bool Store(const std::string& filePath, const KeyMap& keys)
{
    std::string temp = filePath + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << Serialise(keys);
        out.flush();
        if (!out)
            return false;
    }
    return std::rename(temp.c_str(), filePath.c_str()) == 0;
}

template <class Change>
bool Modify(const std::string& filePath, Change change)
{
    StoreLock lock(filePath, true);
    KeyMap keys = Load(filePath);
    if (!change(keys))
        return false;
    return Store(filePath, keys);
}

}  // namespace

Registry::Registry(std::string filePath) : m_filePath(std::move(filePath)) {}

Registry Registry::CurrentUser() { return Registry(ConfigHome() + "/Korvalo/registry"); }

bool Registry::KeyExists(const std::string& key) const
{
    StoreLock lock(m_filePath, false);
    KeyMap keys = Load(m_filePath);
    std::string wanted = NormaliseKey(key);
    for (const auto& entry : keys)
        if (IsSameOrBelow(entry.first, wanted))
            return true;
    return false;
}

bool Registry::CreateKey(const std::string& key)
{
    std::string wanted = NormaliseKey(key);
    if (wanted.empty())
        return false;
    if (KeyExists(wanted))
        return true;
    return Modify(m_filePath, [&](KeyMap& keys) {
        keys[wanted];
        return true;
    });
}

bool Registry::DeleteKey(const std::string& key)
{
    std::string wanted = NormaliseKey(key);
    bool existed = false;
    Modify(m_filePath, [&](KeyMap& keys) {
        for (auto it = keys.begin(); it != keys.end();) {
            if (IsSameOrBelow(it->first, wanted)) {
                it = keys.erase(it);
                existed = true;
            } else {
                ++it;
            }
        }
        return existed;
    });
    return existed;
}

std::optional<RegValue> Registry::GetValue(const std::string& key, const std::string& name) const
{
    StoreLock lock(m_filePath, false);
    KeyMap keys = Load(m_filePath);
    auto k = keys.find(NormaliseKey(key));
    if (k == keys.end())
        return std::nullopt;
    auto v = k->second.find(name);
    if (v == k->second.end())
        return std::nullopt;
    return v->second;
}

bool Registry::SetValue(const std::string& key, const std::string& name, const RegValue& value)
{
    std::string wanted = NormaliseKey(key);
    if (wanted.empty())
        return false;
    return Modify(m_filePath, [&](KeyMap& keys) {
        keys[wanted][name] = value;
        return true;
    });
}

bool Registry::DeleteValue(const std::string& key, const std::string& name)
{
    return Modify(m_filePath, [&](KeyMap& keys) {
        auto k = keys.find(NormaliseKey(key));
        return k != keys.end() && k->second.erase(name) > 0;
    });
}

std::optional<std::string> Registry::GetString(const std::string& key, const std::string& name) const
{
    auto value = GetValue(key, name);
    if (!value || value->type != RegType::String)
        return std::nullopt;
    return value->text;
}

std::optional<std::vector<std::uint8_t>> Registry::GetBinary(const std::string& key, const std::string& name) const
{
    auto value = GetValue(key, name);
    if (!value || value->type != RegType::Binary)
        return std::nullopt;
    return value->bytes;
}

std::optional<std::uint32_t> Registry::GetDword(const std::string& key, const std::string& name) const
{
    auto value = GetValue(key, name);
    if (!value || value->type != RegType::Dword)
        return std::nullopt;
    return value->dword;
}

bool Registry::SetString(const std::string& key, const std::string& name, const std::string& text)
{
    RegValue value;
    value.type = RegType::String;
    value.text = text;
    return SetValue(key, name, value);
}

bool Registry::SetBinary(const std::string& key, const std::string& name, const std::vector<std::uint8_t>& bytes)
{
    RegValue value;
    value.type = RegType::Binary;
    value.bytes = bytes;
    return SetValue(key, name, value);
}

bool Registry::SetDword(const std::string& key, const std::string& name, std::uint32_t dword)
{
    RegValue value;
    value.type = RegType::Dword;
    value.dword = dword;
    return SetValue(key, name, value);
}

}  // namespace platform
