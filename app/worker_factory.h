#pragma once
// What the main frame and its transfer workers share: the kinds of worker the frame
// starts, the factory through which it starts them, and the criteria a worker sends
// when it asks for more work on the server it is connected to.
//
// It names no worker class: the frame does not depend on the workers, and a worker
// can include it without pulling in the frame.

#include <functional>
#include <optional>
#include <string>

#include "platform/message.h"
#include "platform/thread.h"

class CTransferRecord;

enum class EWorkerKind { FtpClient, FileClient };

// Starts a worker of the given kind whose main window is mainWindow (BeginWorkerThread
// with the kind's class fits). An empty StartedThread when no thread could be started.
using CWorkerFactory = std::function<platform::StartedThread(EWorkerKind kind, platform::HWND mainWindow)>;

// The kind of worker that runs the record: FTP when either side's protocol contains
// "FTP", the local file client when both are "FILE"; none for anything else (HTTP and
// peer downloads are started elsewhere).
std::optional<EWorkerKind> WorkerKindFor(const CTransferRecord& record);

// The payload of WM_GET_QUEUED_TRANSFER: the server a worker holds a connection to and
// the login it used. The message is sent, so the object stays the sender's.
class CServerCriteria : public platform::MessagePayload {
public:
    CServerCriteria() = default;
    CServerCriteria(std::string hostAddress, std::string hostPort, std::string user, std::string password);

    // Same host and port, and the login equals either the record's destination login
    // (csUser, csPassword) or its source login (csUserSource, csPasswordSource).
    bool Matches(const CTransferRecord& record) const;

    std::string m_csHostAddress;
    std::string m_csHostPort;
    std::string m_csUser;
    std::string m_csPassword;
};
