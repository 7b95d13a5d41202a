#pragma once

#include "sctp/DataChannel.hpp"
#include "sctp/Dcep.hpp"
#include "common/SafeCallback.hpp"
#include "common/Transport.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

struct socket;

namespace rtc::impl {

// SCTP (usrsctp, AF_CONN) over a datagram Transport, normally a connected DtlsTransport, carrying
// WebRTC data channels: DCEP open/ack, string/binary/empty payloads, partial reliability, stream
// reset on close, max-message-size enforcement and buffered-amount tracking.
//
// Threads: public calls from any thread. Incoming packets are processed on the lower transport's
// thread, SCTP timers on the TimerThread; channel and transport callbacks run there without any
// lock of this object held. Destruction is safe from any thread, also from inside a callback:
// the usrsctp socket is torn down later on the TimerThread.
//
// The lower transport's receive callback belongs to this object once start() ran. Its state is
// not watched: the owner calls stop() when the lower transport closes or fails.
class SctpTransport : public std::enable_shared_from_this<SctpTransport> {
public:
    using State = Transport::State;

    struct Options {
        // The DTLS client uses even stream ids, the server odd ones (RFC 8832).
        bool dtlsClient = true;
        std::uint16_t localPort = 5000;
        std::uint16_t remotePort = 5000;
        // What we announce (a=max-message-size) and accept; larger arriving messages are dropped
        // with an error on their channel.
        std::size_t localMaxMessageSize = 262144;
        // What the peer announced; larger messages are refused by send(). 65536 when the peer
        // announced nothing.
        std::size_t remoteMaxMessageSize = 262144;
        // Largest SCTP packet handed to the lower transport (the DTLS payload size).
        std::size_t mtu = 1130;
        // Bound of the data accepted by send() and not yet taken by SCTP, all channels together.
        std::size_t maxBufferedBytes = 16 * 1024 * 1024;
        // Streams negotiated in each direction (and so the number of channels).
        std::uint16_t maxStreams = 1024;
    };

    static std::shared_ptr<SctpTransport> create(std::shared_ptr<Transport> lower, Options options);

    ~SctpTransport();
    SctpTransport(const SctpTransport&) = delete;
    SctpTransport& operator=(const SctpTransport&) = delete;

    // Binds to the lower transport and starts the association (both ends connect; SCTP resolves
    // the simultaneous open). Call it once the lower transport is connected.
    void start();
    // Closes every channel and aborts the association. Idempotent.
    void stop();

    State state() const { return mState.load(); }
    std::string error() const;

    // A locally opened channel. Without `stream` the next free id of our parity is taken and DCEP
    // announces the channel; with it the channel is pre-negotiated (no DCEP) on that id.
    // Throws std::runtime_error when no stream id is free or the transport is closed, and
    // std::invalid_argument for a bad stream id or both reliability limits at once.
    std::shared_ptr<DataChannel> createChannel(std::string label, std::string protocol = {},
                                               ChannelReliability reliability = {},
                                               std::optional<std::uint16_t> stream = {});

    // A channel opened by the peer, before its onOpen.
    void onChannel(std::function<void(std::shared_ptr<DataChannel>)> callback);
    void onStateChange(std::function<void(State)> callback);
    void resetCallbacks();

    std::size_t channelCount() const;
    const Options& options() const { return mOptions; }

    // For DataChannel.
    bool sendMessage(const std::shared_ptr<DataChannel>& channel, const Message& message);
    void closeChannel(const std::shared_ptr<DataChannel>& channel);

    // For the usrsctp glue.
    int onOutgoingPacket(const void* data, std::size_t length);
    void onReceived(const void* data, std::size_t length, std::uint16_t stream, std::uint32_t ppid,
                    int flags);
    void onSendReady();

    struct Token {};
    SctpTransport(Token, std::shared_ptr<Transport> lower, Options options);

private:
    // Takes every channel and drops queued and half-reassembled data; the caller holds mMutex.
    std::vector<std::shared_ptr<DataChannel>> releaseChannelsLocked();
    static void closeChannels(const std::vector<std::shared_ptr<DataChannel>>& channels);
    struct Outgoing {
        std::uint16_t stream;
        Ppid ppid;
        std::vector<std::byte> bytes;
        bool unordered;
        ChannelReliability reliability;
        std::weak_ptr<DataChannel> channel; // empty for DCEP messages
        std::size_t counted;                // bytes counted in the channel's bufferedAmount
    };

    struct Reassembly {
        std::vector<std::byte> bytes;
        bool discarding = false;
    };

    void incoming(ByteSpan packet);
    void handleNotification(const std::vector<std::byte>& bytes);
    void handleMessage(std::uint16_t stream, std::uint32_t ppid, std::vector<std::byte> bytes);
    void handleDcep(std::uint16_t stream, ByteSpan bytes);
    void associationUp();
    void associationDown(State state, std::string error);
    void incomingReset(const std::vector<std::uint16_t>& streams);
    void outgoingResetDone(const std::vector<std::uint16_t>& streams, bool failed);

    void enqueueControl(std::uint16_t stream, const DcepMessage& message);
    void trySendQueued();
    void drainLocked(); // with mSendMutex held, not mMutex
    bool sendOne(Outgoing& message);
    void changeState(State state);
    void scheduleResetRetry();
    static constexpr std::uint8_t kIncomingReset = 1;
    static constexpr std::uint8_t kOutgoingReset = 2;
    void markResetLocked(std::uint16_t stream, std::uint8_t direction);

    const std::shared_ptr<Transport> mLower;
    const Options mOptions;
    const std::uintptr_t mId;

    struct socket* mSocket = nullptr;
    std::atomic<State> mState{State::Disconnected};

    mutable std::mutex mMutex; // channels, queue, reset bookkeeping
    std::map<std::uint16_t, std::shared_ptr<DataChannel>> mChannels;
    std::set<std::uint16_t> mAwaitingAck;
    std::set<std::uint16_t> mNeedsOpen;       // local channels announced once the association is up
    std::set<std::uint16_t> mPendingResets;   // outgoing resets to request when their data left
    std::set<std::uint16_t> mResetting;       // outgoing reset requested, not yet done
    std::set<std::uint16_t> mReserved;        // ids not reusable until both directions were reset
    std::map<std::uint16_t, std::uint8_t> mResetDone; // directions already reset, per reserved id
    std::deque<Outgoing> mQueue;
    std::size_t mQueuedBytes = 0;
    std::map<std::uint16_t, Reassembly> mReassembly;
    std::string mError;
    bool mStarted = false;
    bool mInputReady = false;                        // the socket is connecting: feed usrsctp
    std::deque<std::vector<std::byte>> mEarlyPackets; // arrived during set-up (bounded)
    bool mStopped = false;
    bool mResetRetryScheduled = false;

    std::mutex mSendMutex; // only try_lock'ed: see trySendQueued()
    std::atomic<bool> mSendPending{false};

    SafeCallback<std::shared_ptr<DataChannel>> mChannelCallback;
    SafeCallback<State> mStateCallback;
};

} // namespace rtc::impl
