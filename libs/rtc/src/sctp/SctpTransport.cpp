#include "sctp/SctpTransport.hpp"

#include "common/ByteOrder.hpp"
#include "common/Log.hpp"
#include "common/TimerThread.hpp"
#include "sctp/UsrsctpLibrary.hpp"

#include <usrsctp.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace rtc::impl {

namespace {

using namespace std::chrono_literals;

constexpr std::size_t kMinSendBuffer = 1024 * 1024;
constexpr std::size_t kMaxSendBuffer = 32 * 1024 * 1024;
constexpr std::size_t kMaxNotification = 64 * 1024;
constexpr std::size_t kMtuMargin = 32;
constexpr std::size_t kMaxEarlyPackets = 16;
constexpr std::uint16_t kNotificationStream = 0xFFFF; // never a data stream (ids < maxStreams)

// usrsctp hands over and takes these fields in network order.
std::uint32_t networkToHost(std::uint32_t value) {
    std::uint8_t b[4];
    std::memcpy(b, &value, 4);
    return readU32(b);
}

std::uint32_t hostToNetwork(std::uint32_t value) {
    std::uint8_t b[4];
    writeU32(b, value);
    std::uint32_t out;
    std::memcpy(&out, b, 4);
    return out;
}

std::uint16_t hostToNetwork16(std::uint16_t value) {
    std::uint8_t b[2];
    writeU16(b, value);
    std::uint16_t out;
    std::memcpy(&out, b, 2);
    return out;
}

int receiveCallback(struct socket* /*socket*/, union sctp_sockstore /*address*/, void* data,
                    std::size_t length, struct sctp_rcvinfo info, int flags, void* ulpInfo) {
    auto transport = UsrsctpLibrary::find(reinterpret_cast<std::uintptr_t>(ulpInfo));
    if (transport) {
        if (data)
            transport->onReceived(data, length, info.rcv_sid, networkToHost(info.rcv_ppid), flags);
        else
            transport->onReceived(nullptr, 0, 0, 0, 0); // the association is gone
    }
    std::free(data);
    return 1;
}

int sendCallback(struct socket* /*socket*/, std::uint32_t /*free*/, void* ulpInfo) {
    if (auto transport = UsrsctpLibrary::find(reinterpret_cast<std::uintptr_t>(ulpInfo)))
        transport->onSendReady();
    return 0;
}

std::size_t effectiveRemoteMax(std::size_t announced) {
    // 0 announces "any size"; we still send at most what our send buffer can hold at once.
    if (announced == 0 || announced > kMaxSendBuffer / 2)
        return kMaxSendBuffer / 2;
    return announced;
}

} // namespace

std::shared_ptr<SctpTransport> SctpTransport::create(std::shared_ptr<Transport> lower,
                                                     Options options) {
    if (!lower)
        throw std::invalid_argument("SCTP transport needs a lower transport");
    if (options.maxStreams < 2)
        throw std::invalid_argument("SCTP transport needs at least two streams");
    options.maxStreams = std::min<std::uint16_t>(options.maxStreams, 65535);
    options.remoteMaxMessageSize = effectiveRemoteMax(options.remoteMaxMessageSize);
    if (options.localMaxMessageSize == 0)
        options.localMaxMessageSize = kMaxSendBuffer / 2;
    auto transport = std::make_shared<SctpTransport>(Token{}, std::move(lower), options);
    UsrsctpLibrary::attach(transport->mId, transport);
    return transport;
}

SctpTransport::SctpTransport(Token, std::shared_ptr<Transport> lower, Options options)
    : mLower(std::move(lower)), mOptions(options), mId(UsrsctpLibrary::acquire()) {}

SctpTransport::~SctpTransport() {
    mLower->onReceive(nullptr);
    struct socket* socket;
    {
        std::lock_guard lock(mSendMutex);
        socket = mSocket;
        mSocket = nullptr;
    }
    UsrsctpLibrary::release(mId, socket);
}

