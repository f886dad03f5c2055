// Pumps one file over loopback into a local file, plain and through TLS, with the
// program's data pump and with curl from the same server in the same run. Prints the
// median throughput and CPU time of each.
//
//   bench_pump [size in MiB, default 1024] [rounds, default 3]
//
// Plain: a forked HTTP server that sends the file with sendfile(). TLS: openssl s_server -WWW.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/vexo_app.h"
#include "net/data_pump.h"
#include "platform/thread.h"
#include "platform/window_table.h"

namespace fs = std::filesystem;

namespace {

struct Sample {
    double seconds = 0;
    double cpuSeconds = 0;
};

double CpuOf(const rusage& usage)
{
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int Listen(int& port)
{
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    int yes = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, 8);
    socklen_t size = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
    return listener;
}

// A forked HTTP server that answers every request with the file.
pid_t StartPlainServer(const std::string& file, int& port)
{
    int listener = Listen(port);
    pid_t pid = ::fork();
    if (pid != 0) {
        ::close(listener);
        return pid;
    }
    const off_t size = static_cast<off_t>(fs::file_size(file));
    for (;;) {
        int client = ::accept(listener, nullptr, nullptr);
        if (client < 0)
            continue;
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            request.append(buffer, static_cast<std::size_t>(n));
        }
        std::string header = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) +
                             "\r\nConnection: close\r\n\r\n";
        ::send(client, header.data(), header.size(), MSG_NOSIGNAL);
        int fd = ::open(file.c_str(), O_RDONLY);
        off_t offset = 0;
        while (offset < size && ::sendfile(client, fd, &offset, static_cast<std::size_t>(size - offset)) > 0) {
        }
        ::close(fd);
        ::shutdown(client, SHUT_WR);
        ::recv(client, buffer, sizeof buffer, 0);
        ::close(client);
    }
}

pid_t StartTlsServer(const std::string& folder, int& port)
{
    int probe = Listen(port);
    ::close(probe);
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(folder.c_str()) != 0)
            _exit(127);
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        const std::string accept = "127.0.0.1:" + std::to_string(port);
        ::execlp("openssl", "openssl", "s_server", "-quiet", "-WWW", "-accept", accept.c_str(), "-cert", "cert.pem",
                 "-key", "key.pem", static_cast<char*>(nullptr));
        _exit(127);
    }
    ::usleep(500000);
    return pid;
}

Sample RunCurl(const std::vector<std::string>& arguments)
{
    std::vector<char*> argv;
    for (const std::string& a : arguments)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    double start = Now();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    return {Now() - start, CpuOf(usage)};
}

class NullFrame : public platform::WindowTarget {
public:
    platform::LRESULT WindowProc(platform::Message&) override { return 0; }
};

// Fetches the file with the program's connection and data pump.
Sample RunPump(int port, bool tls, const std::string& destination, std::uint64_t size, platform::HWND frame)
{
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    double start = Now();
    CCommandConnection connection;
    connection.m_pMainWnd = frame;
    SOCKET socket = INVALID_SOCKET;
    if (!connection.Connect1("127.0.0.1", port, socket, 10000, tls)) {
        std::fprintf(stderr, "connect failed: %s\n", connection.m_csError.c_str());
        return {};
    }
    std::string request = "GET /bench.bin HTTP/1.0\r\n\r\n", header;
    std::size_t length = request.size();
    connection.SendAndWait(socket, request.data(), length);
    if (!connection.ReadString(socket, header, "\r\n\r\n", 10000)) {
        std::fprintf(stderr, "no header: %s\n", connection.m_csError.c_str());
        return {};
    }
    CTransferRecord record;
    record.csDownloadTo = fs::path(destination).parent_path().string() + "/";
    record.csFileName = fs::path(destination).filename().string();
    record.qwFileSize = size;
    record.m_nSocketKey = socket;
    record.m_dwWorkerThreadId = platform::CurrentThreadId();
    TransferFileData(record, connection);
    double seconds = Now() - start;
    ::getrusage(RUSAGE_SELF, &after);
    // The progress posts went to this thread's queue; drop them.
    platform::Message msg;
    bool quit = false;
    while (platform::GetMessageTimeout(msg, 0, quit)) {
    }
    return {seconds, CpuOf(after) - CpuOf(before)};
}

