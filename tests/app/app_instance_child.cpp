// Starts the application headless in the folder of the program path given, writes
// lines to the main log and rows to the transfers table, and ends normally.
// Usage: app_instance_child <program path> <registry file> <count>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "app/app_host.h"
#include "app/logging.h"
#include "app/main_frame.h"
#include "app/vexo_app.h"
#include "platform/window_table.h"

int main(int argc, char** argv)
{
    if (argc != 4)
        return 2;
    platform::SetUiThread();
    CVexoApp app(argv[1], platform::Registry(argv[2]));
    CAppHost host;
    if (!app.InitInstance(host))
        return 3;
    const int count = std::atoi(argv[3]);
    const std::string tag = std::to_string(static_cast<long>(getpid()));
    for (int i = 0; i < count; ++i) {
        WriteLogLine("instance " + tag + " line " + std::to_string(i), MAIN_LOG_FILE);
        CTransferRecord record;
        record.csFileName = "file-" + tag + "-" + std::to_string(i);
        if (!app.MainFrame()->m_database.InsertRecord(ETransferTable::Transfers, record))
            return 4;
    }
    return app.ExitInstance(0);
}