void SctpTransport::start() {
    {
        std::lock_guard lock(mMutex);
        if (mStarted || mStopped)
            return;
        mStarted = true;
    }
    std::weak_ptr<SctpTransport> weak = weak_from_this();
    mLower->onReceive([weak](ByteSpan packet) {
        if (auto self = weak.lock())
            self->incoming(packet);
    });

    auto failStart = [this](const char* step) {
        {
            std::lock_guard lock(mMutex);
            mError = std::string("SCTP set-up failed at ") + step;
        }
        changeState(State::Failed);
    };

    std::unique_lock sendLock(mSendMutex);
    void* address = reinterpret_cast<void*>(mId);
    usrsctp_register_address(address);
    std::size_t sendBuffer = std::clamp(2 * mOptions.remoteMaxMessageSize, kMinSendBuffer, kMaxSendBuffer);
    std::size_t receiveBuffer =
        std::clamp(2 * mOptions.localMaxMessageSize, kMinSendBuffer, kMaxSendBuffer);
    mSocket = usrsctp_socket(AF_CONN, SOCK_STREAM, IPPROTO_SCTP, receiveCallback, sendCallback,
                             static_cast<std::uint32_t>(sendBuffer / 4), address);
    if (!mSocket)
        return failStart("socket");
    if (usrsctp_set_non_blocking(mSocket, 1) != 0)
        return failStart("non-blocking");

    // An abortive close frees the association at once, so the library can be finished.
    struct linger linger {};
    linger.l_onoff = 1;
    linger.l_linger = 0;
    int one = 1;
    int sndbuf = static_cast<int>(sendBuffer);
    int rcvbuf = static_cast<int>(receiveBuffer);
    struct sctp_assoc_value reset {};
    reset.assoc_id = SCTP_ALL_ASSOC;
    reset.assoc_value = SCTP_ENABLE_RESET_STREAM_REQ;
    struct sctp_initmsg init {};
    init.sinit_num_ostreams = mOptions.maxStreams;
    init.sinit_max_instreams = mOptions.maxStreams;
    if (usrsctp_setsockopt(mSocket, SOL_SOCKET, SO_LINGER, &linger, sizeof linger) != 0 ||
        usrsctp_setsockopt(mSocket, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf) != 0 ||
        usrsctp_setsockopt(mSocket, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf) != 0 ||
        usrsctp_setsockopt(mSocket, IPPROTO_SCTP, SCTP_ENABLE_STREAM_RESET, &reset, sizeof reset) != 0 ||
        usrsctp_setsockopt(mSocket, IPPROTO_SCTP, SCTP_RECVRCVINFO, &one, sizeof one) != 0 ||
        usrsctp_setsockopt(mSocket, IPPROTO_SCTP, SCTP_NODELAY, &one, sizeof one) != 0 ||
        usrsctp_setsockopt(mSocket, IPPROTO_SCTP, SCTP_INITMSG, &init, sizeof init) != 0)
        return failStart("options");
    for (std::uint16_t type : {SCTP_ASSOC_CHANGE, SCTP_STREAM_RESET_EVENT, SCTP_SENDER_DRY_EVENT,
                               SCTP_STREAM_CHANGE_EVENT}) {
        struct sctp_event event {};
        event.se_assoc_id = SCTP_ALL_ASSOC;
        event.se_type = type;
        event.se_on = 1;
        if (usrsctp_setsockopt(mSocket, IPPROTO_SCTP, SCTP_EVENT, &event, sizeof event) != 0)
            return failStart("events");
    }

    struct sockaddr_conn local {};
    local.sconn_family = AF_CONN;
    local.sconn_port = hostToNetwork16(mOptions.localPort);
    local.sconn_addr = address;
    if (usrsctp_bind(mSocket, reinterpret_cast<struct sockaddr*>(&local), sizeof local) != 0)
        return failStart("bind");

    struct sockaddr_conn remote {};
    remote.sconn_family = AF_CONN;
    remote.sconn_port = hostToNetwork16(mOptions.remotePort);
    remote.sconn_addr = address;

    changeState(State::Connecting);
    int connected = usrsctp_connect(mSocket, reinterpret_cast<struct sockaddr*>(&remote), sizeof remote);
    if (connected != 0 && errno != EINPROGRESS)
        return failStart("connect");

    // Fixed path MTU: the lower layer has no path MTU discovery of its own.
    struct sctp_paddrparams params {};
    std::memcpy(&params.spp_address, &remote, sizeof remote);
    params.spp_flags = SPP_PMTUD_DISABLE;
    // usrsctp's packets over AF_CONN come out a few bytes above the path MTU it is given
    // (measured: 9), so leave room below what the lower layer takes.
    params.spp_pathmtu = static_cast<std::uint32_t>(mOptions.mtu > kMtuMargin + 256 ? mOptions.mtu - kMtuMargin : 256);
    if (usrsctp_setsockopt(mSocket, IPPROTO_SCTP, SCTP_PEER_ADDR_PARAMS, &params, sizeof params) != 0)
        log(LogLevel::Warning, "SCTP setsockopt SCTP_PEER_ADDR_PARAMS failed: ", errnoText(errno));

    // Packets that arrived while the socket was being set up go in now: before the connect they
    // would have been answered with an ABORT, and dropping them (the peer's INIT-ACK) would cost
    // a retransmission timeout.
    sendLock.unlock(); // usrsctp callbacks below may need to flush
    std::deque<std::vector<std::byte>> early;
    {
        std::lock_guard lock(mMutex);
        early.swap(mEarlyPackets);
        mInputReady = true;
    }
    for (auto& packet : early)
        usrsctp_conninput(address, packet.data(), packet.size(), 0);
    trySendQueued();
}

