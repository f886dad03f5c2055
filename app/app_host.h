#pragma once
// What the application object asks of the front end it runs in: the Qt program, or a
// headless host (the command line tool, the tests). Every step has a headless default.

#include <string>

class CMainFrame;

class CAppHost {
public:
    virtual ~CAppHost();
    virtual void InstallKeyboardHook() {}
    virtual void LoadSkin() {}
    // Builds the main window around the frame; false fails the start.
    virtual bool CreateMainWindow(CMainFrame&) { return true; }
    // The first "new document" request: the initial panels.
    virtual bool OpenInitialPanels() { return true; }
    virtual void ShowMainWindow() {}
    // A start-up error that ends the program: a front end shows text, then the process ends.
    virtual void FatalError(const std::string& text);
};
