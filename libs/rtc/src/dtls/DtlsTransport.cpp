#include "DtlsTransport.hpp"

#include "common/Log.hpp"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <stdexcept>

namespace rtc::impl {

namespace {

constexpr const char* kCipherList =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
    "ECDHE-ECDSA-AES128-SHA:ECDHE-RSA-AES128-SHA";
constexpr const char* kSrtpProfiles = "SRTP_AEAD_AES_128_GCM:SRTP_AES128_CM_SHA1_80";
constexpr const char* kSrtpLabel = "EXTRACTOR-dtls_srtp";

// DTLS 1.2 record header (13) plus the largest per-record expansion of the ciphers above
// (CBC: 16 IV + 20 MAC + up to 16 padding).
constexpr std::size_t kWorstRecordOverhead = 13 + 16 + 20 + 16;
constexpr std::size_t kReadBuffer = 16 * 1024 + 64;

int exDataIndex() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

std::string openSslErrors() {
    std::string text;
    while (unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        if (!text.empty())
            text += "; ";
        text += buffer;
    }
    return text.empty() ? std::string("unknown error") : text;
}

} // namespace

std::shared_ptr<DtlsTransport> DtlsTransport::create(std::shared_ptr<Transport> lower,
                                                     std::shared_ptr<Certificate> certificate,
                                                     Fingerprint expectedRemote, Role role,
                                                     Options options) {
    if (!lower || !certificate)
        throw std::invalid_argument("DTLS transport needs a lower transport and a certificate");
    if (expectedRemote.empty())
        throw std::invalid_argument("DTLS transport needs the remote fingerprint");
    return std::make_shared<DtlsTransport>(Token{}, std::move(lower), std::move(certificate),
                                           std::move(expectedRemote), role, options);
}

DtlsTransport::DtlsTransport(Token, std::shared_ptr<Transport> lower,
                             std::shared_ptr<Certificate> certificate, Fingerprint expectedRemote,
                             Role role, Options options)
    : mLower(std::move(lower)), mCertificate(std::move(certificate)),
      mExpected(std::move(expectedRemote)), mRole(role), mOptions(options), mMtu(options.mtu) {
    auto fail = [](const char* step) {
        std::string reason = openSslErrors();
        throw std::runtime_error(std::string("DTLS set-up failed at ") + step + ": " + reason);
    };

    mContext.reset(SSL_CTX_new(DTLS_method()));
    if (!mContext)
        fail("context");
    if (SSL_CTX_set_min_proto_version(mContext.get(), DTLS1_2_VERSION) != 1 ||
        SSL_CTX_set_max_proto_version(mContext.get(), DTLS1_2_VERSION) != 1)
        fail("version");
    if (SSL_CTX_set_cipher_list(mContext.get(), kCipherList) != 1)
        fail("ciphers");
    if (SSL_CTX_set1_groups_list(mContext.get(), "X25519:P-256:P-384") != 1)
        fail("groups");
    if (SSL_CTX_use_certificate(mContext.get(), mCertificate->x509()) != 1 ||
        SSL_CTX_use_PrivateKey(mContext.get(), mCertificate->privateKey()) != 1 ||
        SSL_CTX_check_private_key(mContext.get()) != 1)
        fail("certificate");
    // The peer's certificate is self-signed; its identity is the fingerprint from the signalled
    // description, checked in the verify callback.
    SSL_CTX_set_verify(mContext.get(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, verifyCallback);
    SSL_CTX_set_options(mContext.get(), SSL_OP_NO_QUERY_MTU | SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_TICKET);
    SSL_CTX_set_read_ahead(mContext.get(), 1);
    if (mOptions.offerSrtp && SSL_CTX_set_tlsext_use_srtp(mContext.get(), kSrtpProfiles) != 0)
        fail("use_srtp");

    mSsl.reset(SSL_new(mContext.get()));
    if (!mSsl)
        fail("session");
    SSL_set_ex_data(mSsl.get(), exDataIndex(), this);

    // The write side is a custom BIO rather than a memory BIO: a memory BIO would merge the
    // datagrams of a flight into one byte stream, while DTLS needs each write to stay one
    // datagram. The read side is a plain memory BIO fed with one datagram at a time.
    static BIO_METHOD* const writeMethod = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "rtc datagram");
        if (m) {
            BIO_meth_set_write(m, bioWrite);
            BIO_meth_set_ctrl(m, bioControl);
        }
        return m;
    }();
    if (!writeMethod)
        fail("BIO method");
    BioPtr in(BIO_new(BIO_s_mem()));
    BioPtr out(BIO_new(writeMethod));
    if (!in || !out)
        fail("BIO");
    BIO_set_mem_eof_return(in.get(), -1); // an empty read means "wait", not end of stream
    BIO_set_data(out.get(), this);
    BIO_set_init(out.get(), 1);
    mInBio = in.get();
    SSL_set_bio(mSsl.get(), in.release(), out.release()); // the session owns both BIOs now

