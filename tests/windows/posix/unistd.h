#pragma once
// The server closes only sockets through close().
#include <sys/socket.h>

static inline int close(int descriptor) {
    return closesocket(static_cast<SOCKET>(descriptor));
}
