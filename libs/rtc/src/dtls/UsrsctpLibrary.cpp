#include "UsrsctpLibrary.hpp"

#include "SctpTransport.hpp"
#include "TimerThread.hpp"

#include <usrsctp.h>

#include <chrono>
#include <map>
#include <mutex>

namespace rtc::impl {

namespace {

using namespace std::chrono_literals;

constexpr auto kTick = 10ms;
constexpr auto kFinishDelay = 2s;

struct Library {
    std::mutex mutex;
    std::size_t references = 0;
    bool initialised = false;
    bool ticking = false;
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

void tryFinish() {
    auto& lib = library();
    std::lock_guard lock(lib.mutex);
    if (lib.references > 0 || !lib.initialised)
        return;
    // Runs on the TimerThread, the only thread that also runs usrsctp timers.
    if (usrsctp_finish() == 0) {
        lib.initialised = false;
        lib.finishAttempts = 0;
        return;
    }
    // Something still lingers; its timers keep running. Try again later, but not forever.
    if (++lib.finishAttempts < 30)
        TimerThread::instance().scheduleAfter(1s, tryFinish);
}

} // namespace

std::uintptr_t UsrsctpLibrary::acquire() {
    auto& lib = library();
    std::lock_guard lock(lib.mutex);
    if (!lib.initialised) {
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
        lib.initialised = true;
        lib.finishAttempts = 0;
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