    if (mRole == Role::Client)
        SSL_set_connect_state(mSsl.get());
    else
        SSL_set_accept_state(mSsl.get());
    SSL_set_mtu(mSsl.get(), static_cast<long>(mMtu));
    DTLS_set_timer_cb(mSsl.get(), timerCallback);
}

DtlsTransport::~DtlsTransport() {
    mLower->resetCallbacks();
    {
        std::lock_guard lock(mMutex);
        cancelTimersLocked();
        mFinished = true;
    }
}

void DtlsTransport::start() {
    std::weak_ptr<DtlsTransport> weak = weak_from_this();
    {
        std::lock_guard lock(mMutex);
        if (mStarted || mFinished)
            return;
        mStarted = true;
        mDeadlineTask = TimerThread::instance().scheduleAfter(mOptions.handshakeTimeout, [weak] {
            if (auto self = weak.lock())
                self->onHandshakeDeadline();
        });
    }
    mLower->onReceive([weak](ByteSpan data) {
        if (auto self = weak.lock())
            self->incoming(data);
    });
    mLower->onStateChange([weak](State state) {
        if (auto self = weak.lock())
            self->onLowerState(state);
    });
    changeState(State::Connecting);

    Events events;
    {
        std::lock_guard lock(mMutex);
        if (!mFinished)
            advance(events);
    }
    fire(events);
    auto lowerState = mLower->state();
    if (lowerState == State::Failed || lowerState == State::Closed)
        onLowerState(lowerState);
}

bool DtlsTransport::send(ByteSpan data) {
    std::lock_guard lock(mMutex);
    if (!mHandshakeDone || mFinished)
        return false;
    int limit = DTLS_get_data_mtu(mSsl.get());
    if (limit > 0 && data.size() > static_cast<std::size_t>(limit))
        return false;
    if (data.empty())
        return false; // an empty record would be indistinguishable from nothing
    int written = SSL_write(mSsl.get(), data.data(), static_cast<int>(data.size()));
    flushLocked();
    if (written <= 0) {
        if (logEnabled(LogLevel::Debug))
            log(LogLevel::Debug, "DTLS write failed: ", openSslErrors());
        ERR_clear_error();
        return false;
    }
    return true;
}

void DtlsTransport::close() {
    Events events;
    {
        std::lock_guard lock(mMutex);
        if (mFinished)
            return;
        if (mHandshakeDone) {
            SSL_shutdown(mSsl.get()); // queues close_notify; the peer's answer is not awaited
            ERR_clear_error();
            flushLocked();
        }
        mFinished = true;
        cancelTimersLocked();
        events.state = State::Closed;
    }
    fire(events);
}

void DtlsTransport::setMtu(std::size_t mtu) {
    std::lock_guard lock(mMutex);
    mMtu = mtu;
    SSL_set_mtu(mSsl.get(), static_cast<long>(mtu));
}

