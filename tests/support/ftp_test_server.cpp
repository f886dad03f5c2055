#include "support/ftp_test_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

extern char** environ;

namespace testsupport {

namespace {

std::string ScriptPath()
{
#ifdef KORVALO_FTP_SERVER_SCRIPT
    return KORVALO_FTP_SERVER_SCRIPT;
#else
    // tests/support/ -> tests/integration/servers/ (CMake compiles with absolute paths)
    return (std::filesystem::path(__FILE__).parent_path().parent_path() / "integration" / "servers" /
            "ftp-server.sh")
        .string();
#endif
}

bool KnownServer(const std::string& name) { return name == "vsftpd" || name == "pure-ftpd" || name == "proftpd"; }

std::string ReadSmallFile(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

int ReadNumber(const std::string& path)
{
    try {
        return std::stoi(ReadSmallFile(path));
    } catch (...) {
        return 0;
    }
}

struct ProcInfo {
    int pid = 0;
    int ppid = 0;
    int group = 0;
    char state = '?';
};

// Every process in /proc that could be read.
std::vector<ProcInfo> AllProcesses()
{
    std::vector<ProcInfo> result;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string stat = ReadSmallFile("/proc/" + name + "/stat");
        // "pid (comm) state ppid pgrp ...": comm may hold spaces and parentheses.
        std::size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream rest(stat.substr(close + 1));
        ProcInfo info;
        info.pid = std::stoi(name);
        if (rest >> info.state >> info.ppid >> info.group)
            result.push_back(info);
    }
    return result;
}

}  // namespace

bool ProcessAlive(int pid)
{
    std::string stat = ReadSmallFile("/proc/" + std::to_string(pid) + "/stat");
    std::size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z' && stat[close + 2] != 'X';
}

FtpTestServer::~FtpTestServer() { Stop(); }

bool FtpTestServer::Available(const std::string& name) { return WhyUnavailable(name).empty(); }

std::string FtpTestServer::WhyUnavailable(const std::string& name)
{
    if (!KnownServer(name))
        return "unknown FTP server \"" + name + "\" (vsftpd, pure-ftpd or proftpd)";
    const char* ci = std::getenv("CI");
    if (::geteuid() != 0 && !(ci && *ci))
        return "the FTP servers run only as root (they bind copies of /etc/passwd and /etc/shadow in a "
               "mount namespace of their own)";
    return "";
}

std::string FtpTestServer::Setting(const std::string& key, const std::string& fallback) const
{
    auto it = m_settings.find(key);
    return it == m_settings.end() ? fallback : it->second;
}

std::string FtpTestServer::User() const { return Setting("FTP_USER", "tester"); }
std::string FtpTestServer::Password() const { return Setting("FTP_PASS", "secret"); }
std::string FtpTestServer::CertFile() const { return m_tls && !m_state.empty() ? m_state + "/cert.pem" : ""; }

bool FtpTestServer::Start(const std::string& name, const std::string& root, bool tls, bool tlsRequired)
{
    Stop();
    m_output.clear();
    if (!KnownServer(name)) {
        m_output = WhyUnavailable(name);
        return false;
    }
    std::string pattern = (std::filesystem::temp_directory_path() / ("korvalo-ftp-" + name + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) {
        m_output = "mkdtemp failed";
        return false;
    }
    m_name = name;
    m_state = pattern;
    m_tls = tls;
    m_settings["ROOT"] = root;
    m_settings["TLS"] = !tls ? "off" : tlsRequired ? "required" : "on";

    // The first start of a server may fetch it with apt-get.
    int status = RunScript("start", 240);
    int port = ReadNumber(m_state + "/port");
    int group = ReadNumber(m_state + "/pid");
    if (status != 0 || port <= 0 || group <= 0) {
        m_group = group;
        Stop();   // appends what the stop printed, if anything
        if (status == 0)
            m_output += "\nftp-server.sh left no port or pid in its state folder";
        return false;
    }
    m_port = port;
    m_group = group;
    return true;
}

void FtpTestServer::Stop()
{
    if (m_state.empty())
        return;
    if (RunScript("stop", 30) != 0 && m_group > 0)
        ::kill(-m_group, SIGKILL);   // last resort; the script has said why in Output()
    std::error_code ignored;
    std::filesystem::remove_all(m_state, ignored);
    m_state.clear();
    m_port = 0;
    m_group = 0;
}

std::vector<int> FtpTestServer::Processes() const
{
    std::vector<int> result;
    if (m_group <= 0)
        return result;
    std::vector<ProcInfo> all = AllProcesses();
    std::set<int> mine;
    for (const ProcInfo& p : all)
        if (p.group == m_group)
            mine.insert(p.pid);
    // Descendants too: vsftpd gives each session a process group of its own.
    for (bool grew = true; grew;) {
        grew = false;
        for (const ProcInfo& p : all)
            if (!mine.count(p.pid) && mine.count(p.ppid)) {
                mine.insert(p.pid);
                grew = true;
            }
    }
    for (const ProcInfo& p : all)
        if (mine.count(p.pid) && p.state != 'Z' && p.state != 'X')
            result.push_back(p.pid);
    return result;
}

// Runs "ftp-server.sh command name state" with the settings in its environment, its
// output (stdout and stderr) appended to m_output. Returns its exit status, or -1 when it
// could not run or was killed after timeoutSeconds.
int FtpTestServer::RunScript(const std::string& command, int timeoutSeconds)
{
    std::map<std::string, std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        std::size_t eq = entry.find('=');
        if (eq != std::string::npos)
            env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    env["OWNER_PID"] = std::to_string(::getpid());
    for (const auto& [key, value] : m_settings)
        env[key] = value;
    std::vector<std::string> envStrings;
    for (const auto& [key, value] : env)
        envStrings.push_back(key + "=" + value);
    std::vector<char*> envp;
    for (std::string& s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);

    std::string script = ScriptPath();
    std::string bash = "/bin/bash";
    std::vector<std::string> args = {bash, script, command, m_name, m_state};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        m_output += "pipe2 failed\n";
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    // No descriptor of the test (sockets, files) may live on in a server.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigaddset(&signals, SIGPIPE);   // the test ignores SIGPIPE; the script should not
    posix_spawnattr_setsigdefault(&attributes, &signals);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    pid_t pid = -1;
    int spawnError = ::posix_spawn(&pid, bash.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(pipeFds[1]);
    if (spawnError != 0) {
        ::close(pipeFds[0]);
        m_output += "cannot run " + bash + ": " + std::strerror(spawnError) + "\n";
        return -1;
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    auto msLeft = [&] {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        return static_cast<int>(std::max<long long>(0, left.count()));
    };
    bool timedOut = false;
    char buffer[4096];
    for (;;) {
        pollfd entry{pipeFds[0], POLLIN, 0};
        int ready = ::poll(&entry, 1, msLeft());
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            timedOut = true;
            break;
        }
        ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        m_output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipeFds[0]);

    int status = 0;
    for (;;) {
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (done < 0 && errno == EINTR)
            continue;
        if (done < 0) {
            m_output += std::string("waitpid failed: ") + std::strerror(errno) + "\n";
            return -1;
        }
        if (timedOut || msLeft() == 0) {
            // Out of time: end the script's process group and reap it.
            ::kill(-pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            timedOut = true;
            break;
        }
        ::usleep(10000);
    }
    if (timedOut) {
        m_output += "\nftp-server.sh " + command + " " + m_name + " did not finish within " +
                    std::to_string(timeoutSeconds) + " s\n";
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace testsupport
