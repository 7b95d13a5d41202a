#pragma once

#include "Certificate.hpp"
#include "Fingerprint.hpp"
#include "common/SrtpKeyMaterial.hpp"
#include "common/TimerThread.hpp"
#include "common/Transport.hpp"

#include <openssl/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace rtc::impl {

// DTLS 1.2 over a datagram Transport, with OpenSSL driven through in-memory BIOs.
//
// The upper layer (SCTP, or the SRTP session through srtpKeys()) sees it as a Transport: send()
// encrypts one application record, the receive callback gets decrypted records. States: Connecting
// after start(), Connected once the handshake finished and the peer certificate matched the
// expected fingerprint, Failed (see error()), Closed after close() or the peer's close_notify.
//
// The lower transport's receive and state callbacks belong to this object from start() on (an
// owner that also wants the lower state observes the lower transport before handing it over).
//
// Threads: public calls from any thread. Incoming datagrams are processed on the lower layer's
// thread and handshake retransmissions on the TimerThread; callbacks run on those threads without
// any of this object's locks held.
class DtlsTransport final : public Transport, public std::enable_shared_from_this<DtlsTransport> {
public:
    // Client is a=setup:active, Server is a=setup:passive.
    enum class Role { Client, Server };

    struct Options {
        std::size_t mtu = 1200;                              // largest datagram handed down
        std::chrono::milliseconds handshakeTimeout{30000};   // whole handshake, then Failed
        std::chrono::milliseconds initialRetransmit{400};    // first flight timer, doubled each time
        std::chrono::milliseconds maxRetransmit{4000};
        bool offerSrtp = true;                               // use_srtp extension
    };

    static std::shared_ptr<DtlsTransport> create(std::shared_ptr<Transport> lower,
                                                 std::shared_ptr<Certificate> certificate,
                                                 Fingerprint expectedRemote, Role role,
                                                 Options options);
    static std::shared_ptr<DtlsTransport> create(std::shared_ptr<Transport> lower,
                                                 std::shared_ptr<Certificate> certificate,
                                                 Fingerprint expectedRemote, Role role) {
        return create(std::move(lower), std::move(certificate), std::move(expectedRemote), role,
                      Options{});
    }

    ~DtlsTransport() override;

    // Binds to the lower transport and begins the handshake (the client sends its first flight).
    void start();

    // Encrypts and sends one application record. False when not connected or when the record
    // would not fit into one datagram (see maxPayloadSize()).
    bool send(ByteSpan data) override;

    // Sends close_notify and moves to Closed. Safe from any thread, also from a callback.
    void close();

    void setMtu(std::size_t mtu);
    // Largest application record that fits into one datagram with the negotiated cipher
    // (before the handshake: an estimate for the worst supported cipher).
    std::size_t maxPayloadSize() const;

    Role role() const { return mRole; }
    std::string error() const;
    std::optional<SrtpKeyMaterial> srtpKeys() const;
    // Fingerprint of the certificate the peer presented (after the handshake).
    std::optional<Fingerprint> remoteFingerprint() const;
    // How many times the handshake retransmission timer fired.
    std::uint64_t retransmissions() const;

    // Construction goes through create(); public for make_shared only.
    struct Token {};
    DtlsTransport(Token, std::shared_ptr<Transport> lower, std::shared_ptr<Certificate> certificate,
                  Fingerprint expectedRemote, Role role, Options options);

private:
    struct Events {
        std::optional<State> state;
        std::vector<std::vector<std::byte>> data;
    };

    void incoming(ByteSpan data);
    void onLowerState(State state);
    void onTimer();
    void onHandshakeDeadline();

    // All below run with mMutex held.
    void advance(Events& events);
    void handshakeFinished(Events& events);
    void failLocked(Events& events, std::string error);
    void flushLocked();
    void rescheduleTimerLocked();
    void cancelTimersLocked();
    void fire(Events& events);

    static int verifyCallback(int preverified, X509_STORE_CTX* context);
    static int bioWrite(BIO* bio, const char* data, int length);
    static long bioControl(BIO* bio, int command, long number, void* pointer);
    static unsigned int timerCallback(SSL* ssl, unsigned int previousMicroseconds);

    const std::shared_ptr<Transport> mLower;
    const std::shared_ptr<Certificate> mCertificate;
    const Fingerprint mExpected;
    const Role mRole;
    const Options mOptions;

    mutable std::mutex mMutex;
    SslContextPtr mContext;
    SslPtr mSsl;
    BIO* mInBio = nullptr; // owned by mSsl
    std::vector<std::vector<std::byte>> mOutgoing; // filled by the write BIO during SSL calls
    std::vector<std::byte> mReadBuffer;
    bool mStarted = false;
    bool mHandshakeDone = false;
    bool mFinished = false; // failed or closed: nothing more is processed
    std::string mError;
    std::string mVerifyError;
    std::optional<SrtpKeyMaterial> mSrtp;
    std::optional<Fingerprint> mRemoteFingerprint;
    std::uint64_t mRetransmissions = 0;
    std::size_t mMtu;
    TimerThread::TaskId mTimerTask = 0;
    TimerThread::TaskId mDeadlineTask = 0;
};

} // namespace rtc::impl
