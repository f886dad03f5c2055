#pragma once
// The application host of the Qt program.

#include <memory>

#include "app/app_host.h"

class CKeyboardFilter;
class CMainWindow;

class CQtAppHost : public CAppHost {
public:
    CQtAppHost();
    ~CQtAppHost() override;
    void InstallKeyboardHook() override;
    bool CreateMainWindow(CMainFrame& frame) override;
    void ShowMainWindow() override;
    void FatalError(const std::string& text) override;

private:
    std::unique_ptr<CKeyboardFilter> m_keyboardFilter;
    std::unique_ptr<CMainWindow> m_mainWindow;
};
