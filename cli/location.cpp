#include "cli/location.h"

#include <cctype>
#include <filesystem>

namespace {

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool Decode(const std::string& text, std::string& out)
{
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return false;
        const int high = HexValue(text[i + 1]);
        const int low = HexValue(text[i + 2]);
        if (high < 0 || low < 0)
            return false;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

bool HasControl(const std::string& text)
{
    for (char c : text)
        if (c == '\r' || c == '\n' || c == '\0')
            return true;
    return false;
}

bool ParsePort(const std::string& text, int& port)
{
    if (text.empty() || text.size() > 5)
        return false;
    int value = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535)
        return false;
    port = value;
    return true;
}

bool ParseLocal(const std::string& path, const std::string& currentFolder, CCliLocation& out, std::string& error)
{
    if (path.empty()) {
        error = "an empty path";
        return false;
    }
    if (HasControl(path)) {
        error = "a path with a line break";
        return false;
    }
    std::filesystem::path full(path);
    if (full.is_relative())
        full = std::filesystem::path(currentFolder) / full;
    std::string text = full.lexically_normal().string();
    // "folder/" keeps its slash: it names a folder.
    if (path.back() == '/' && (text.empty() || text.back() != '/'))
        text += '/';
    out.csPath = text;
    return true;
}

}  // namespace

bool ParseLocation(const std::string& text, const std::string& currentFolder, CCliLocation& out, std::string& error)
{
    out = CCliLocation();
    error.clear();
    const std::size_t schemeEnd = text.find("://");
    if (schemeEnd == std::string::npos)
        return ParseLocal(text, currentFolder, out, error);
    const std::string scheme = Lower(text.substr(0, schemeEnd));
    const std::string rest = text.substr(schemeEnd + 3);
    if (scheme == "file") {
        std::string path;
        if (!Decode(rest, path) || path.empty() || path[0] != '/') {
            error = "a file URL needs an absolute path: " + text;
            return false;
        }
        return ParseLocal(path, currentFolder, out, error);
    }
    if (scheme != "ftp" && scheme != "ftps") {
        error = "unsupported scheme \"" + scheme + "\" (ftp://, ftps:// or a local path)";
        return false;
    }
    out.bRemote = true;
    out.bTls = scheme == "ftps";

    const std::size_t slash = rest.find('/');
    const std::string authority = rest.substr(0, slash);
    const std::string rawPath = slash == std::string::npos ? "/" : rest.substr(slash);

    std::string hostPort = authority;
    const std::size_t at = authority.rfind('@');
    if (at != std::string::npos) {
        const std::string userInfo = authority.substr(0, at);
        hostPort = authority.substr(at + 1);
        const std::size_t colon = userInfo.find(':');
        if (!Decode(userInfo.substr(0, colon), out.csUser) ||
            (colon != std::string::npos && !Decode(userInfo.substr(colon + 1), out.csPassword))) {
            error = "a bad %-escape in the user or password";
            return false;
        }
        out.bHasUser = !out.csUser.empty();
        out.bHasPassword = colon != std::string::npos;
    }

    std::string portText;
    if (!hostPort.empty() && hostPort[0] == '[') {
        const std::size_t close = hostPort.find(']');
        if (close == std::string::npos) {
            error = "an IPv6 address without its closing bracket";
            return false;
        }
        out.csHost = hostPort.substr(0, close + 1);
        const std::string after = hostPort.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') {
                error = "text after the IPv6 address: " + after;
                return false;
            }
            portText = after.substr(1);
            if (portText.empty())
                portText = "x";
        }
    } else {
        const std::size_t colon = hostPort.find(':');
        out.csHost = hostPort.substr(0, colon);
        if (colon != std::string::npos) {
            portText = hostPort.substr(colon + 1);
            if (portText.empty())
                portText = "x";
        }
    }
    if (out.csHost.empty() || out.csHost == "[]") {
        error = "no host in " + text;
        return false;
    }
    if (!portText.empty() && !ParsePort(portText, out.nPort)) {
        error = "a bad port: " + portText;
        return false;
    }
    if (!Decode(rawPath, out.csPath)) {
        error = "a bad %-escape in the path";
        return false;
    }
    if (HasControl(out.csUser) || HasControl(out.csPassword) || HasControl(out.csPath) || HasControl(out.csHost)) {
        error = "a control character (CR, LF or NUL) in the URL";
        return false;
    }
    return true;
}

std::string CCliLocation::Server() const
{
    if (!bRemote)
        return {};
    return std::string(bTls ? "ftps" : "ftp") + "://" + csHost + ":" + std::to_string(nPort);
}

std::string CCliLocation::Display() const
{
    if (!bRemote)
        return csPath;
    std::string text = std::string(bTls ? "ftps" : "ftp") + "://";
    if (bHasUser)
        text += csUser + "@";
    text += csHost;
    if (nPort != 21)
        text += ":" + std::to_string(nPort);
    return text + csPath;
}

std::string CCliLocation::Name() const
{
    std::string path = csPath;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    const std::size_t slash = path.rfind('/');
    if (path == "/" || path.empty())
        return {};
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string CCliLocation::Folder() const
{
    std::string path = csPath;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return "/";
    return path.substr(0, slash + 1);
}
