#pragma once
// The main frame: the coordination point of the program on the user-interface thread.
// It makes the program's folders, opens the database, starts the find-result thread,
// receives every report of the workers, and orders the shutdown. It has no widgets; the
// Qt main window (or a headless host) forwards to it.

#include <string>
#include <vector>

#include "platform/thread.h"
#include "platform/waitable.h"
#include "platform/window_table.h"
#include "transfers/transfer_database.h"
#include "transfers/transfer_record.h"

class CVexoApp;

class CMainFrame : public platform::WindowTarget {
public:
    explicit CMainFrame(CVexoApp& app);
    ~CMainFrame() override;

    // The frame's creation: window handle, folders, database, find-result thread,
    // clean-up of the temporary folder. False when the database cannot be opened.
    bool OnCreate();
    // Closing: sets the application's closing flag, then destroys the frame.
    void OnClose();
    // Destruction: waits for the database to be idle, stops the find-result thread and
    // waits for it, unregisters the window and asks the user-interface loop to quit.
    void OnDestroy();

    platform::LRESULT WindowProc(platform::Message& msg) override;

    platform::HWND m_hWnd = 0;
    CTransferDatabase m_database;
    CTransferRecordArray m_pendingQueue;
    std::vector<std::string> m_aLearnedHosts;
    platform::Event m_hDatabaseIdle{true, true};
    bool m_bDestroyed = false;
    platform::StartedThread m_findResultThread;

private:
    CVexoApp& m_app;
};