Sample Median(std::vector<Sample> samples)
{
    std::sort(samples.begin(), samples.end(), [](const Sample& a, const Sample& b) { return a.seconds < b.seconds; });
    return samples[samples.size() / 2];
}

void Report(const char* name, const Sample& sample, std::uint64_t size, std::uint64_t received)
{
    std::printf("%-22s %8.0f MB/s  %6.2f CPU s  %s\n", name, static_cast<double>(size) / sample.seconds / 1e6,
                sample.cpuSeconds, received == size ? "" : "(INCOMPLETE)");
}

}  // namespace

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    const std::uint64_t size = (argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024) << 20;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;

    const fs::path folder = fs::temp_directory_path() / ("korvalo-bench-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    const std::string source = (folder / "bench.bin").string();
    {
        std::vector<char> block(1 << 20);
        for (std::size_t i = 0; i < block.size(); ++i)
            block[i] = static_cast<char>(i * 2654435761u >> 13);
        FILE* out = std::fopen(source.c_str(), "wb");
        for (std::uint64_t done = 0; done < size; done += block.size())
            std::fwrite(block.data(), 1, block.size(), out);
        std::fclose(out);
    }
    const std::string certCommand = "cd '" + folder.string() +
                                    "' && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                                    "-subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1 "
                                    "-days 2 -keyout key.pem -out cert.pem 2>/dev/null";
    if (std::system(certCommand.c_str()) != 0)
        return 1;

    CVexoApp app{(folder / "korvalo").string(), platform::Registry((folder / "registry").string())};
    platform::SetUiThread();
    platform::ThreadQueueScope queue;
    NullFrame frame;
    platform::HWND frameWindow = platform::RegisterWindow(&frame);
    CTlsSettings::AddCaFile((folder / "cert.pem").string());

    int plainPort = 0, tlsPort = 0;
    pid_t plainServer = StartPlainServer(source, plainPort);
    pid_t tlsServer = StartTlsServer(folder.string(), tlsPort);
    const std::string out = (folder / "out.bin").string();
    std::printf("%llu MiB over loopback, median of %d rounds\n", static_cast<unsigned long long>(size >> 20), rounds);

    struct Contender {
        const char* name;
        std::function<Sample()> run;
    };
    const std::string plainUrl = "http://127.0.0.1:" + std::to_string(plainPort) + "/bench.bin";
    const std::string tlsUrl = "https://127.0.0.1:" + std::to_string(tlsPort) + "/bench.bin";
    const std::string cert = (folder / "cert.pem").string();
    const Contender contenders[] = {
        {"korvalo plain", [&] { return RunPump(plainPort, false, out, size, frameWindow); }},
        {"curl plain", [&] { return RunCurl({"curl", "-s", "-o", out, plainUrl}); }},
        {"korvalo TLS", [&] { return RunPump(tlsPort, true, out, size, frameWindow); }},
        {"curl TLS", [&] { return RunCurl({"curl", "-s", "--cacert", cert, "-o", out, tlsUrl}); }},
    };
    for (const Contender& contender : contenders) {
        std::vector<Sample> samples;
        std::uint64_t received = 0;
        for (int r = 0; r < rounds; ++r) {
            fs::remove(out);
            samples.push_back(contender.run());
            std::error_code error;
            received = fs::file_size(out, error);
        }
        Report(contender.name, Median(samples), size, received);
    }
    ::kill(plainServer, SIGKILL);
    ::kill(tlsServer, SIGTERM);
    ::waitpid(plainServer, nullptr, 0);
    ::waitpid(tlsServer, nullptr, 0);
    platform::UnregisterWindow(frameWindow);
    fs::remove_all(folder);
    return 0;
}
