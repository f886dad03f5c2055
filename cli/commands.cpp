#include "cli/commands.h"

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "app/logging.h"
#include "app/transfers_list.h"
#include "cli/cli_session.h"
#include "cli/jobs.h"
#include "cli/location.h"
#include "cli/progress_display.h"
#include "cli/remote_session.h"
#include "cli/terminal.h"
#include "cli/trust.h"
#include "net/tls_channel.h"

namespace fs = std::filesystem;

namespace cli {

namespace {

int Fail(const std::string& text, int status = EXIT_FAILED)
{
    std::fprintf(stderr, "korvalo-cli: %s\n", text.c_str());
    return status;
}

// A local file or folder named on the command line.
struct CLocalEntry {
    std::string csPath;   // without trailing slashes
    bool bFolder = false;
    std::uint64_t qwSize = 0;
};

bool FindLocal(const CCliLocation& where, CLocalEntry& entry)
{
    std::error_code ignored;
    entry.csPath = where.csPath;
    while (entry.csPath.size() > 1 && entry.csPath.back() == '/')
        entry.csPath.pop_back();
    if (!fs::exists(entry.csPath, ignored)) {
        Fail("no such file or folder: " + entry.csPath);
        return false;
    }
    entry.bFolder = fs::is_directory(entry.csPath, ignored);
    entry.qwSize = entry.bFolder ? 0 : fs::file_size(entry.csPath, ignored);
    return true;
}

class CCommandRun {
public:
    CCommandRun(const CCliOptions& options, std::string currentFolder)
        : m_options(options), m_csCurrent(std::move(currentFolder)),
          m_display(stderr, ErrorIsTerminal(), options.bQuiet)
    {
    }

    int Run();

private:
    bool Parse(const std::string& text, CCliLocation& where, int& status);
    bool OpenRemote(const CCliLocation& where, CRemoteSession& session);
    // The local folder a download or copy goes into: an existing folder, a path ending
    // in "/" (made), or a path ending in the source's name (its parent).
    bool LocalTarget(const CCliLocation& local, const std::string& sourceName, std::string& folder);
    // The remote folder an upload goes into, by the same rules.
    bool RemoteTarget(CRemoteSession& session, const CCliLocation& remote, const std::string& sourceName,
                      std::string& folder);
    int Ls();
    int Get(const CCliLocation& source, const CCliLocation& local);
    int Put(const CCliLocation& local, const CCliLocation& remote);
    int LocalCopy(const CCliLocation& source, const CCliLocation& local);
    int ServerCopy(const CCliLocation& source, const CCliLocation& destination);
    int List();
    int Resume();
    // Runs the jobs through the program's core to their end.
    int Transfer(std::vector<CTransferRecord> jobs);
    int Finish(CCliSession& session, bool resumed);