std::size_t DtlsTransport::maxPayloadSize() const {
    std::lock_guard lock(mMutex);
    if (mHandshakeDone) {
        int limit = DTLS_get_data_mtu(mSsl.get());
        if (limit > 0)
            return static_cast<std::size_t>(limit);
    }
    return mMtu > kWorstRecordOverhead ? mMtu - kWorstRecordOverhead : 0;
}

std::string DtlsTransport::error() const {
    std::lock_guard lock(mMutex);
    return mError;
}

std::optional<SrtpKeyMaterial> DtlsTransport::srtpKeys() const {
    std::lock_guard lock(mMutex);
    return mSrtp;
}

std::optional<Fingerprint> DtlsTransport::remoteFingerprint() const {
    std::lock_guard lock(mMutex);
    return mRemoteFingerprint;
}

std::uint64_t DtlsTransport::retransmissions() const {
    std::lock_guard lock(mMutex);
    return mRetransmissions;
}

void DtlsTransport::incoming(ByteSpan data) {
    Events events;
    {
        std::lock_guard lock(mMutex);
        if (mFinished || !mStarted || data.empty())
            return;
        // Only DTLS records (content types 20..63) reach this layer.
        auto first = std::to_integer<unsigned>(data[0]);
        if (first < 20 || first > 63)
            return;
        if (BIO_write(mInBio, data.data(), static_cast<int>(data.size())) <= 0)
            return;
        advance(events);
        // Anything the session did not consume belongs to a broken record; drop it so that the
        // next datagram starts clean.
        (void)BIO_reset(mInBio);
    }
    fire(events);
}

void DtlsTransport::onLowerState(State state) {
    if (state != State::Failed && state != State::Closed)
        return;
    Events events;
    {
        std::lock_guard lock(mMutex);
        if (mFinished)
            return;
        if (state == State::Failed) {
            failLocked(events, "DTLS lower transport failed");
        } else {
            mFinished = true;
            cancelTimersLocked();
            events.state = State::Closed;
        }
    }
    fire(events);
}

void DtlsTransport::onTimer() {
    Events events;
    {
        std::lock_guard lock(mMutex);
        mTimerTask = 0;
        if (mFinished || mHandshakeDone)
            return;
        ++mRetransmissions;
        if (DTLSv1_handle_timeout(mSsl.get()) < 0) {
            flushLocked();
            failLocked(events, "DTLS handshake timed out");
        } else {
            flushLocked();
            rescheduleTimerLocked();
        }
    }
    fire(events);
}

void DtlsTransport::onHandshakeDeadline() {
    Events events;
    {
        std::lock_guard lock(mMutex);
        mDeadlineTask = 0;
        if (mFinished || mHandshakeDone)
            return;
        failLocked(events, "DTLS handshake timed out");
    }
    fire(events);
}

void DtlsTransport::advance(Events& events) {
    if (!mHandshakeDone) {
        int result = SSL_do_handshake(mSsl.get());
        if (result == 1) {
            flushLocked();
            handshakeFinished(events);
            if (mFinished)
                return;
        } else {
            int code = SSL_get_error(mSsl.get(), result);
            flushLocked(); // a flight, or the alert of a failure
            if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) {
                ERR_clear_error();
                rescheduleTimerLocked();
                return;
            }
            std::string reason = mVerifyError.empty()
                                     ? "DTLS handshake failed: " + openSslErrors()
                                     : mVerifyError;
            ERR_clear_error();
            failLocked(events, reason);
            return;
        }
    }

    // Application data (and the peer's close_notify) after the handshake.
    if (mReadBuffer.size() < kReadBuffer)
        mReadBuffer.resize(kReadBuffer); // once: zeroing 16 KiB per datagram shows in throughput
    auto& buffer = mReadBuffer;
    while (true) {
        int read = SSL_read(mSsl.get(), buffer.data(), static_cast<int>(buffer.size()));
        if (read > 0) {
            events.data.emplace_back(buffer.begin(), buffer.begin() + read);
            continue;
        }
        int code = SSL_get_error(mSsl.get(), read);
        flushLocked();
        if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) {
            ERR_clear_error();
            return;
        }
        if (code == SSL_ERROR_ZERO_RETURN) {
            // The peer sent close_notify; answer it and stop.
            SSL_shutdown(mSsl.get());
            flushLocked();
            ERR_clear_error();
            mFinished = true;
            cancelTimersLocked();
            events.state = State::Closed;
            return;
        }
        // A record that fails to decrypt or authenticate is dropped (RFC 6347 4.1.2.7); only a
        // fatal alert from the peer ends the session.
        std::string reason = openSslErrors();
        if (SSL_get_shutdown(mSsl.get()) & SSL_RECEIVED_SHUTDOWN) {
            failLocked(events, "DTLS session ended by the peer: " + reason);
            return;
        }
        log(LogLevel::Debug, "DTLS record dropped: ", reason);
        ERR_clear_error();
        return;
    }
}