std::vector<std::shared_ptr<DataChannel>> SctpTransport::releaseChannelsLocked() {
    std::vector<std::shared_ptr<DataChannel>> released;
    released.reserve(mChannels.size());
    for (auto& [stream, channel] : mChannels)
        released.push_back(channel);
    mChannels.clear();
    mQueue.clear();
    mQueuedBytes = 0;
    mReassembly.clear();
    return released;
}

// Outside the lock: closing triggers user callbacks, which may call back into this transport.
void SctpTransport::closeChannels(const std::vector<std::shared_ptr<DataChannel>>& channels) {
    for (auto& channel : channels) {
        channel->setState(DataChannel::State::Closed);
        channel->triggerClosed();
    }
}

void SctpTransport::stop() {
    std::vector<std::shared_ptr<DataChannel>> closed;
    {
        std::lock_guard lock(mMutex);
        if (mStopped)
            return;
        mStopped = true;
        closed = releaseChannelsLocked();
    }
    closeChannels(closed);
    if (state() != State::Failed)
        changeState(State::Closed);
    // Abort the association while this object still routes packets, so the peer learns of it.
    std::weak_ptr<SctpTransport> weak = weak_from_this();
    TimerThread::instance().post([weak] {
        auto self = weak.lock();
        if (!self)
            return;
        std::lock_guard sendLock(self->mSendMutex);
        if (self->mSocket) {
            usrsctp_close(self->mSocket);
            self->mSocket = nullptr;
        }
    });
}

std::string SctpTransport::error() const {
    std::lock_guard lock(mMutex);
    return mError;
}

std::shared_ptr<DataChannel> SctpTransport::createChannel(std::string label, std::string protocol,
                                                          ChannelReliability reliability,
                                                          std::optional<std::uint16_t> stream) {
    if (reliability.maxRetransmits && reliability.maxPacketLifeTime)
        throw std::invalid_argument("Data channel cannot limit both retransmits and lifetime");
    if (label.size() > 0xFFFF || protocol.size() > 0xFFFF)
        throw std::invalid_argument("Data channel label or protocol is too long");
    std::shared_ptr<DataChannel> channel;
    bool openNow = false;
    {
        std::lock_guard lock(mMutex);
        if (mStopped || state() == State::Failed || state() == State::Closed)
            throw std::runtime_error("SCTP transport is closed");
        auto inUse = [&](std::uint16_t id) {
            return mChannels.count(id) > 0 || mReserved.count(id) > 0;
        };
        std::uint16_t id = 0;
        if (stream) {
            if (*stream >= mOptions.maxStreams || inUse(*stream))
                throw std::invalid_argument("Data channel stream id is not available");
            id = *stream;
        } else {
            bool found = false;
            for (std::uint32_t s = mOptions.dtlsClient ? 0 : 1; s < mOptions.maxStreams; s += 2) {
                if (!inUse(static_cast<std::uint16_t>(s))) {
                    id = static_cast<std::uint16_t>(s);
                    found = true;
                    break;
                }
            }
            if (!found)
                throw std::runtime_error("No free data channel stream id");
        }
        channel = std::make_shared<DataChannel>(DataChannel::Token{}, weak_from_this(), id,
                                                std::move(label), std::move(protocol), reliability,
                                                stream.has_value(), mOptions.remoteMaxMessageSize);
        mChannels[id] = channel;
        if (state() == State::Connected) {
            if (stream) {
                channel->setState(DataChannel::State::Open);
                openNow = true;
            } else {
                auto open = DcepMessage::open(channel->label(), channel->protocol(), reliability);
                mQueue.push_back(Outgoing{id, Ppid::Control, open.serialize(), false, {}, {}, 0});
                mAwaitingAck.insert(id);
            }
        } else {
            mNeedsOpen.insert(id);
        }
    }
    trySendQueued();
    if (openNow)
        channel->triggerOpen(); // kept pending until the owner sets onOpen
    return channel;
}

