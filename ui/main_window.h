#pragma once
// The main window. It draws nothing of its own yet; its messages go to the main frame.

#include <QMainWindow>

class CMainFrame;

class CMainWindow : public QMainWindow {
public:
    explicit CMainWindow(CMainFrame& frame);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    CMainFrame& m_frame;
};