    const CCliOptions& m_options;
    std::string m_csCurrent;
    CProgressDisplay m_display;
    CRunTrust m_trust;
    int m_nUsage = EXIT_OK;
};

bool CCommandRun::Parse(const std::string& text, CCliLocation& where, int& status)
{
    std::string error;
    if (ParseLocation(text, m_csCurrent, where, error))
        return true;
    status = Fail(error, EXIT_USAGE);
    return false;
}

bool CCommandRun::OpenRemote(const CCliLocation& where, CRemoteSession& session)
{
    std::string error;
    if (session.Open(where, error))
        return true;
    if (!m_trust.CanAsk() && error.find("is not trusted") != std::string::npos)
        error += "\n  there is no terminal to ask whether to trust it: trust its authority with --ca-file FILE,"
                 "\n  or run the command at a terminal";
    Fail(error);
    return false;
}

bool CCommandRun::LocalTarget(const CCliLocation& local, const std::string& sourceName, std::string& folder)
{
    std::error_code ignored;
    fs::path path(local.csPath);
    if (fs::is_directory(path, ignored)) {
        folder = WithSlash(local.csPath);
        return true;
    }
    if (local.EndsWithSlash()) {
        fs::create_directories(path, ignored);
        folder = WithSlash(local.csPath);
        return fs::is_directory(path, ignored) || (Fail("cannot make the folder " + local.csPath), false);
    }
    if (path.filename().string() == sourceName) {
        fs::create_directories(path.parent_path(), ignored);
        folder = WithSlash(path.parent_path().string());
        return true;
    }
    m_nUsage = Fail(local.csPath + " is not a folder and does not end in the name " + sourceName, EXIT_USAGE);
    return false;
}

bool CCommandRun::RemoteTarget(CRemoteSession& session, const CCliLocation& remote, const std::string& sourceName,
                               std::string& folder)
{
    if (remote.EndsWithSlash() || remote.Name().empty()) {
        folder = WithSlash(remote.csPath);
        return true;
    }
    CTransferRecord entry;
    std::string error;
    if (session.Lookup(remote.csPath, entry, error)) {
        folder = IsFolderEntry(entry) ? WithSlash(remote.csPath) : remote.Folder();
        return true;
    }
    // A path that does not exist yet: its parent when it ends in the source's name,
    // otherwise a folder the upload makes.
    folder = remote.Name() == sourceName ? remote.Folder() : WithSlash(remote.csPath);
    return true;
}

int CCommandRun::Run()
{
    for (const std::string& file : m_options.aCaFiles)
        if (!CTlsSettings::AddCaFile(file))
            return Fail("cannot read the certificate authorities in " + file);
    std::string error;
    if (!m_trust.Begin(CanAsk(), error))
        return Fail(error);

    const std::string& command = m_options.csCommand;
    const std::vector<std::string>& args = m_options.aArguments;
    if (command == "ls")
        return Ls();
    if (command == "list")
        return List();
    if (command == "resume")
        return Resume();

    int status = EXIT_USAGE;
    CCliLocation source;
    CCliLocation destination;
    if (command == "get") {
        if (!Parse(args[0], source, status) || !Parse(args.size() > 1 ? args[1] : m_csCurrent + "/", destination, status))
            return status;
        if (!source.bRemote || destination.bRemote)
            return Fail("get takes a URL and a local folder", EXIT_USAGE);
        return Get(source, destination);
    }
    if (!Parse(args[0], source, status) || !Parse(args[1], destination, status))
        return status;
    if (command == "put") {
        if (source.bRemote || !destination.bRemote)
            return Fail("put takes a local path and a URL", EXIT_USAGE);
        return Put(source, destination);
    }
    // copy
    if (source.bRemote && destination.bRemote)
        return ServerCopy(source, destination);
    if (source.bRemote)
        return Get(source, destination);
    if (destination.bRemote)
        return Put(source, destination);
    return LocalCopy(source, destination);
}

int CCommandRun::Ls()
{
    CCliLocation where;
    int status = EXIT_USAGE;
    if (!Parse(m_options.aArguments[0], where, status))
        return status;
    if (!where.bRemote)
        return Fail("ls takes an ftp:// or ftps:// URL", EXIT_USAGE);
    CRemoteSession session;
    if (!OpenRemote(where, session))
        return EXIT_FAILED;
    CTransferRecordArray entries;
    std::string error;
    if (!session.List(where.csPath, entries, error)) {
        CTransferRecord entry;
        std::string lookupError;
        if (where.Name().empty() || !session.Lookup(where.csPath, entry, lookupError) || IsFolderEntry(entry))
            return Fail(error);
        entries.Add(entry);
    }
    session.Close();
    std::string out;
    out.reserve(entries.GetSize() * 64);
    for (const CTransferRecord& entry : entries) {
        char line[96];
        std::snprintf(line, sizeof line, "%-10.10s %14" PRIu64 " %04d-%02d-%02d %02d:%02d ", entry.FtpAttributes.c_str(),
                      entry.qwFileSize, entry.nYar, entry.nMonth, entry.nDay, entry.nHour, entry.nMin);
        out += line;
        out += entry.csFileName;
        out += IsFolderEntry(entry) ? "/\n" : "\n";
        if (out.size() > (1 << 16)) {
            std::fwrite(out.data(), 1, out.size(), stdout);
            out.clear();
        }
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? EXIT_OK : EXIT_FAILED;
}

int CCommandRun::Get(const CCliLocation& source, const CCliLocation& local)
{
    if (source.Name().empty())
        return Fail("name a file or folder on the server, not its root", EXIT_USAGE);
    CRemoteSession session;
    if (!OpenRemote(source, session))
        return EXIT_FAILED;
    CTransferRecord entry;
    std::string error;
    if (!session.Lookup(source.csPath, entry, error))
        return Fail(error);
    const CLogin login{session.User(), session.Password()};
    session.Close();
    std::string folder;
    if (!LocalTarget(local, source.Name(), folder))
        return m_nUsage != EXIT_OK ? m_nUsage : EXIT_FAILED;
    return Transfer({DownloadJob(source, entry, login, folder)});
}

int CCommandRun::Put(const CCliLocation& local, const CCliLocation& remote)
{
    CLocalEntry source;
    if (!FindLocal(local, source))
        return EXIT_FAILED;
    const std::string& path = source.csPath;
    const bool isFolder = source.bFolder;
    const std::uint64_t size = source.qwSize;
    const std::string name = fs::path(path).filename().string();
    CRemoteSession session;
    if (!OpenRemote(remote, session))
        return EXIT_FAILED;
    std::string folder;
    RemoteTarget(session, remote, name, folder);
    const CLogin login{session.User(), session.Password()};
    session.Close();
    return Transfer({UploadJob(path, isFolder, size, remote, folder, login)});
}

int CCommandRun::LocalCopy(const CCliLocation& source, const CCliLocation& local)
{
    CLocalEntry entry;
    if (!FindLocal(source, entry))
        return EXIT_FAILED;
    std::string folder;
    if (!LocalTarget(local, fs::path(entry.csPath).filename().string(), folder))
        return m_nUsage != EXIT_OK ? m_nUsage : EXIT_FAILED;
    return Transfer({LocalCopyJob(entry.csPath, entry.bFolder, entry.qwSize, folder)});
}

int CCommandRun::ServerCopy(const CCliLocation& source, const CCliLocation& destination)
{
    if (source.Name().empty())
        return Fail("name a file or folder on the server, not its root", EXIT_USAGE);
    CRemoteSession from;
    if (!OpenRemote(source, from))
        return EXIT_FAILED;
    CTransferRecord entry;
    std::string error;
    if (!from.Lookup(source.csPath, entry, error))
        return Fail(error);
    const CLogin sourceLogin{from.User(), from.Password()};
    from.Close();
    CRemoteSession to;
    if (!OpenRemote(destination, to))
        return EXIT_FAILED;
    std::string folder;
    RemoteTarget(to, destination, source.Name(), folder);
    const CLogin destinationLogin{to.User(), to.Password()};
    to.Close();
    return Transfer({ServerCopyJob(source, entry, sourceLogin, destination, folder, destinationLogin)});
}

int CCommandRun::Transfer(std::vector<CTransferRecord> jobs)
{
    CCliSession session(m_display);
    std::string error;
    if (!session.Start(false, error))
        return Fail(error);
    for (CTransferRecord& job : jobs) {
        // The same transfer stored unfinished: go on from where it stopped.
        if (const CTransferRecord* stored = session.StoredTransfer(job);
            stored && stored->nTransfersState != TRANSFER_STATE_COMPLETE && stored->dwDownloaded > 0 &&
            stored->dwDownloaded < job.qwFileSize) {
            job.dwDownloaded = stored->dwDownloaded;
            m_display.Line("resuming " + job.csFileName + " from byte " + std::to_string(job.dwDownloaded));
        }
        session.Submit(job);
    }
    return Finish(session, false);
}

int CCommandRun::Finish(CCliSession& session, bool resumed)
{
    const bool ended = session.RunUntilIdle();
    std::vector<std::string> failed;
    bool complete = session.AllComplete(failed);
    if (resumed && ended) {
        CTransfersList& list = session.Transfers();
        for (std::size_t row = 0; row < list.GetCount(); ++row) {
            const std::uint16_t state = list.Row(row).nTransfersState;
            if (state != TRANSFER_STATE_COMPLETE && state != TRANSFER_STATE_PAUSED) {
                complete = false;
                failed.push_back(list.Row(row).csFileName + " -> " + list.Row(row).csRealDownloadTo);
            }
        }
    }
    const std::string logs = session.App().m_csLogsDir;
    session.Stop();
    if (!ended) {
        Fail("interrupted; run the same command again to resume");
        return EXIT_INTERRUPTED;
    }
    if (complete)
        return EXIT_OK;
    for (const std::string& line : failed)
        std::fprintf(stderr, "korvalo-cli: not completed: %s\n", line.c_str());
    std::fprintf(stderr, "korvalo-cli: the transfer logs are in %s\n", logs.c_str());
    return EXIT_FAILED;
}

int CCommandRun::List()
{
    CCliSession session(m_display);
    std::string error;
    if (!session.Start(false, error))
        return Fail(error);
    CTransfersList& list = session.Transfers();
    for (std::size_t row = 0; row < list.GetCount(); ++row) {
        const CTransferRecord& record = list.Row(row);
        std::printf("%-12s %-28s %s  %s -> %s\n", list.StatusText(row).c_str(),
                    list.RowText(row, CTransfersList::COLUMN_TRANSFERRED).c_str(), record.csFileName.c_str(),
                    record.csFullFromAddress.c_str(), record.csRealDownloadTo.c_str());
    }
    std::fflush(stdout);
    session.Stop();
    return EXIT_OK;
}

int CCommandRun::Resume()
{
    CCliSession session(m_display);
    std::string error;
    if (!session.Start(true, error))
        return Fail(error);
    return Finish(session, true);
}

}  // namespace

int RunCommand(const CCliOptions& options, const std::string& currentFolder)
{
    CCommandRun run(options, currentFolder);
    return run.Run();
}

}  // namespace cli