void SctpTransport::onChannel(std::function<void(std::shared_ptr<DataChannel>)> callback) {
    mChannelCallback.set(std::move(callback));
}

void SctpTransport::onStateChange(std::function<void(State)> callback) {
    mStateCallback.set(std::move(callback));
}

void SctpTransport::resetCallbacks() {
    mChannelCallback.reset();
    mStateCallback.reset();
}

std::size_t SctpTransport::channelCount() const {
    std::lock_guard lock(mMutex);
    return mChannels.size();
}

bool SctpTransport::sendMessage(const std::shared_ptr<DataChannel>& channel, const Message& message) {
    Outgoing out;
    out.stream = channel->stream();
    out.channel = channel;
    out.reliability = channel->reliability();
    if (auto* text = std::get_if<std::string>(&message)) {
        out.counted = text->size();
        if (text->empty()) {
            out.ppid = Ppid::StringEmpty;
            out.bytes.assign(1, std::byte{0}); // SCTP cannot carry an empty message
        } else {
            out.ppid = Ppid::String;
            auto* begin = reinterpret_cast<const std::byte*>(text->data());
            out.bytes.assign(begin, begin + text->size());
        }
    } else {
        const auto& binary = std::get<std::vector<std::byte>>(message);
        out.counted = binary.size();
        if (binary.empty()) {
            out.ppid = Ppid::BinaryEmpty;
            out.bytes.assign(1, std::byte{0});
        } else {
            out.ppid = Ppid::Binary;
            out.bytes = binary;
        }
    }
    if (out.counted > mOptions.remoteMaxMessageSize)
        throw std::invalid_argument("Message size exceeds limit");
    {
        std::lock_guard lock(mMutex);
        auto it = mChannels.find(out.stream);
        if (mStopped || it == mChannels.end() || it->second != channel ||
            channel->state() != DataChannel::State::Open)
            throw std::runtime_error("DataChannel is closed");
        if (mQueuedBytes + out.bytes.size() > mOptions.maxBufferedBytes)
            return false;
        // Until the peer acknowledged the channel its messages stay ordered behind the OPEN.
        out.unordered = out.reliability.unordered && !mAwaitingAck.count(out.stream);
        mQueuedBytes += out.bytes.size();
        channel->addBuffered(out.counted);
        mQueue.push_back(std::move(out));
    }
    trySendQueued();
    return true;
}

void SctpTransport::closeChannel(const std::shared_ptr<DataChannel>& channel) {
    bool closeNow = false;
    {
        std::lock_guard lock(mMutex);
        auto it = mChannels.find(channel->stream());
        if (it == mChannels.end() || it->second != channel)
            return;
        if (!channel->beginClosing())
            return;
        mAwaitingAck.erase(channel->stream());
        mNeedsOpen.erase(channel->stream());
        if (mStopped || state() != State::Connected) {
            mChannels.erase(it);
            closeNow = true;
        } else {
            mPendingResets.insert(channel->stream());
            mReserved.insert(channel->stream());
        }
    }
    if (closeNow) {
        channel->setState(DataChannel::State::Closed);
        channel->triggerClosed();
        return;
    }
    trySendQueued();
}

int SctpTransport::onOutgoingPacket(const void* data, std::size_t length) {
    if (length > mOptions.mtu) // it could not pass the lower layer anyway
        return -1;
    auto* bytes = static_cast<const std::byte*>(data);
    return mLower->send(ByteSpan(bytes, length)) ? 0 : -1;
}

