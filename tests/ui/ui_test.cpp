#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QTest>

#include <atomic>
#include <thread>

#include "app/main_frame.h"
#include "app/vexo_app.h"
#include "net/messages.h"
#include "platform/window_table.h"
#include "support/temp_folder.h"
#include "ui/qt_app_host.h"
#include "ui/ui_dispatcher.h"

namespace {

class RefreshCounter : public platform::WindowTarget {
public:
    platform::LRESULT WindowProc(platform::Message& msg) override
    {
        if (msg.message == WM_REFRESH_FOCUSED)
            ++refreshes;
        return 0;
    }
    int refreshes = 0;
};

}  // namespace

TEST(QtHost, StartsTheMainWindowMaximisedAndClosingEndsTheLoop)
{
    testsupport::TempFolder folder;
    CVexoApp app(folder / "korvalo", platform::Registry(folder / "registry"));
    CQtAppHost host;
    ASSERT_TRUE(app.InitInstance(host));

    QWidget* window = nullptr;
    for (QWidget* top : QApplication::topLevelWidgets())
        if (top->windowTitle() == "Korvalo 1.0")
            window = top;
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->windowState() & Qt::WindowMaximized);

    // A worker's send reaches the frame through the Qt event loop.
    std::atomic<bool> sent = false;
    std::thread worker([&] {
        sent = platform::SendMessageTimeout(app.MainFrame()->m_hWnd, WM_START_NEXT_QUEUED, 0, 0, 5000);
        QMetaObject::invokeMethod(window, "close", Qt::QueuedConnection);
    });
    int code = QApplication::exec();
    worker.join();
    EXPECT_TRUE(sent);
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(app.MainFrame()->m_bDestroyed);
    EXPECT_EQ(app.ExitInstance(code), 0);
    platform::ResetQuit();
}

TEST(QtHost, F5RefreshesTheFocusedWindowUnlessAltIsHeld)
{
    testsupport::TempFolder folder;
    CQtAppHost host;
    host.InstallKeyboardHook();
    RefreshCounter counter;
    QLineEdit edit;
    edit.setProperty("korvaloHwnd", QVariant::fromValue<qulonglong>(platform::RegisterWindow(&counter)));
    edit.show();
    edit.activateWindow();
    edit.setFocus();
    QApplication::processEvents();
    ASSERT_EQ(QApplication::focusWidget(), &edit);

    QTest::keyClick(&edit, Qt::Key_F5);   // press and release
    EXPECT_EQ(counter.refreshes, 2);
    QTest::keyClick(&edit, Qt::Key_A);
    EXPECT_EQ(edit.text(), "a");

    QTest::keyPress(&edit, Qt::Key_Alt);
    QTest::keyClick(&edit, Qt::Key_F5, Qt::AltModifier);
    QTest::keyClick(&edit, Qt::Key_B, Qt::AltModifier);
    QTest::keyRelease(&edit, Qt::Key_Alt);
    EXPECT_EQ(counter.refreshes, 2);
    EXPECT_EQ(edit.text(), "a");
    QTest::keyClick(&edit, Qt::Key_C);
    EXPECT_EQ(edit.text(), "ac");
    platform::UnregisterWindow(edit.property("korvaloHwnd").toULongLong());
}

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    CUiDispatcher dispatcher;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
