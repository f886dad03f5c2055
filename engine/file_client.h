#pragma once
// The local side: listings of local folders (and "My Computer", the mounted file
// systems), folder creation, deletion to the Trash, and copy jobs between two local
// places. A folder copy becomes one queued copy job per entry.

#include <memory>
#include <string>
#include <vector>

#include "engine/command_client.h"
#include "platform/file_system.h"

inline constexpr const char* MY_COMPUTER = "My Computer";

class CFileProtocol : public CCommandProtocol {
public:
    // Lists path into m_aListing; a path ending in "/.." lists the parent ("My Computer"
    // above a mount point or "/"). False when the folder cannot be read.
    bool ListLocalFolder(std::string path);
    // Lists path and shows it in the owner pane.
    bool ShowLocalFolder(const std::string& path);
    int LocalGoUp();

    int RunJob() override;
    bool CopyLocalFile();
    bool CopyLocalFolder();
    void EnqueueLocalChildren(const std::string& destinationFolder);
    // False when the destination holds a newer file of the same name; the job is then
    // reversed and handed back to the main frame.
    bool NewerWins();

    // The folder a path names: a path ending in "/.." names the parent, and "My Computer"
    // above "/" or a mount point.
    static std::string ResolveFolder(std::string path);

    std::string m_csWatchedFolder;
    platform::FolderWatcher* m_pWatcher = nullptr;   // follows the shown folder, when set
    std::string m_csLocalFolder;   // the folder of the last listing, with a trailing slash
    CTransferRecordArray m_aListing;
};

class CFileClient : public CCommandClient {
public:
    CFileClient();
    ~CFileClient() override;

    bool PreTranslateMessage(platform::Message& msg) override;
    int ExitInstance() override;
    int Connect(const std::string& address) override;
    int OnRefreshList() override;
    int OnMakeDir(platform::Message& msg) override;
    int OnFileOperation(platform::Message& msg) override;
    int OnContinueJob() override;

    CFileProtocol m_protocol;
    std::vector<std::string> m_aQueuedDeletes;

protected:
    CCommandProtocol& Embedded() override { return m_protocol; }

private:
    // Shows the folder in the pane and watches it.
    bool ShowFolder(const std::string& path);
    std::unique_ptr<platform::FolderWatcher> m_watcher;
};
