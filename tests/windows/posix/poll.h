#pragma once
#include <sys/socket.h>

static inline int poll(pollfd* descriptors, unsigned long count, int timeoutMs) {
    return WSAPoll(descriptors, count, timeoutMs);
}