void SctpTransport::incoming(ByteSpan packet) {
    {
        std::lock_guard lock(mMutex);
        if (mStopped)
            return;
        if (!mInputReady) {
            if (mEarlyPackets.size() < kMaxEarlyPackets)
                mEarlyPackets.emplace_back(packet.begin(), packet.end());
            return;
        }
    }
    usrsctp_conninput(reinterpret_cast<void*>(mId), packet.data(), packet.size(), 0);
}

void SctpTransport::onReceived(const void* data, std::size_t length, std::uint16_t stream,
                               std::uint32_t ppid, int flags) {
    if (!data) {
        associationDown(State::Closed, "SCTP association closed");
        return;
    }
    const bool notification = (flags & MSG_NOTIFICATION) != 0;
    const std::uint16_t key = notification ? kNotificationStream : stream;
    const std::size_t limit = notification ? kMaxNotification : mOptions.localMaxMessageSize;
    auto* bytes = static_cast<const std::byte*>(data);
    const bool end = (flags & MSG_EOR) != 0;
    std::vector<std::byte> complete;
    bool tooLarge = false;
    {
        std::lock_guard lock(mMutex);
        if (mStopped)
            return;
        auto& part = mReassembly[key];
        if (!part.discarding) {
            // Empty-payload messages carry one byte that counts for nothing; any other message
            // is held to the limit exactly.
            const bool emptyMarker = ppid == static_cast<std::uint32_t>(Ppid::StringEmpty) ||
                                     ppid == static_cast<std::uint32_t>(Ppid::BinaryEmpty);
            if (part.bytes.size() + length > limit + (emptyMarker ? 1 : 0)) {
                part.discarding = true; // the rest of this message is dropped too
                part.bytes = {};
                tooLarge = !notification;
            } else {
                part.bytes.insert(part.bytes.end(), bytes, bytes + length);
            }
        }
        if (end) {
            if (!part.discarding)
                complete = std::move(part.bytes);
            mReassembly.erase(key);
        }
    }
    if (tooLarge) {
        std::shared_ptr<DataChannel> channel;
        {
            std::lock_guard lock(mMutex);
            auto it = mChannels.find(stream);
            if (it != mChannels.end())
                channel = it->second;
        }
        if (channel)
            channel->triggerError("Received message exceeds the size limit");
    }
    if (!end)
        return;
    if (notification) {
        if (!complete.empty())
            handleNotification(complete);
        return;
    }
    if (!complete.empty())
        handleMessage(stream, ppid, std::move(complete));
}

void SctpTransport::handleNotification(const std::vector<std::byte>& bytes) {
    // Every notification starts with its 16-bit type in host order.
    if (bytes.size() < 8)
        return;
    std::uint16_t type;
    std::memcpy(&type, bytes.data(), sizeof type);
    switch (type) {
    case SCTP_ASSOC_CHANGE: {
        if (bytes.size() < sizeof(struct sctp_assoc_change))
            return;
        struct sctp_assoc_change change;
        std::memcpy(&change, bytes.data(), sizeof change);
        switch (change.sac_state) {
        case SCTP_COMM_UP:
            associationUp();
            break;
        case SCTP_COMM_LOST:
            associationDown(State::Failed, "SCTP association lost");
            break;
        case SCTP_CANT_STR_ASSOC:
            associationDown(State::Failed, "SCTP association could not be established");
            break;
        case SCTP_SHUTDOWN_COMP:
            associationDown(State::Closed, "SCTP association shut down");
            break;
        default:
            break;
        }
        break;
    }
    case SCTP_STREAM_RESET_EVENT: {
        if (bytes.size() < sizeof(struct sctp_stream_reset_event))
            return;
        struct sctp_stream_reset_event event;
        std::memcpy(&event, bytes.data(), sizeof event);
        std::size_t length = std::min<std::size_t>(event.strreset_length, bytes.size());
        std::size_t count = length > sizeof event ? (length - sizeof event) / 2 : 0;
        std::vector<std::uint16_t> streams(count);
        if (count > 0)
            std::memcpy(streams.data(), bytes.data() + sizeof event, count * 2);
        if (streams.empty()) {
            // An empty list means every stream.
            std::lock_guard lock(mMutex);
            for (auto& [id, channel] : mChannels)
                streams.push_back(id);
        }
        bool failed = (event.strreset_flags & (SCTP_STREAM_RESET_DENIED | SCTP_STREAM_RESET_FAILED)) != 0;
        if (event.strreset_flags & SCTP_STREAM_RESET_INCOMING_SSN)
            incomingReset(streams);
        if (event.strreset_flags & SCTP_STREAM_RESET_OUTGOING_SSN)
            outgoingResetDone(streams, failed);
        else if (failed)
            outgoingResetDone(streams, true);
        break;
    }
    case SCTP_SENDER_DRY_EVENT:
        trySendQueued();
        break;
    default:
        break;
    }
}

