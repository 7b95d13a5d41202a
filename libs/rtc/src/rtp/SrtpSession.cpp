#include "rtp/SrtpSession.hpp"

#include <srtp2/srtp.h>

#include <openssl/crypto.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace rtc::impl {

namespace {

static_assert(SrtpSession::kProtectHeadroom >= SRTP_MAX_TRAILER_LEN + 4);

constexpr std::size_t kMasterKeyLength = 16;

void initialiseLibrary() {
    static std::once_flag once;
    static srtp_err_status_t status = srtp_err_status_ok;
    std::call_once(once, [] { status = srtp_init(); });
    if (status != srtp_err_status_ok)
        throw std::runtime_error("SRTP library initialisation failed (" + std::to_string(status) + ")");
}

SrtpSession::Result resultOf(srtp_err_status_t status) {
    switch (status) {
    case srtp_err_status_ok: return SrtpSession::Result::Ok;
    case srtp_err_status_auth_fail: return SrtpSession::Result::AuthFailed;
    case srtp_err_status_replay_fail:
    case srtp_err_status_replay_old: return SrtpSession::Result::Replay;
    case srtp_err_status_bad_param:
    case srtp_err_status_parse_err: return SrtpSession::Result::Malformed;
    default: return SrtpSession::Result::Error;
    }
}

// A plain RTP packet libsrtp can walk: version 2, CSRC list and header extension inside.
bool plausibleRtp(const binary& packet) {
    const std::size_t size = packet.size();
    if (size < 12) return false;
    const auto* p = reinterpret_cast<const std::uint8_t*>(packet.data());
    if ((p[0] >> 6) != 2) return false;
    std::size_t header = 12 + 4 * std::size_t(p[0] & 0x0F);
    if (header > size) return false;
    if (p[0] & 0x10) {
        if (header + 4 > size) return false;
        header += 4 + 4 * ((std::size_t(p[header + 2]) << 8) | p[header + 3]);
        if (header > size) return false;
    }
    return true;
}

bool plausibleRtcp(const binary& packet) {
    if (packet.size() < 8) return false;
    const auto* p = reinterpret_cast<const std::uint8_t*>(packet.data());
    return (p[0] >> 6) == 2;
}

} // namespace

struct SrtpSession::Context {
    srtp_t session = nullptr;
    ~Context() {
        if (session) srtp_dealloc(session);
    }
};

SrtpSession::SrtpSession(SrtpProfile profile, std::span<const std::uint8_t> localKey,
                         std::span<const std::uint8_t> localSalt,
                         std::span<const std::uint8_t> remoteKey,
                         std::span<const std::uint8_t> remoteSalt, Options options)
    : mProfile(profile) {
    const std::size_t saltLength = profile == SrtpProfile::AeadAes128Gcm ? 12 : 14;
    if (localKey.size() != kMasterKeyLength || remoteKey.size() != kMasterKeyLength ||
        localSalt.size() != saltLength || remoteSalt.size() != saltLength)
        throw std::invalid_argument("SRTP master key or salt has the wrong length");
    initialiseLibrary();

    const unsigned long window =
        static_cast<unsigned long>(std::clamp<std::size_t>(options.replayWindow, 64, 0x7FFF));

    auto make = [&](std::span<const std::uint8_t> key, std::span<const std::uint8_t> salt,
                    bool outbound) {
        std::vector<unsigned char> material(key.begin(), key.end());
        material.insert(material.end(), salt.begin(), salt.end());
        srtp_policy_t policy;
        std::memset(&policy, 0, sizeof policy);
        if (profile == SrtpProfile::AeadAes128Gcm) {
            srtp_crypto_policy_set_aes_gcm_128_16_auth(&policy.rtp);
            srtp_crypto_policy_set_aes_gcm_128_16_auth(&policy.rtcp);
        } else {
            srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&policy.rtp);
            srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&policy.rtcp);
        }
        policy.ssrc.type = outbound ? ssrc_any_outbound : ssrc_any_inbound;
        policy.key = material.data();
        policy.window_size = window;
        // A retransmission is the identical packet again, which is safe to protect twice.
        policy.allow_repeat_tx = outbound ? 1 : 0;
        policy.next = nullptr;
        auto context = std::make_unique<Context>();
        const srtp_err_status_t status = srtp_create(&context->session, &policy);
        OPENSSL_cleanse(material.data(), material.size());
        if (status != srtp_err_status_ok) {
            context->session = nullptr;
            throw std::runtime_error("SRTP session creation failed (" + std::to_string(status) + ")");
        }
        return context;
    };
    mOutbound = make(localKey, localSalt, true);
    mInbound = make(remoteKey, remoteSalt, false);
}