void DtlsTransport::handshakeFinished(Events& events) {
    X509* peer = SSL_get0_peer_certificate(mSsl.get());
    if (!peer) {
        failLocked(events, "DTLS peer presented no certificate");
        return;
    }
    Fingerprint actual = Fingerprint::of(peer, mExpected.algorithm());
    if (actual != mExpected) {
        failLocked(events, "DTLS certificate fingerprint mismatch");
        return;
    }
    mRemoteFingerprint = Fingerprint::of(peer, "sha-256");

    if (mOptions.offerSrtp) {
        if (const SRTP_PROTECTION_PROFILE* profile = SSL_get_selected_srtp_profile(mSsl.get())) {
            std::size_t keyLength = 16;
            std::size_t saltLength = 0;
            SrtpKeyMaterial keys;
            if (profile->id == SRTP_AEAD_AES_128_GCM) {
                keys.profile = SrtpProfile::AeadAes128Gcm;
                saltLength = 12;
            } else if (profile->id == SRTP_AES128_CM_SHA1_80) {
                keys.profile = SrtpProfile::Aes128CmSha1_80;
                saltLength = 14;
            }
            if (saltLength > 0) {
                std::vector<std::uint8_t> material(2 * (keyLength + saltLength));
                if (SSL_export_keying_material(mSsl.get(), material.data(), material.size(), kSrtpLabel,
                                               std::char_traits<char>::length(kSrtpLabel), nullptr,
                                               0, 0) != 1) {
                    OPENSSL_cleanse(material.data(), material.size());
                    failLocked(events, "DTLS SRTP key export failed");
                    return;
                }
                // client key | server key | client salt | server salt
                auto at = material.begin();
                keys.clientKey.assign(at, at + keyLength);
                at += keyLength;
                keys.serverKey.assign(at, at + keyLength);
                at += keyLength;
                keys.clientSalt.assign(at, at + saltLength);
                at += saltLength;
                keys.serverSalt.assign(at, at + saltLength);
                OPENSSL_cleanse(material.data(), material.size());
                keys.localIsClient = mRole == Role::Client;
                mSrtp = std::move(keys);
            }
        }
    }

    mHandshakeDone = true;
    cancelTimersLocked();
    events.state = State::Connected;
}

void DtlsTransport::failLocked(Events& events, std::string error) {
    if (mFinished)
        return;
    mFinished = true;
    log(LogLevel::Warning, error);
    mError = std::move(error);
    cancelTimersLocked();
    events.state = State::Failed;
    events.data.clear();
}

void DtlsTransport::flushLocked() {
    if (mOutgoing.empty())
        return;
    auto outgoing = std::move(mOutgoing);
    mOutgoing.clear();
    // Sent under the lock so that records leave in the order the session produced them; the
    // lower layer never calls back from send().
    for (auto& datagram : outgoing)
        mLower->send(datagram);
}