void SctpTransport::handleMessage(std::uint16_t stream, std::uint32_t ppid, std::vector<std::byte> bytes) {
    if (ppid == static_cast<std::uint32_t>(Ppid::Control)) {
        handleDcep(stream, bytes);
        return;
    }
    Message message;
    switch (static_cast<Ppid>(ppid)) {
    case Ppid::String:
        message = std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        break;
    case Ppid::Binary:
        message = std::move(bytes);
        break;
    case Ppid::StringEmpty:
        message = std::string();
        break;
    case Ppid::BinaryEmpty:
        message = std::vector<std::byte>();
        break;
    default:
        return; // the deprecated partial PPIDs and unknown ones are not delivered
    }
    std::shared_ptr<DataChannel> channel;
    bool implicitOpen = false;
    {
        std::lock_guard lock(mMutex);
        auto it = mChannels.find(stream);
        if (it == mChannels.end())
            return;
        channel = it->second;
        if (channel->state() == DataChannel::State::Closed)
            return;
        // User data from the peer acknowledges the channel as well.
        if (mAwaitingAck.erase(stream) > 0 && channel->state() == DataChannel::State::Connecting) {
            channel->setState(DataChannel::State::Open);
            implicitOpen = true;
        }
    }
    if (implicitOpen)
        channel->triggerOpen();
    channel->enqueueMessage(std::move(message));
}

void SctpTransport::handleDcep(std::uint16_t stream, ByteSpan bytes) {
    auto message = DcepMessage::parse(bytes);
    if (!message)
        return;
    if (message->type == DcepMessage::Type::Ack) {
        std::shared_ptr<DataChannel> channel;
        {
            std::lock_guard lock(mMutex);
            if (mAwaitingAck.erase(stream) == 0)
                return;
            auto it = mChannels.find(stream);
            if (it == mChannels.end() || it->second->state() != DataChannel::State::Connecting)
                return;
            channel = it->second;
            channel->setState(DataChannel::State::Open);
        }
        channel->triggerOpen();
        return;
    }

    std::shared_ptr<DataChannel> channel;
    {
        std::lock_guard lock(mMutex);
        // The peer opens channels on ids of its own parity only.
        bool peerParity = (stream % 2 == 0) != mOptions.dtlsClient;
        if (!peerParity || stream >= mOptions.maxStreams || mChannels.count(stream) ||
            mReserved.count(stream) || mStopped)
            return;
        ChannelReliability reliability = message->reliability();
        channel = std::make_shared<DataChannel>(DataChannel::Token{}, weak_from_this(), stream,
                                                message->label, message->protocol, reliability,
                                                false, mOptions.remoteMaxMessageSize);
        channel->setState(DataChannel::State::Open);
        mChannels[stream] = channel;
        mQueue.push_back(
            Outgoing{stream, Ppid::Control, DcepMessage::ack().serialize(), false, {}, {}, 0});
    }
    trySendQueued();
    mChannelCallback(channel);
    channel->triggerOpen();
}

void SctpTransport::associationUp() {
    std::vector<std::shared_ptr<DataChannel>> opened;
    {
        std::lock_guard lock(mMutex);
        if (mStopped)
            return;
        for (std::uint16_t id : mNeedsOpen) {
            auto it = mChannels.find(id);
            if (it == mChannels.end())
                continue;
            auto& channel = it->second;
            if (channel->negotiated()) {
                channel->setState(DataChannel::State::Open);
                opened.push_back(channel);
            } else {
                auto open = DcepMessage::open(channel->label(), channel->protocol(),
                                              channel->reliability());
                mQueue.push_back(Outgoing{id, Ppid::Control, open.serialize(), false, {}, {}, 0});
                mAwaitingAck.insert(id);
            }
        }
        mNeedsOpen.clear();
    }
    changeState(State::Connected);
    trySendQueued();
    for (auto& channel : opened)
        channel->triggerOpen();
}

