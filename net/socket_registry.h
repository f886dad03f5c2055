#pragma once
// The process-wide socket registry: every socket of the program is created, shut down
// and closed here, under the mutex "EndThread". Closing writes "Close socket hSocket=%i"
// to the main log, so "EndThread" is always taken before "Logs Mutex".

#include <cstdint>

// A socket's key: its descriptor in the low 32 bits and a number that is never reused in
// the high ones, so a key that outlived its socket never reaches another socket that
// got the same descriptor later.
using SOCKET = std::int64_t;
inline constexpr SOCKET INVALID_SOCKET = -1;

inline int SocketFd(SOCKET socket) { return static_cast<int>(socket & 0xFFFFFFFF); }
inline constexpr int SD_RECEIVE = 0;
inline constexpr int SD_SEND = 1;
inline constexpr int SD_BOTH = 2;

// A new socket (close-on-exec), or INVALID_SOCKET.
SOCKET CreateSocket(int family, int type, int protocol);
// 0 on success or when already shut down; -1 for an unknown socket or a failure.
int ShutdownSocket(SOCKET socket, int mode);
// 0 on success; -1 for an unknown socket (a second close is harmless and logs nothing).
int CloseSocket(SOCKET socket);
// Whether the registry knows the socket (it was created here and not closed yet).
bool IsRegisteredSocket(SOCKET socket);
