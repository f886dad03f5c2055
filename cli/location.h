#pragma once
// Where a command reads or writes: a local path, or a file or folder on an FTP or FTPS
// server given as a URL: ftp://[user[:password]@]host[:port][/path], ftps://... for
// explicit AUTH TLS. User, password and path may hold %XX escapes.

#include <string>

struct CCliLocation {
    bool bRemote = false;
    bool bTls = false;              // ftps://
    std::string csHost;             // as written; an IPv6 address keeps its brackets
    int nPort = 21;
    bool bHasUser = false;
    bool bHasPassword = false;
    std::string csUser;
    std::string csPassword;
    std::string csPath;             // decoded; remote paths begin with "/", local ones are absolute

    // "ftp://host:port" or "ftps://host:port"; empty for a local path.
    std::string Server() const;
    // The location as shown to the user: never with the password.
    std::string Display() const;
    // The last part of the path ("" for "/"), and the folder before it (with a trailing slash).
    std::string Name() const;
    std::string Folder() const;
    bool EndsWithSlash() const { return !csPath.empty() && csPath.back() == '/'; }
};

// Parses a URL or a local path (relative ones are taken below currentFolder). False with
// error set for an unknown scheme, a bad port, an empty host, bad escapes, or control
// characters (CR, LF, NUL) anywhere, which would split an FTP command.
bool ParseLocation(const std::string& text, const std::string& currentFolder, CCliLocation& out, std::string& error);