void SctpTransport::associationDown(State state, std::string error) {
    std::vector<std::shared_ptr<DataChannel>> closed;
    {
        std::lock_guard lock(mMutex);
        if (mStopped)
            return;
        mStopped = true;
        if (state == State::Failed)
            mError = std::move(error);
        closed = releaseChannelsLocked();
    }
    closeChannels(closed);
    changeState(state);
}

void SctpTransport::incomingReset(const std::vector<std::uint16_t>& streams) {
    std::vector<std::shared_ptr<DataChannel>> closed;
    {
        std::lock_guard lock(mMutex);
        for (std::uint16_t id : streams) {
            mReassembly.erase(id);
            if (mReserved.count(id))
                markResetLocked(id, kIncomingReset);
            auto it = mChannels.find(id);
            if (it == mChannels.end())
                continue;
            auto channel = it->second;
            if (channel->state() != DataChannel::State::Closing) {
                // Closed by the peer: answer with our own reset; the id is free once both
                // directions were reset.
                channel->beginClosing();
                mPendingResets.insert(id);
                mReserved.insert(id);
                markResetLocked(id, kIncomingReset);
            }
            mAwaitingAck.erase(id);
            mNeedsOpen.erase(id);
            mChannels.erase(it);
            closed.push_back(channel);
        }
    }
    trySendQueued();
    for (auto& channel : closed) {
        channel->setState(DataChannel::State::Closed);
        channel->triggerClosed();
    }
}

void SctpTransport::outgoingResetDone(const std::vector<std::uint16_t>& streams, bool failed) {
    std::vector<std::shared_ptr<DataChannel>> closed;
    {
        std::lock_guard lock(mMutex);
        for (std::uint16_t id : streams) {
            if (!mResetting.erase(id))
                continue;
            if (failed) {
                mPendingResets.insert(id);
                continue;
            }
            markResetLocked(id, kOutgoingReset);
            auto it = mChannels.find(id);
            if (it != mChannels.end() && it->second->state() == DataChannel::State::Closing) {
                // Our side is done; the channel is closed even if the peer never resets its side.
                closed.push_back(it->second);
                mChannels.erase(it);
            }
        }
    }
    if (failed)
        scheduleResetRetry();
    else
        trySendQueued();
    for (auto& channel : closed) {
        channel->setState(DataChannel::State::Closed);
        channel->triggerClosed();
    }
}

void SctpTransport::markResetLocked(std::uint16_t stream, std::uint8_t direction) {
    auto& done = mResetDone[stream];
    done |= direction;
    if (done == (kIncomingReset | kOutgoingReset)) {
        mResetDone.erase(stream);
        mReserved.erase(stream);
    }
}

void SctpTransport::onSendReady() { trySendQueued(); }

// Every usrsctp call that uses the socket for sending happens with mSendMutex held. It is only
// try_lock'ed: a thread that finds it busy leaves a note and the holder drains again before it
// leaves. So no thread ever blocks on it while usrsctp may be waiting for that thread, and a
// usrsctp callback (which may run inside usrsctp_sendv on the holder's thread) can ask for a flush
// without deadlocking.
void SctpTransport::trySendQueued() {
    while (true) {
        if (!mSendMutex.try_lock()) {
            mSendPending.store(true);
            if (!mSendMutex.try_lock())
                return;
        }
        mSendPending.store(false);
        drainLocked();
        mSendMutex.unlock();
        if (!mSendPending.load())
            return;
    }
}

