// The local side, each beside the system tool in the same run:
//   listing a folder of N files through the file protocol, and `ls -l` of it;
//   copying one file of M MiB through a file-client worker, and `cp`.
//
//   bench_local [files, default 100000] [MiB, default 1024]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/app_host.h"
#include "app/main_frame.h"
#include "app/vexo_app.h"
#include "engine/file_client.h"
#include "net/messages.h"
#include "platform/window_table.h"

namespace fs = std::filesystem;

namespace {

struct Sample {
    double seconds = 0;
    double cpuSeconds = 0;
};

double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

double Cpu(int who)
{
    rusage usage{};
    ::getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

Sample RunCommand(const std::string& command)
{
    double start = Now(), cpu = Cpu(RUSAGE_CHILDREN);
    if (std::system(command.c_str()) != 0)
        std::fprintf(stderr, "failed: %s\n", command.c_str());
    return {Now() - start, Cpu(RUSAGE_CHILDREN) - cpu};
}

template <class Work>
Sample Measure(Work work)
{
    double start = Now(), cpu = Cpu(RUSAGE_SELF);
    work();
    return {Now() - start, Cpu(RUSAGE_SELF) - cpu};
}

// Lets every job start, so the copy runs without a transfers list.
class AllowAll : public platform::WindowTarget {
public:
    platform::LRESULT WindowProc(platform::Message& msg) override
    {
        if (msg.message == WM_TRANSFERS_UPDATE && msg.lParam == TRANSFER_EVENT_COMPLETE)
            complete = true;
        return msg.message == WM_TRANSFERS_UPDATE ? 1 : -1;
    }
    bool complete = false;
};

void Report(const char* name, const Sample& sample, double units, const char* unit)
{
    std::printf("%-28s %8.3f s  %10.0f %s/s  %6.2f CPU s\n", name, sample.seconds, units / sample.seconds, unit,
                sample.cpuSeconds);
}

}  // namespace

int main(int argc, char** argv)
{
    const long files = argc > 1 ? std::atol(argv[1]) : 100000;
    const long mib = argc > 2 ? std::atol(argv[2]) : 1024;
    const fs::path folder = fs::temp_directory_path() / ("korvalo-bench-local-" + std::to_string(::getpid()));
    fs::create_directories(folder / "many");
    for (long i = 0; i < files; ++i)
        std::ofstream(folder / "many" / ("file number " + std::to_string(i) + ".txt")) << i;

    CFileProtocol protocol;
    protocol.ListLocalFolder((folder / "many").string());   // warm the cache like ls below
    Report("list: korvalo", Measure([&] { protocol.ListLocalFolder((folder / "many").string()); }),
           static_cast<double>(files), "entries");
    Report("list: ls -l", RunCommand("ls -l '" + (folder / "many").string() + "' > /dev/null"),
           static_cast<double>(files), "entries");

    {
        std::vector<char> block(1 << 20);
        for (std::size_t i = 0; i < block.size(); ++i)
            block[i] = static_cast<char>(i * 2654435761u >> 13);
        std::ofstream out(folder / "big.bin", std::ios::binary);
        for (long i = 0; i < mib; ++i)
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    platform::SetUiThread();
    CVexoApp app((folder / "korvalo").string(), platform::Registry((folder / "registry").string()));
    CAppHost host;
    if (!app.InitInstance(host))
        return 1;
    AllowAll list;
    app.m_hwndTransfers = platform::RegisterWindow(&list);
    CTransferRecord job;
    job.csProtocol = job.csDestinProtocol = "FILE";
    job.FtpAttributes = "-";
    job.csFileName = "big.bin";
    job.csFolder = folder.string() + "/";
    job.csFullFromAddress = (folder / "big.bin").string();
    job.csDownloadTo = job.csRealDownloadTo = (folder / "copy").string() + "/";
    job.qwFileSize = fs::file_size(folder / "big.bin");
    const double bytes = static_cast<double>(job.qwFileSize) / 1e6;
    Report("copy: korvalo", Measure([&] {
               platform::Message resume;
               resume.message = WM_RESUME_REQUEST;
               resume.lParam = 1;
               resume.payload = std::make_unique<CTransferRecord>(job);
               platform::SendMessage(app.MainFrame()->m_hWnd, resume);
               while (!list.complete) {
                   platform::WaitForUiWork(10);
                   platform::DispatchPendingSends();
               }
           }),
           bytes, "MB");
    Report("copy: cp", RunCommand("cp '" + (folder / "big.bin").string() + "' '" + (folder / "cp.bin").string() + "'"),
           bytes, "MB");
    for (int i = 0; i < 100; ++i) {   // let the worker finish its hand-back before the frame goes
        platform::WaitForUiWork(10);
        platform::DispatchPendingSends();
    }
    platform::UnregisterWindow(app.m_hwndTransfers);
    app.ExitInstance(0);
    fs::remove_all(folder);
    return 0;
}
