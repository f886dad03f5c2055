#include <QApplication>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "app/vexo_app.h"
#include "net/tls_channel.h"
#include "platform/system.h"
#include "ui/qt_app_host.h"
#include "ui/ui_dispatcher.h"

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    QApplication application(argc, argv);
    CUiDispatcher dispatcher;
    // Certificates the user chose to trust always; korvalo-cli keeps them in the same file.
    CTlsSettings::SetTrustStorePath(platform::ConfigHome() + "/Korvalo/trusted-certificates");
    CVexoApp app;
    CQtAppHost host;
    int code = 0;
    if (app.InitInstance(host))
        code = application.exec();
    code = app.ExitInstance(code);
    // Transfer workers are not waited for: they end with the process.
    std::fflush(nullptr);
    std::_Exit(code);
}