void SctpTransport::drainLocked() {
    if (!mSocket)
        return;
    while (true) {
        Outgoing message;
        {
            std::lock_guard lock(mMutex);
            if (mQueue.empty() || state() != State::Connected)
                break;
            message = std::move(mQueue.front());
            mQueue.pop_front();
        }
        bool sent = sendOne(message);
        if (!sent && (errno == EWOULDBLOCK || errno == EAGAIN || errno == ENOBUFS)) {
            std::lock_guard lock(mMutex);
            if (!mStopped)
                mQueue.push_front(std::move(message));
            break;
        }
        auto channel = message.channel.lock();
        {
            std::lock_guard lock(mMutex);
            mQueuedBytes -= std::min(mQueuedBytes, message.bytes.size());
        }
        if (channel) {
            if (!sent)
                channel->triggerError("Message could not be sent");
            channel->removeBuffered(message.counted);
        }
    }

    // Resets for streams whose queued data has left.
    std::vector<std::uint16_t> resets;
    {
        std::lock_guard lock(mMutex);
        if (state() != State::Connected)
            return;
        for (auto it = mPendingResets.begin(); it != mPendingResets.end();) {
            bool queued = std::any_of(mQueue.begin(), mQueue.end(),
                                      [&](const Outgoing& o) { return o.stream == *it; });
            if (queued) {
                ++it;
                continue;
            }
            resets.push_back(*it);
            it = mPendingResets.erase(it);
        }
    }
    if (resets.empty())
        return;
    std::vector<std::byte> buffer(sizeof(struct sctp_reset_streams) + resets.size() * sizeof(std::uint16_t));
    auto* request = reinterpret_cast<struct sctp_reset_streams*>(buffer.data());
    request->srs_assoc_id = SCTP_ALL_ASSOC;
    request->srs_flags = SCTP_STREAM_RESET_OUTGOING;
    request->srs_number_streams = static_cast<std::uint16_t>(resets.size());
    std::memcpy(buffer.data() + sizeof(struct sctp_reset_streams), resets.data(),
                resets.size() * sizeof(std::uint16_t));
    {
        // Recorded first: the completion may be reported on another thread before setsockopt
        // returns here.
        std::lock_guard lock(mMutex);
        for (std::uint16_t id : resets)
            mResetting.insert(id);
    }
    int result = usrsctp_setsockopt(mSocket, IPPROTO_SCTP, SCTP_RESET_STREAMS, request,
                                    static_cast<socklen_t>(buffer.size()));
    if (result != 0) {
        std::lock_guard lock(mMutex);
        for (std::uint16_t id : resets) {
            mResetting.erase(id);
            mPendingResets.insert(id); // one request at a time: retried shortly
        }
    }
    if (result != 0)
        scheduleResetRetry();
}

bool SctpTransport::sendOne(Outgoing& message) {
    struct sctp_sendv_spa spa {};
    spa.sendv_flags = SCTP_SEND_SNDINFO_VALID;
    spa.sendv_sndinfo.snd_sid = message.stream;
    spa.sendv_sndinfo.snd_ppid = hostToNetwork(static_cast<std::uint32_t>(message.ppid));
    spa.sendv_sndinfo.snd_flags = SCTP_EOR | (message.unordered ? SCTP_UNORDERED : 0);
    if (message.ppid != Ppid::Control) {
        if (message.reliability.maxRetransmits) {
            spa.sendv_flags |= SCTP_SEND_PRINFO_VALID;
            spa.sendv_prinfo.pr_policy = SCTP_PR_SCTP_RTX;
            spa.sendv_prinfo.pr_value = *message.reliability.maxRetransmits;
        } else if (message.reliability.maxPacketLifeTime) {
            spa.sendv_flags |= SCTP_SEND_PRINFO_VALID;
            spa.sendv_prinfo.pr_policy = SCTP_PR_SCTP_TTL;
            auto ms = message.reliability.maxPacketLifeTime->count();
            spa.sendv_prinfo.pr_value = ms < 0 ? 0 : ms > 0xFFFFFFFF ? 0xFFFFFFFFu : static_cast<std::uint32_t>(ms);
        }
    }
    errno = 0;
    ssize_t result = usrsctp_sendv(mSocket, message.bytes.data(), message.bytes.size(), nullptr, 0,
                                   &spa, sizeof spa, SCTP_SENDV_SPA, 0);
    return result >= 0;
}

void SctpTransport::changeState(State state) {
    if (mState.exchange(state) != state)
        mStateCallback(state);
}

void SctpTransport::scheduleResetRetry() {
    {
        std::lock_guard lock(mMutex);
        if (mResetRetryScheduled || mStopped)
            return;
        mResetRetryScheduled = true;
    }
    std::weak_ptr<SctpTransport> weak = weak_from_this();
    TimerThread::instance().scheduleAfter(50ms, [weak] {
        if (auto self = weak.lock()) {
            {
                std::lock_guard lock(self->mMutex);
                self->mResetRetryScheduled = false;
            }
            self->trySendQueued();
        }
    });
}

} // namespace rtc::impl
