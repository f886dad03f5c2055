#pragma once
// A headless application whose main frame starts real FTP workers, with a recording
// stand-in for the transfers list and UI pumping while workers run.

#include <chrono>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "app/app_host.h"
#include "app/main_frame.h"
#include "app/vexo_app.h"
#include "net/messages.h"
#include "platform/window_table.h"
#include "support/recording_transfers_list.h"
#include "support/temp_folder.h"
#include "transfers/transfer_record.h"

namespace testsupport {

class FtpJobs : public testing::Test {
protected:
    void SetUp() override
    {
        platform::SetUiThread();
        platform::ResetQuit();
        std::filesystem::create_directories(folder / "program");
        std::filesystem::create_directories(folder / "local");
        app = std::make_unique<CVexoApp>(folder / "program/korvalo", platform::Registry(folder / "registry"));
        ASSERT_TRUE(app->InitInstance(host));
        app->m_hwndTransfers = platform::RegisterWindow(&list);
        frame = app->MainFrame()->m_hWnd;
    }
    void TearDown() override
    {
        EXPECT_TRUE(WaitUntil([&] { return WorkersEnded(); }));
        if (HasFailure()) {
            // The transfers' own logs tell what the workers did.
            std::error_code ignored;
            for (const auto& entry : std::filesystem::directory_iterator(app->m_csLogsDir, ignored))
                std::cout << "--- " << entry.path().filename().string() << "\n" << ReadWholeFile(entry.path().string());
        }
        platform::UnregisterWindow(app->m_hwndTransfers);
        app->ExitInstance(0);
        app.reset();
        platform::ResetQuit();
    }
    bool WorkersEnded()
    {
        for (int i = 0; i < CWorkerSlotTable::SLOT_COUNT; ++i)
            if (app->m_workerSlots[i].hThread && !app->m_workerSlots[i].hThread.HasEnded())
                return false;
        return true;
    }
    // Serves the workers' sends until done() or the limit.
    bool WaitUntil(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(20))
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            platform::WaitForUiWork(20);
            platform::DispatchPendingSends();
        }
        return true;
    }
    // Hands a record to the main frame as a pane does; start: run it now, else it waits
    // in the frame's queue for a worker of the same server.
    void Submit(const CTransferRecord& record, bool start = true)
    {
        if (!start) {
            CTransferRecord queued = record;
            platform::SendMessage(frame, WM_QUEUE_TRANSFER, reinterpret_cast<platform::WPARAM>(&queued), 1);
            return;
        }
        platform::Message resume;
        resume.message = WM_RESUME_REQUEST;
        resume.lParam = 1;
        resume.payload = std::make_unique<CTransferRecord>(record);
        platform::SendMessage(frame, resume);
    }
    std::string Local() const { return folder / "local/"; }

    static std::string Server(int port, bool tls) { return std::string(tls ? "ftps" : "ftp") + "://127.0.0.1:" + std::to_string(port); }

    CTransferRecord Download(int port, bool tls, const std::string& remoteFolder, const std::string& name,
                             std::uint64_t size, const std::string& user, const std::string& password,
                             bool isFolder = false) const
    {
        CTransferRecord record;
        record.csProtocol = "FTP";
        record.csDestinProtocol = "FILE";
        record.FtpAttributes = isFolder ? "drwxr-xr-x" : "-rw-r--r--";
        record.csFolder = remoteFolder;
        record.csFileName = name;
        record.csFullFromAddress = Server(port, tls) + remoteFolder + (remoteFolder.back() == '/' ? "" : "/") + name;
        record.csDownloadTo = Local();
        record.csRealDownloadTo = Local();
        record.csUserSource = user;
        record.csPasswordSource = password;
        record.csHostAddress = "127.0.0.1";
        record.csHostPort = std::to_string(port);
        record.qwFileSize = size;
        record.bSsl = tls ? 1 : 0;
        return record;
    }

    CTransferRecord Upload(int port, bool tls, const std::string& localPath, const std::string& remoteFolder,
                           std::uint64_t size, const std::string& user, const std::string& password,
                           bool isFolder = false) const
    {
        CTransferRecord record;
        const std::filesystem::path path(localPath);
        record.csProtocol = "FILE";
        record.csDestinProtocol = "FTP";
        record.FtpAttributes = isFolder ? "d" : "-";
        record.csFolder = path.parent_path().string() + "/";
        record.csFileName = path.filename().string();
        record.csFullFromAddress = localPath;
        record.csRealDownloadTo = Server(port, tls) + remoteFolder;
        record.csDownloadTo = record.csRealDownloadTo;
        record.csUser = user;
        record.csPassword = password;
        record.csHostAddress = "127.0.0.1";
        record.csHostPort = std::to_string(port);
        record.qwFileSize = size;
        record.bSsl = tls ? 1 : 0;
        return record;
    }

    TempFolder folder;
    CAppHost host;
    CRecordingTransfersList list;
    std::unique_ptr<CVexoApp> app;
    platform::HWND frame = 0;
};

}  // namespace testsupport