void DtlsTransport::rescheduleTimerLocked() {
    if (mTimerTask != 0) {
        TimerThread::instance().cancel(mTimerTask);
        mTimerTask = 0;
    }
    if (mFinished || mHandshakeDone)
        return;
    timeval remaining{};
    if (DTLSv1_get_timeout(mSsl.get(), &remaining) != 1)
        return;
    auto delay = std::chrono::seconds(remaining.tv_sec) + std::chrono::microseconds(remaining.tv_usec);
    std::weak_ptr<DtlsTransport> weak = weak_from_this();
    mTimerTask = TimerThread::instance().scheduleAfter(delay, [weak] {
        if (auto self = weak.lock())
            self->onTimer();
    });
}

void DtlsTransport::cancelTimersLocked() {
    if (mTimerTask != 0)
        TimerThread::instance().cancel(mTimerTask);
    if (mDeadlineTask != 0)
        TimerThread::instance().cancel(mDeadlineTask);
    mTimerTask = 0;
    mDeadlineTask = 0;
}

void DtlsTransport::fire(Events& events) {
    if (events.state == State::Connected) {
        changeState(State::Connected);
        for (auto& record : events.data)
            deliver(record);
        return;
    }
    for (auto& record : events.data)
        deliver(record);
    if (events.state)
        changeState(*events.state);
}

int DtlsTransport::verifyCallback(int /*preverified*/, X509_STORE_CTX* context) {
    // Self-signed certificates are expected; only the leaf's fingerprint decides.
    if (X509_STORE_CTX_get_error_depth(context) != 0)
        return 1;
    auto* ssl = static_cast<SSL*>(
        X509_STORE_CTX_get_ex_data(context, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* self = ssl ? static_cast<DtlsTransport*>(SSL_get_ex_data(ssl, exDataIndex())) : nullptr;
    X509* certificate = X509_STORE_CTX_get_current_cert(context);
    if (!self || !certificate)
        return 0;
    // Runs inside an SSL call, so mMutex is already held by this thread.
    try {
        if (Fingerprint::of(certificate, self->mExpected.algorithm()) == self->mExpected)
            return 1;
    } catch (const std::exception& e) {
        log(LogLevel::Warning, "DTLS fingerprint of the peer certificate failed: ", e.what());
    } catch (...) {
        log(LogLevel::Warning, "DTLS fingerprint of the peer certificate failed");
    }
    self->mVerifyError = "DTLS certificate fingerprint mismatch";
    return 0;
}

int DtlsTransport::bioWrite(BIO* bio, const char* data, int length) {
    auto* self = static_cast<DtlsTransport*>(BIO_get_data(bio));
    if (!self || length < 0)
        return -1;
    auto* bytes = reinterpret_cast<const std::byte*>(data);
    // A handshake flight is a handful of datagrams; the bound only guards against a runaway.
    if (self->mOutgoing.size() < 256)
        self->mOutgoing.emplace_back(bytes, bytes + length);
    return length;
}

long DtlsTransport::bioControl(BIO* /*bio*/, int command, long /*number*/, void* /*pointer*/) {
    switch (command) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_CTRL_DGRAM_QUERY_MTU:
    case BIO_CTRL_WPENDING:
    case BIO_CTRL_PENDING:
    case BIO_CTRL_DGRAM_GET_MTU_OVERHEAD:
        return 0;
    default:
        return 0;
    }
}

unsigned int DtlsTransport::timerCallback(SSL* ssl, unsigned int previousMicroseconds) {
    auto* self = static_cast<DtlsTransport*>(SSL_get_ex_data(ssl, exDataIndex()));
    unsigned int initial = 400000;
    unsigned int maximum = 4000000;
    if (self) {
        initial = static_cast<unsigned int>(self->mOptions.initialRetransmit.count() * 1000);
        maximum = static_cast<unsigned int>(self->mOptions.maxRetransmit.count() * 1000);
    }
    if (previousMicroseconds == 0)
        return initial;
    return std::min(previousMicroseconds * 2, std::max(maximum, initial));
}

} // namespace rtc::impl
