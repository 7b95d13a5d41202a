#pragma once
// The host's side of remote input: applies the viewer's input messages to the desktop through an
// InputSink and remembers every key and button it pressed, so that it can let go of all of them
// on a "release" message, when the viewer has been silent for 750 ms, when input is switched off
// or re-targeted, and when an injection fails.
//
// Time: every reading comes from the clock given at construction, which must be the Controller's
// own (Platform::clock, nanoseconds of a monotonic clock). apply, expire and the watchdog all
// read it, so a message's acceptance time and the silence check can never come from two
// different clocks. Tests pass a clock they advance by hand.
//
// Threads: any thread may call the operations (the Controller's worker does). A watchdog thread
// of the injector's own runs the silence check every 25 ms of real time, so held input is let go
// even while the worker is busy. Every operation holds one recursive lock for its whole run, the
// sink is only called under it, and an expiry release never interleaves with an injection.
//
// Failures are ProtocolError with the system's own sentences. Invalid, unmapped, replayed or
// out-of-order messages never raise: apply returns false.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>

#include "input/InputMessage.hpp"
#include "input/InputSink.hpp"

namespace murel {

class InputInjector {
public:
    // Nanoseconds of a monotonic clock; the same type as the Controller's platform clock.
    using Clock = std::function<std::int64_t()>;

    // Starts disabled and starts the watchdog; throws std::system_error when the thread cannot
    // start, std::invalid_argument without a sink or clock.
    InputInjector(std::shared_ptr<InputSink> sink, Clock clock);
    // Stops the watchdog, then disables (releasing what is held; failures are ignored).
    ~InputInjector();

    InputInjector(const InputInjector&) = delete;
    InputInjector& operator=(const InputInjector&) = delete;

    // Disables (releasing everything, restarting the sequence checks), then accepts input for
    // the captured monitor at `desktopBounds` (virtual-desktop pixels). Call it whenever a host
    // session's media is set up. A failed release propagates and input stays off.
    void enable(DesktopRect desktopBounds);

    // Stops accepting input, releases everything held, forgets the sequences and the scroll
    // remainder. A failed release propagates after everything else is done.
    void disable();

    // One message received on `channel` (kControlChannel or kPointerChannel) that the stream
    // settings did not take. True when it was accepted and acted on. When injecting it fails,
    // input is switched off and everything released before the error propagates; it stays off
    // until the next enable.
    bool apply(std::string_view bytes, int channel);

    // The silence check: after 750 ms without an accepted message, releases everything (again on
    // every call until a message is accepted; that does nothing once nothing is held). Called on
    // every Controller tick; a failed release propagates.
    void expire();

    // Lets go of every held key (ascending key code), then every held button. What the system
    // refuses stays held for the next attempt, and "Windows blocked one or more input releases"
    // is thrown after trying all of them.
    void releaseAll();

    // Observation, for status and tests.
    bool enabled() const;
    std::set<int> heldKeys() const;
    std::set<int> heldButtons() const;
    double scrollRemainder() const;
    // Passes the watchdog has completed; tests wait on it to know a check has run.
    std::uint64_t watchdogPasses() const { return watchdogPasses_.load(); }

private:
    std::int64_t nowMs() const;
    void moveTo(double x, double y);
    void pressButton(int code, bool down);
    void pressKey(int code, bool down);
    void scroll(double delta);
    void typeText(std::string_view text);
    void act(const Json& message);
    void watchdogMain();

    std::shared_ptr<InputSink> sink_;
    Clock clock_;

    mutable std::recursive_mutex mutex_;
    bool enabled_ = false;
    DesktopRect desktopBounds_;
    InputSequenceState sequenceState_;
    std::set<int> heldKeys_;
    std::set<int> heldButtons_;
    double scrollRemainder_ = 0;

    std::mutex stopMutex_;
    std::condition_variable stopSignal_;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> watchdogPasses_{0};
    std::thread watchdog_;
};

}  // namespace murel
