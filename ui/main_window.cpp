#include "ui/main_window.h"

#include <QCloseEvent>
#include <QLabel>
#include <QTimer>

#include "app/main_frame.h"
#include "app/transfers_list.h"
#include "platform/window_table.h"

CMainWindow::CMainWindow(CMainFrame& frame) : m_frame(frame)
{
    setWindowTitle(QStringLiteral("Korvalo 1.0"));
    setProperty("korvaloHwnd", QVariant::fromValue<qulonglong>(frame.m_hWnd));
    auto* placeholder = new QLabel(QStringLiteral("Korvalo"), this);
    placeholder->setAlignment(Qt::AlignCenter);
    setCentralWidget(placeholder);

    // The transfers list is written back to the database at this pace.
    auto* saveTimer = new QTimer(this);
    connect(saveTimer, &QTimer::timeout, this, [this] {
        if (m_frame.m_pTransfersList)
            m_frame.m_pTransfersList->OnTimer(CTransfersList::SAVE_TIMER_ID);
    });
    saveTimer->start(CTransfersList::SAVE_INTERVAL_MS);

    // Unfinished transfers of a long list start a batch at a time between other events.
    auto* startTimer = new QTimer(this);
    connect(startTimer, &QTimer::timeout, this, [this, startTimer] {
        if (!m_frame.m_pTransfersList || !m_frame.m_pTransfersList->StartWaiting())
            startTimer->stop();
    });
    startTimer->start(0);
}

void CMainWindow::closeEvent(QCloseEvent* event)
{
    // The frame stops the find-result thread and asks the loop to quit.
    platform::SendMessage(m_frame.m_hWnd, platform::WM_CLOSE);
    event->accept();
}
