#include "ui/qt_app_host.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>

#include "ui/keyboard_filter.h"
#include "ui/main_window.h"

CQtAppHost::CQtAppHost() = default;
CQtAppHost::~CQtAppHost() = default;

void CQtAppHost::InstallKeyboardHook()
{
    m_keyboardFilter = std::make_unique<CKeyboardFilter>();
    qApp->installEventFilter(m_keyboardFilter.get());
}

bool CQtAppHost::CreateMainWindow(CMainFrame& frame)
{
    m_mainWindow = std::make_unique<CMainWindow>(frame);
    return true;
}

void CQtAppHost::ShowMainWindow()
{
    if (m_mainWindow)
        m_mainWindow->showMaximized();
}

void CQtAppHost::FatalError(const std::string& text)
{
    QMessageBox::critical(nullptr, QStringLiteral("Korvalo"), QString::fromStdString(text));
    std::fflush(nullptr);
    std::_Exit(0);
}
