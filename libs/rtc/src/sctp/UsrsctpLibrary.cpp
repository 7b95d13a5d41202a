#include "sctp/UsrsctpLibrary.hpp"

#include "sctp/SctpTransport.hpp"
#include "common/TimerThread.hpp"

#include <usrsctp.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <map>
#include <mutex>

namespace rtc::impl {

namespace {

using namespace std::chrono_literals;

constexpr auto kTick = 10ms;
constexpr auto kFinishDelay = 2s;
constexpr auto kFinishRetry = 1s;
constexpr unsigned kFinishAttempts = 30;

// Lock order: usrsctp calls our callbacks (which take `mutex` through find()) with its own locks
// held, so `mutex` is never held while calling into usrsctp. Initialising and finishing the
// library happen outside it; `changing` keeps other threads out meanwhile.
struct Library {
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t references = 0;
    bool initialised = false;
    bool changing = false;  // usrsctp_init or usrsctp_finish in progress, outside the lock
    bool ticking = false;
    bool exitHook = false;
    std::uintptr_t nextId = 1;
    std::map<std::uintptr_t, std::weak_ptr<SctpTransport>> transports;
    TimerThread::Clock::time_point lastTick;
    unsigned finishAttempts = 0;
};

Library& library() {
    // Never destroyed: usrsctp callbacks and timer ticks may still look it up while the process
    // exits, after static destructors ran.
    static Library* const state = new Library;
    return *state;
}

int connOutput(void* address, void* buffer, std::size_t length, std::uint8_t /*tos*/,
               std::uint8_t /*setDf*/) {
    auto transport = UsrsctpLibrary::find(reinterpret_cast<std::uintptr_t>(address));
    if (!transport)
        return -1;
    return transport->onOutgoingPacket(buffer, length);
}

void tick();

void scheduleTick() {
    TimerThread::instance().scheduleAfter(kTick, tick);
}

void tick() {
    auto& lib = library();
    std::uint32_t elapsed;
    {
        std::lock_guard lock(lib.mutex);
        if (!lib.initialised) {
            lib.ticking = false;
            return;
        }
        auto now = TimerThread::Clock::now();
        elapsed = static_cast<std::uint32_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(now - lib.lastTick).count());
        if (elapsed == 0) {
            scheduleTick();
            return;
        }
        lib.lastTick += std::chrono::milliseconds(elapsed);
    }
    // Outside the lock: timers may send packets and deliver notifications.
    usrsctp_handle_timers(elapsed);
    scheduleTick();
}

// Finishes the library when nothing holds it; false when usrsctp refused (an association lingers).
bool finishNow() {
    auto& lib = library();
    {
        std::lock_guard lock(lib.mutex);
        if (lib.references > 0 || !lib.initialised || lib.changing)
            return true;
        lib.changing = true;
    }
    // Runs on the TimerThread, the only thread that also runs usrsctp timers. With no reference
    // left no transport enters usrsctp, and acquire() waits for `changing` to clear. A successful
    // finish also ends usrsctp's own threads (the iterator).
    const bool finished = usrsctp_finish() == 0;
    {
        std::lock_guard lock(lib.mutex);
        lib.changing = false;
        if (finished) {
            lib.initialised = false;
            lib.finishAttempts = 0;
        }
    }
    lib.changed.notify_all();
    return finished;
}

void tryFinish() {
    if (finishNow())
        return;
    auto& lib = library();
    std::lock_guard lock(lib.mutex);
    // Its timers keep running meanwhile. Try again, but not forever.
    if (++lib.finishAttempts < kFinishAttempts)
        TimerThread::instance().scheduleAfter(kFinishRetry, tryFinish);
}

// Process exit: the TimerThread drops its pending tasks, the delayed tryFinish among them, which
// would leave usrsctp's iterator thread running. Registered after the TimerThread was created, so
// this runs while that thread still does.
void finishAtExit() {
    auto& timer = TimerThread::instance();
    if (timer.isCurrentThread()) {
        finishNow();
        return;
    }
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    // Queued after any pending release, so the last sockets are closed first.
    timer.post([done] {
        finishNow();
        done->set_value();
    });
    future.wait_for(kFinishDelay);
}

void initialiseUsrsctp() {
    usrsctp_init_nothreads(0, connOutput, nullptr);
    usrsctp_sysctl_set_sctp_ecn_enable(0);
    // WebRTC peers do not use SCTP AUTH or dynamic addresses.
    usrsctp_sysctl_set_sctp_asconf_enable(0);
    usrsctp_sysctl_set_sctp_auth_enable(0);
    usrsctp_sysctl_set_sctp_pr_enable(1);
    usrsctp_sysctl_set_sctp_reconfig_enable(1);
    usrsctp_sysctl_set_sctp_nrsack_enable(0);
    usrsctp_sysctl_set_sctp_enable_sack_immediately(1);
    // Bulk transfers queue many chunks; the default of 512 throttles them.
    usrsctp_sysctl_set_sctp_max_chunks_on_queue(10 * 1024);
    usrsctp_sysctl_set_sctp_delayed_sack_time_default(20);
    // Both ends start the association at about the same time; when their INITs cross, one
    // side can wait for a retransmission. RFC 9260's initial RTO of 1 s (not RFC 4960's 3 s)
    // bounds that wait, and a 200 ms minimum speeds up loss recovery on short paths.
    usrsctp_sysctl_set_sctp_rto_initial_default(1000);
    usrsctp_sysctl_set_sctp_rto_min_default(200);
    usrsctp_sysctl_set_sctp_rto_max_default(10000);
    usrsctp_sysctl_set_sctp_init_rto_max_default(10000);
}

} // namespace

