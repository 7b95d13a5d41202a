#pragma once

#include <cstdint>
#include <memory>

struct socket;

namespace rtc::impl {

class SctpTransport;

// The process-wide usrsctp library, initialised while at least one SctpTransport exists.
//
// usrsctp runs with usrsctp_init_nothreads: every entry into it happens on our threads (the lower
// transport's delivery thread, callers of send(), and the TimerThread, which drives its timers
// every 10 ms). Compared with usrsctp's own timer and receive threads this gives two guarantees the
// layer relies on: no usrsctp callback can arrive on a thread we do not know about after a
// transport went away, and usrsctp_finish never races a usrsctp thread, because the only thread that
// runs timers is the one that finishes the library.
//
// usrsctp identifies an association's lower layer by an opaque address. We hand it a numeric id
// that is never reused, and the callbacks look the transport up by id, so a packet or notification
// for a transport that is already gone is simply dropped.
//
// Once the last transport is gone the library is finished (usrsctp_finish, which also ends
// usrsctp's iterator thread) after a short delay, or at process exit if that comes first.
class UsrsctpLibrary {
public:
    // Takes a reference on the library (initialising it when needed) and reserves an id.
    static std::uintptr_t acquire();
    // Makes the id resolve to the transport.
    static void attach(std::uintptr_t id, std::weak_ptr<SctpTransport> transport);
    static std::shared_ptr<SctpTransport> find(std::uintptr_t id);
    // Forgets the id now; closes the socket (if any), deregisters the address and drops the
    // reference later on the TimerThread, outside any usrsctp callback.
    static void release(std::uintptr_t id, struct socket* socket);

    // For tests: whether the library is currently initialised.
    static bool initialised();
};

} // namespace rtc::impl