SrtpSession::~SrtpSession() = default;

SrtpSession::Result SrtpSession::protect(binary& packet, bool rtcp) {
    if (!(rtcp ? plausibleRtcp(packet) : plausibleRtp(packet))) return Result::Malformed;
    const std::size_t size = packet.size();
    if (size > std::size_t(INT_MAX) - kProtectHeadroom) return Result::Malformed;
    packet.resize(size + kProtectHeadroom);
    int length = static_cast<int>(size);
    srtp_err_status_t status;
    {
        std::lock_guard lock(mSendMutex);
        status = rtcp ? srtp_protect_rtcp(mOutbound->session, packet.data(), &length)
                      : srtp_protect(mOutbound->session, packet.data(), &length);
        if (status == srtp_err_status_ok)
            ++(rtcp ? mSendCounters.protectedRtcp : mSendCounters.protectedRtp);
        else
            ++mSendCounters.rejectedOther;
    }
    if (status != srtp_err_status_ok || length < 0 || std::size_t(length) > packet.size()) {
        packet.resize(size);
        return status == srtp_err_status_ok ? Result::Error : resultOf(status);
    }
    packet.resize(static_cast<std::size_t>(length));
    return Result::Ok;
}

SrtpSession::Result SrtpSession::unprotect(binary& packet, bool rtcp) {
    const std::size_t size = packet.size();
    if (size < (rtcp ? 8u : 12u) || size > std::size_t(INT_MAX)) return Result::Malformed;
    int length = static_cast<int>(size);
    std::lock_guard lock(mReceiveMutex);
    const srtp_err_status_t status = rtcp
                                         ? srtp_unprotect_rtcp(mInbound->session, packet.data(), &length)
                                         : srtp_unprotect(mInbound->session, packet.data(), &length);
    const Result result = resultOf(status);
    switch (result) {
    case Result::Ok:
        ++(rtcp ? mReceiveCounters.unprotectedRtcp : mReceiveCounters.unprotectedRtp);
        break;
    case Result::AuthFailed: ++mReceiveCounters.rejectedAuth; break;
    case Result::Replay: ++mReceiveCounters.rejectedReplay; break;
    default: ++mReceiveCounters.rejectedOther; break;
    }
    if (result != Result::Ok) return result;
    if (length < 0 || std::size_t(length) > size) return Result::Error;
    packet.resize(static_cast<std::size_t>(length));
    return Result::Ok;
}

SrtpSession::Result SrtpSession::protectRtp(binary& packet) { return protect(packet, false); }
SrtpSession::Result SrtpSession::protectRtcp(binary& packet) { return protect(packet, true); }

SrtpSession::Result SrtpSession::protectRtp(std::span<const std::byte> packet, binary& out) {
    out.reserve(packet.size() + kProtectHeadroom);
    out.assign(packet.begin(), packet.end());
    return protect(out, false);
}

SrtpSession::Result SrtpSession::protectRtcp(std::span<const std::byte> packet, binary& out) {
    out.reserve(packet.size() + kProtectHeadroom);
    out.assign(packet.begin(), packet.end());
    return protect(out, true);
}

SrtpSession::Result SrtpSession::unprotectRtp(binary& packet) { return unprotect(packet, false); }
SrtpSession::Result SrtpSession::unprotectRtcp(binary& packet) { return unprotect(packet, true); }

SrtpSession::Counters SrtpSession::counters() const {
    Counters total;
    {
        std::lock_guard lock(mSendMutex);
        total.protectedRtp = mSendCounters.protectedRtp;
        total.protectedRtcp = mSendCounters.protectedRtcp;
        total.rejectedOther = mSendCounters.rejectedOther;
    }
    std::lock_guard lock(mReceiveMutex);
    total.unprotectedRtp = mReceiveCounters.unprotectedRtp;
    total.unprotectedRtcp = mReceiveCounters.unprotectedRtcp;
    total.rejectedAuth = mReceiveCounters.rejectedAuth;
    total.rejectedReplay = mReceiveCounters.rejectedReplay;
    total.rejectedOther += mReceiveCounters.rejectedOther;
    return total;
}

const char* toString(SrtpSession::Result result) {
    switch (result) {
    case SrtpSession::Result::Ok: return "ok";
    case SrtpSession::Result::Malformed: return "malformed packet";
    case SrtpSession::Result::AuthFailed: return "authentication failed";
    case SrtpSession::Result::Replay: return "replayed packet";
    case SrtpSession::Result::Error: return "SRTP error";
    }
    return "SRTP error";
}

} // namespace rtc::impl