std::uintptr_t UsrsctpLibrary::acquire() {
    auto& lib = library();
    std::unique_lock lock(lib.mutex);
    lib.changed.wait(lock, [&] { return !lib.changing; });
    if (!lib.exitHook) {
        lib.exitHook = true;
        TimerThread::instance();
        std::atexit(finishAtExit);
    }
    if (!lib.initialised) {
        lib.changing = true;
        lock.unlock();
        initialiseUsrsctp();
        lock.lock();
        lib.changing = false;
        lib.initialised = true;
        lib.finishAttempts = 0;
        lib.lastTick = TimerThread::Clock::now();  // a tick chain of the previous life may go on
        lib.changed.notify_all();
    }
    if (!lib.ticking) {
        lib.ticking = true;
        lib.lastTick = TimerThread::Clock::now();
        scheduleTick();
    }
    ++lib.references;
    return lib.nextId++;
}

void UsrsctpLibrary::attach(std::uintptr_t id, std::weak_ptr<SctpTransport> transport) {
    auto& lib = library();
    std::lock_guard lock(lib.mutex);
    lib.transports[id] = std::move(transport);
}

std::shared_ptr<SctpTransport> UsrsctpLibrary::find(std::uintptr_t id) {
    auto& lib = library();
    std::lock_guard lock(lib.mutex);
    auto it = lib.transports.find(id);
    return it == lib.transports.end() ? nullptr : it->second.lock();
}

void UsrsctpLibrary::release(std::uintptr_t id, struct socket* socket) {
    auto& lib = library();
    {
        std::lock_guard lock(lib.mutex);
        lib.transports.erase(id);
    }
    TimerThread::instance().post([id, socket] {
        if (socket)
            usrsctp_close(socket);
        usrsctp_deregister_address(reinterpret_cast<void*>(id));
        auto& lib = library();
        std::lock_guard lock(lib.mutex);
        if (--lib.references == 0)
            TimerThread::instance().scheduleAfter(kFinishDelay, tryFinish);
    });
}

bool UsrsctpLibrary::initialised() {
    auto& lib = library();
    std::lock_guard lock(lib.mutex);
    return lib.initialised;
}

} // namespace rtc::impl
