#include "ftp/fake_ftp_server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <future>

namespace testsupport {

FakeFtpServer::FakeFtpServer(FakeFtpScript script, int connections) : m_script(std::move(script))
{
    m_control = std::make_unique<FakeTcpServer>([this](int client) { Session(client); }, connections);
}

FakeFtpServer::~FakeFtpServer() { m_control.reset(); }

std::vector<std::string> FakeFtpServer::Commands() const
{
    std::lock_guard lock(m_lock);
    return m_commands;
}

std::string FakeFtpServer::Stored() const
{
    std::lock_guard lock(m_lock);
    return m_stored;
}

int FakeFtpServer::IndexOf(const std::string& prefix) const
{
    std::vector<std::string> commands = Commands();
    for (std::size_t i = 0; i < commands.size(); ++i)
        if (commands[i].rfind(prefix, 0) == 0)
            return static_cast<int>(i);
    return -1;
}

void FakeFtpServer::Session(int client)
{
    SendAll(client, m_script.greeting);
    std::unique_ptr<FakeTcpServer> data;
    std::promise<int> accepted;
    std::future<int> dataSocket;
    std::uint64_t offset = 0;
    for (;;) {
        std::string line = ReceiveLine(client, 10000);
        if (line.empty())
            break;
        {
            std::lock_guard lock(m_lock);
            m_commands.push_back(line.substr(0, line.find("\r\n")));
        }
        std::string verb = line.substr(0, line.find_first_of(" \r"));
        std::transform(verb.begin(), verb.end(), verb.begin(), [](unsigned char c) { return std::toupper(c); });
        std::string reply = m_script.handler ? m_script.handler(line) : "";
        if (reply.empty()) {
            auto scripted = m_script.replies.find(verb);
            if (scripted != m_script.replies.end())
                reply = scripted->second;
        }
        if (verb == "PASV" && reply.empty()) {
            data.reset();
            accepted = std::promise<int>();
            dataSocket = accepted.get_future();
            auto* promise = &accepted;
            // The data session hands its socket over and waits until the control side is done.
            data = std::make_unique<FakeTcpServer>(
                [promise](int socket) {
                    int copy = ::dup(socket);
                    promise->set_value(copy);
                },
                1);
            const int port = data->Port();
            std::string numbers = m_script.pasvAddress + "," + std::to_string(port / 256) + "," +
                                  std::to_string(port % 256);
            reply = m_script.pasvParentheses ? "227 Entering Passive Mode (" + numbers + ").\r\n"
                                             : "227 Entering Passive Mode " + numbers + "\r\n";
        }
        if (verb == "REST" && reply.empty()) {
            offset = std::stoull(line.substr(5));
            reply = "350 Restarting\r\n";
        }
        const bool transfer = verb == "LIST" || verb == "RETR" || verb == "STOR";
        if (transfer && reply.empty() && dataSocket.valid()) {
            if (dataSocket.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
                SendAll(client, "425 No data connection\r\n");
                continue;
            }
            int socket = dataSocket.get();
            SendAll(client, m_script.preliminary);
            if (verb == "LIST") {
                SendAll(socket, m_script.listing);
            } else if (verb == "RETR") {
                SendAll(socket, m_script.fileData.substr(std::min<std::size_t>(offset, m_script.fileData.size())));
            } else {
                std::string got = ReceiveUntilClosed(socket, 10000);
                std::lock_guard lock(m_lock);
                m_stored = got;
            }
            offset = 0;
            ::shutdown(socket, SHUT_RDWR);
            ::close(socket);
            data.reset();
            if (!m_script.silentAfterData)
                SendAll(client, m_script.closing);
            continue;
        }
        if (reply.empty()) {
            static const std::map<std::string, std::string> defaults = {
                {"USER", "331 Password required\r\n"}, {"PASS", "230 Logged in\r\n"},
                {"TYPE", "200 Type set\r\n"},          {"PWD", "257 \"/\" is the current directory\r\n"},
                {"CWD", "250 OK\r\n"},                 {"CDUP", "250 OK\r\n"},
                {"MKD", "257 Created\r\n"},            {"DELE", "250 Deleted\r\n"},
                {"RMD", "250 Removed\r\n"},            {"PBSZ", "200 PBSZ=0\r\n"},
                {"PROT", "200 Protection set\r\n"},    {"QUIT", "221 Goodbye\r\n"},
            };
            auto known = defaults.find(verb);
            reply = known != defaults.end() ? known->second : "500 Unknown command\r\n";
        }
        SendAll(client, reply);
        if (verb == "QUIT" || reply.rfind("421", 0) == 0)
            break;
    }
    data.reset();
}

}  // namespace testsupport
