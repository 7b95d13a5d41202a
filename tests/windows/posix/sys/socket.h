#pragma once
// Winsock under the POSIX names used by the shared loopback test server (tests/platform), so the
// same server runs inside the Windows test binaries. Only for that one translation unit.

#include <winsock2.h>
#include <ws2tcpip.h>

#ifndef SOCK_CLOEXEC
#define SOCK_CLOEXEC 0
#endif
#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0
#endif
#ifndef SHUT_RDWR
#define SHUT_RDWR SD_BOTH
#endif

// Winsock handles of this process are small numbers, so the server's int descriptors hold them.
static inline int accept4(int listener, sockaddr* address, socklen_t* length, int) {
    const SOCKET accepted = accept(static_cast<SOCKET>(listener), address, length);
    return accepted == INVALID_SOCKET ? -1 : static_cast<int>(accepted);
}
