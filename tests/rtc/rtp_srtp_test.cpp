// SRTP/SRTCP sessions: both profiles, key direction by DTLS role, tampering and replay.
#include "rtp/SrtpSession.hpp"

#include "common/OpenSsl.hpp"

#include <gtest/gtest.h>

#include <srtp2/srtp.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <type_traits>
#include <vector>

using namespace rtc;
using namespace rtc::impl;

namespace {

std::vector<std::uint8_t> pattern(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + 7 * i);
    return v;
}

binary rtpPacket(std::uint16_t sequence, std::uint32_t ssrc, std::size_t payload) {
    binary p(12 + payload);
    p[0] = std::byte{0x80};
    p[1] = std::byte{96};
    p[2] = std::byte(sequence >> 8);
    p[3] = std::byte(sequence & 0xFF);
    p[4] = std::byte{0x11}; // timestamp
    p[8] = std::byte(ssrc >> 24);
    p[9] = std::byte(ssrc >> 16);
    p[10] = std::byte(ssrc >> 8);
    p[11] = std::byte(ssrc);
    for (std::size_t i = 0; i < payload; ++i) p[12 + i] = std::byte(i * 13 + sequence);
    return p;
}

binary rtcpPli(std::uint32_t sender, std::uint32_t media) {
    binary p(12);
    p[0] = std::byte{0x81};
    p[1] = std::byte{206};
    p[3] = std::byte{2};
    for (int i = 0; i < 4; ++i) {
        p[4 + i] = std::byte(sender >> (24 - 8 * i));
        p[8 + i] = std::byte(media >> (24 - 8 * i));
    }
    return p;
}

struct Pair {
    std::unique_ptr<SrtpSession> client, server;
};

// Two ends of one association keyed the way DTLS-SRTP keys them: the client writes with the
// client keys, the server with the server keys.
Pair makePair(SrtpProfile profile) {
    const std::size_t saltLength = profile == SrtpProfile::AeadAes128Gcm ? 12 : 14;
    auto clientKey = pattern(16, 1), serverKey = pattern(16, 101);
    auto clientSalt = pattern(saltLength, 51), serverSalt = pattern(saltLength, 151);
    Pair pair;
    pair.client = std::make_unique<SrtpSession>(profile, clientKey, clientSalt, serverKey, serverSalt);
    pair.server = std::make_unique<SrtpSession>(profile, serverKey, serverSalt, clientKey, clientSalt);
    return pair;
}

class SrtpProfiles : public ::testing::TestWithParam<SrtpProfile> {};

} // namespace

TEST_P(SrtpProfiles, RoundTripBothDirectionsRtpAndRtcp) {
    auto [client, server] = makePair(GetParam());
    for (std::uint16_t seq = 65530; seq != 10; ++seq) { // across the sequence wrap
        const binary plain = rtpPacket(seq, 0x01020304, 100 + seq % 7);
        binary wire = plain;
        ASSERT_EQ(client->protectRtp(wire), SrtpSession::Result::Ok);
        EXPECT_EQ(wire.size(), plain.size() + (GetParam() == SrtpProfile::AeadAes128Gcm ? 16 : 10));
        EXPECT_NE(wire, plain);
        // Header stays readable, payload is encrypted.
        EXPECT_TRUE(std::equal(plain.begin(), plain.begin() + 12, wire.begin()));
        ASSERT_EQ(server->unprotectRtp(wire), SrtpSession::Result::Ok);
        EXPECT_EQ(wire, plain);

        binary back = plain;
        ASSERT_EQ(server->protectRtp(back), SrtpSession::Result::Ok);
        ASSERT_EQ(client->unprotectRtp(back), SrtpSession::Result::Ok);
        EXPECT_EQ(back, plain);
    }
    for (int i = 0; i < 3; ++i) {
        const binary plain = rtcpPli(7, 1);
        binary wire;
        ASSERT_EQ(server->protectRtcp(plain, wire), SrtpSession::Result::Ok);
        EXPECT_GT(wire.size(), plain.size() + 4);
        ASSERT_EQ(client->unprotectRtcp(wire), SrtpSession::Result::Ok);
        EXPECT_EQ(wire, plain);
    }
    const auto counters = client->counters();
    EXPECT_EQ(counters.unprotectedRtcp, 3u);
    EXPECT_EQ(counters.rejectedAuth + counters.rejectedReplay + counters.rejectedOther, 0u);
}

TEST_P(SrtpProfiles, OwnKeysDoNotDecryptOwnPackets) {
    // Both ends keyed alike (a DTLS role mix-up) must not interoperate: each end's write key is
    // the other's read key.
    auto [client, server] = makePair(GetParam());
    binary wire = rtpPacket(1, 5, 50);
    ASSERT_EQ(client->protectRtp(wire), SrtpSession::Result::Ok);
    EXPECT_EQ(client->unprotectRtp(wire), SrtpSession::Result::AuthFailed);
}

TEST_P(SrtpProfiles, TamperedPacketsAreRejected) {
    auto [client, server] = makePair(GetParam());
    const binary plain = rtpPacket(100, 9, 200);
    binary wire;
    ASSERT_EQ(client->protectRtp(plain, wire), SrtpSession::Result::Ok);
    // Flip one bit in the header, the payload and the tag in turn: every one must fail.
    for (std::size_t at : {std::size_t(1), std::size_t(3), std::size_t(20), wire.size() - 1}) {
        binary bad = wire;
        bad[at] ^= std::byte{0x04};
        EXPECT_EQ(server->unprotectRtp(bad), SrtpSession::Result::AuthFailed) << "byte " << at;
    }
    binary truncated(wire.begin(), wire.end() - 1);
    EXPECT_NE(server->unprotectRtp(truncated), SrtpSession::Result::Ok);
    // The untouched packet still passes after the rejected attempts.
    binary good = wire;
    ASSERT_EQ(server->unprotectRtp(good), SrtpSession::Result::Ok);
    EXPECT_EQ(good, plain);

    binary rtcp;
    ASSERT_EQ(client->protectRtcp(rtcpPli(1, 2), rtcp), SrtpSession::Result::Ok);
    rtcp[9] ^= std::byte{1};
    EXPECT_EQ(server->unprotectRtcp(rtcp), SrtpSession::Result::AuthFailed);
    EXPECT_GE(server->counters().rejectedAuth, 5u);
}

TEST_P(SrtpProfiles, ReplaysAreRejectedButLateRepairsPass) {
    auto [client, server] = makePair(GetParam());
    std::vector<binary> sent;
    for (std::uint16_t seq = 1; seq <= 300; ++seq) {
        binary wire = rtpPacket(seq, 42, 64);
        ASSERT_EQ(client->protectRtp(wire), SrtpSession::Result::Ok);
        sent.push_back(wire);
    }
    // Deliver all but packet 10, then replay packet 20: rejected.
    for (std::size_t i = 0; i < sent.size(); ++i) {
        if (i == 9) continue;
        binary copy = sent[i];
        ASSERT_EQ(server->unprotectRtp(copy), SrtpSession::Result::Ok);
    }
    binary replay = sent[19];
    EXPECT_EQ(server->unprotectRtp(replay), SrtpSession::Result::Replay);
    // Packet 10 arrives 290 packets late (a retransmission): still inside the window.
    binary late = sent[9];
    EXPECT_EQ(server->unprotectRtp(late), SrtpSession::Result::Ok);
    binary lateAgain = sent[9];
    EXPECT_EQ(server->unprotectRtp(lateAgain), SrtpSession::Result::Replay);

    // The sender may protect the same packet again for a retransmission.
    binary again = rtpPacket(300, 42, 64);
    EXPECT_EQ(client->protectRtp(again), SrtpSession::Result::Ok);

    binary rtcp;
    ASSERT_EQ(client->protectRtcp(rtcpPli(1, 2), rtcp), SrtpSession::Result::Ok);
    binary rtcpCopy = rtcp;
    ASSERT_EQ(server->unprotectRtcp(rtcp), SrtpSession::Result::Ok);
    EXPECT_EQ(server->unprotectRtcp(rtcpCopy), SrtpSession::Result::Replay);
    EXPECT_EQ(server->counters().rejectedReplay, 3u);
}

TEST_P(SrtpProfiles, MalformedInputIsRejected) {
    auto [client, server] = makePair(GetParam());
    binary tiny(5, std::byte{0x80});
    EXPECT_EQ(client->protectRtp(tiny), SrtpSession::Result::Malformed);
    EXPECT_EQ(tiny.size(), 5u);
    binary badVersion = rtpPacket(1, 1, 10);
    badVersion[0] = std::byte{0x40};
    EXPECT_EQ(client->protectRtp(badVersion), SrtpSession::Result::Malformed);
    binary csrcPastEnd = rtpPacket(1, 1, 10);
    csrcPastEnd[0] = std::byte{0x8F}; // 15 CSRCs need 60 bytes
    EXPECT_EQ(client->protectRtp(csrcPastEnd), SrtpSession::Result::Malformed);
    binary extensionPastEnd = rtpPacket(1, 1, 10);
    extensionPastEnd[0] = std::byte{0x90};
    extensionPastEnd[15] = std::byte{9};
    EXPECT_EQ(client->protectRtp(extensionPastEnd), SrtpSession::Result::Malformed);
    binary shortRtcp(4, std::byte{0x80});
    EXPECT_EQ(client->protectRtcp(shortRtcp), SrtpSession::Result::Malformed);
    binary garbage(40, std::byte{0x80});
    EXPECT_NE(server->unprotectRtp(garbage), SrtpSession::Result::Ok);
    binary garbageRtcp(40, std::byte{0x80});
    EXPECT_NE(server->unprotectRtcp(garbageRtcp), SrtpSession::Result::Ok);
}

TEST_P(SrtpProfiles, SendAndReceiveFromSeveralThreads) {
    auto [client, server] = makePair(GetParam());
    constexpr int kPerThread = 2000;
    std::vector<binary> wire(2 * kPerThread);
    // Two senders with their own SSRCs protect concurrently.
    std::thread a([&] {
        for (int i = 0; i < kPerThread; ++i) {
            wire[i] = rtpPacket(std::uint16_t(i), 1, 80);
            ASSERT_EQ(client->protectRtp(wire[i]), SrtpSession::Result::Ok);
        }
    });
    std::thread b([&] {
        for (int i = 0; i < kPerThread; ++i) {
            wire[kPerThread + i] = rtpPacket(std::uint16_t(i), 2, 80);
            ASSERT_EQ(client->protectRtp(wire[kPerThread + i]), SrtpSession::Result::Ok);
        }
    });
    a.join();
    b.join();
    std::thread c([&] {
        for (int i = 0; i < kPerThread; ++i) EXPECT_EQ(server->unprotectRtp(wire[i]), SrtpSession::Result::Ok);
    });
    std::thread d([&] {
        for (int i = 0; i < kPerThread; ++i) {
            binary p = rtpPacket(std::uint16_t(i), 3, 30);
            EXPECT_EQ(server->protectRtp(p), SrtpSession::Result::Ok);
            EXPECT_EQ(server->unprotectRtp(wire[kPerThread + i]), SrtpSession::Result::Ok);
        }
    });
    c.join();
    d.join();
    for (int i = 0; i < kPerThread; ++i) EXPECT_EQ(wire[i], rtpPacket(std::uint16_t(i), 1, 80));
}

namespace {

// libsrtp2 as an independent implementation: one session per direction, keyed like ours.
class ReferenceSrtp {
public:
    ReferenceSrtp(SrtpProfile profile, const std::vector<std::uint8_t>& key, const std::vector<std::uint8_t>& salt,
                  bool outbound) {
        static const bool initialised = srtp_init() == srtp_err_status_ok;
        EXPECT_TRUE(initialised);
        std::vector<unsigned char> material(key);
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
        policy.window_size = 1024;
        policy.allow_repeat_tx = 1;
        EXPECT_EQ(srtp_create(&mSession, &policy), srtp_err_status_ok);
    }
    ~ReferenceSrtp() {
        if (mSession) srtp_dealloc(mSession);
    }
    bool apply(binary& packet, bool rtcp, bool protect) {
        int length = int(packet.size());
        packet.resize(packet.size() + SRTP_MAX_TRAILER_LEN + 4);
        srtp_err_status_t status;
        if (protect)
            status = rtcp ? srtp_protect_rtcp(mSession, packet.data(), &length) : srtp_protect(mSession, packet.data(), &length);
        else
            status = rtcp ? srtp_unprotect_rtcp(mSession, packet.data(), &length)
                          : srtp_unprotect(mSession, packet.data(), &length);
        packet.resize(std::size_t(length));
        return status == srtp_err_status_ok;
    }

private:
    srtp_t mSession = nullptr;
};

}  // namespace

TEST_P(SrtpProfiles, ByteCompatibleWithLibsrtpBothWays) {
    const SrtpProfile profile = GetParam();
    const std::size_t saltLength = profile == SrtpProfile::AeadAes128Gcm ? 12 : 14;
    const auto ourKey = pattern(16, 3), ourSalt = pattern(saltLength, 33);
    const auto theirKey = pattern(16, 203), theirSalt = pattern(saltLength, 233);
    SrtpSession ours(profile, ourKey, ourSalt, theirKey, theirSalt);
    ReferenceSrtp theirReceiver(profile, ourKey, ourSalt, false);
    ReferenceSrtp theirSender(profile, theirKey, theirSalt, true);

    // RTP across a sequence-number wrap (the rollover counter enters the cipher), with CSRCs
    // and a header extension, in both directions.
    for (std::uint32_t i = 0; i < 40; ++i) {
        const std::uint16_t seq = std::uint16_t(65520 + i);
        binary plain = rtpPacket(seq, 0xCAFE0000 + i % 2, 1 + i * 37);
        if (i % 3 == 0) {  // one CSRC and a one-word extension
            plain[0] = std::byte{0x91};
            binary extra = {std::byte{1}, std::byte{2}, std::byte{3}, std::byte{4}, std::byte{0xBE}, std::byte{0xDE},
                            std::byte{0}, std::byte{1}, std::byte{0x10}, std::byte{0x55}, std::byte{0}, std::byte{0}};
            plain.insert(plain.begin() + 12, extra.begin(), extra.end());
        }
        binary wire;
        ASSERT_EQ(ours.protectRtp(plain, wire), SrtpSession::Result::Ok);
        binary theirs = plain;
        ASSERT_TRUE(theirReceiver.apply(wire, false, false)) << "libsrtp refused our packet " << i;
        EXPECT_EQ(wire, plain);

        ASSERT_TRUE(theirSender.apply(theirs, false, true));
        ASSERT_EQ(ours.unprotectRtp(theirs), SrtpSession::Result::Ok) << "we refused libsrtp's packet " << i;
        EXPECT_EQ(theirs, plain);
    }
    // RTCP, several packets so that the SRTCP index advances.
    for (int i = 0; i < 5; ++i) {
        binary plain;
        const binary pli = rtcpPli(0x1000 + i % 2, 1);
        const binary rr = {std::byte{0x80}, std::byte{201}, std::byte{0}, std::byte{1},
                           std::byte{0}, std::byte{0}, std::byte{0x10}, std::byte(i % 2)};
        plain.insert(plain.end(), rr.begin(), rr.end());
        plain.insert(plain.end(), pli.begin(), pli.end());
        binary wire;
        ASSERT_EQ(ours.protectRtcp(plain, wire), SrtpSession::Result::Ok);
        ASSERT_TRUE(theirReceiver.apply(wire, true, false)) << "libsrtp refused our RTCP " << i;
        EXPECT_EQ(wire, plain);
        binary theirs = plain;
        ASSERT_TRUE(theirSender.apply(theirs, true, true));
        ASSERT_EQ(ours.unprotectRtcp(theirs), SrtpSession::Result::Ok) << "we refused libsrtp's RTCP " << i;
        EXPECT_EQ(theirs, plain);
    }
}

TEST_P(SrtpProfiles, RolloverIsTrackedThroughReorderingAcrossTheWrap) {
    const SrtpProfile profile = GetParam();
    const std::size_t saltLength = profile == SrtpProfile::AeadAes128Gcm ? 12 : 14;
    const auto ourKey = pattern(16, 9), ourSalt = pattern(saltLength, 19);
    const auto theirKey = pattern(16, 29), theirSalt = pattern(saltLength, 39);
    SrtpSession ours(profile, ourKey, ourSalt, theirKey, theirSalt);
    ReferenceSrtp theirSender(profile, theirKey, theirSalt, true);
    std::vector<binary> plain, wire;
    for (std::uint16_t seq = 65526; seq != 12; ++seq) {  // 65526..65535, 0..11
        plain.push_back(rtpPacket(seq, 77, 60));
        wire.push_back(plain.back());
        ASSERT_TRUE(theirSender.apply(wire.back(), false, true));
    }
    // Arrival: up to 65533, then 0 and 1 before 65534 and 65535 (late, previous rollover
    // count), then the rest; each once, then one replay from each side of the wrap.
    const std::vector<std::size_t> order = {0, 1, 2, 3, 4, 5, 6, 7, 10, 11, 8, 9, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21};
    for (std::size_t i : order) {
        binary packet = wire[i];
        ASSERT_EQ(ours.unprotectRtp(packet), SrtpSession::Result::Ok) << "packet " << i;
        EXPECT_EQ(packet, plain[i]);
    }
    for (std::size_t i : {std::size_t(9), std::size_t(11)}) {
        binary packet = wire[i];
        EXPECT_EQ(ours.unprotectRtp(packet), SrtpSession::Result::Replay) << "packet " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Rtp, SrtpProfiles,
                         ::testing::Values(SrtpProfile::Aes128CmSha1_80, SrtpProfile::AeadAes128Gcm),
                         [](const auto& info) {
                             return info.param == SrtpProfile::AeadAes128Gcm ? "AeadAes128Gcm"
                                                                              : "Aes128CmSha1_80";
                         });

TEST(SrtpSession, RejectsWrongKeyLengths) {
    auto key = pattern(16, 1), salt14 = pattern(14, 2), salt12 = pattern(12, 3), key15 = pattern(15, 4);
    EXPECT_THROW(SrtpSession(SrtpProfile::Aes128CmSha1_80, key, salt12, key, salt14), std::invalid_argument);
    EXPECT_THROW(SrtpSession(SrtpProfile::AeadAes128Gcm, key, salt14, key, salt14), std::invalid_argument);
    EXPECT_THROW(SrtpSession(SrtpProfile::Aes128CmSha1_80, key15, salt14, key, salt14), std::invalid_argument);
    EXPECT_NO_THROW(SrtpSession(SrtpProfile::AeadAes128Gcm, key, salt12, key, salt12));
}

// The owning OpenSSL handles: a copy (which would free twice) does not compile, and a moved
// handle keeps working while its source is left empty.
static_assert(!std::is_copy_constructible_v<CipherContextPtr> && !std::is_copy_assignable_v<CipherContextPtr>);
static_assert(!std::is_copy_constructible_v<SslPtr> && !std::is_copy_constructible_v<SslContextPtr>);
static_assert(!std::is_copy_constructible_v<BioPtr> && !std::is_copy_constructible_v<X509Ptr>);
static_assert(!std::is_copy_constructible_v<PrivateKeyPtr> && !std::is_copy_constructible_v<BignumPtr>);
static_assert(std::is_nothrow_move_constructible_v<CipherContextPtr>);

TEST(OpenSslHandles, MovedCipherContextEncryptsAsBeforeAndTheSourceIsEmpty) {
    const auto key = pattern(16, 1);
    const auto iv = pattern(16, 2);
    auto encrypt = [](EVP_CIPHER_CTX* context, const std::vector<std::uint8_t>& plain) {
        std::vector<std::uint8_t> out(plain.size());
        int produced = 0;
        EXPECT_EQ(EVP_EncryptUpdate(context, out.data(), &produced, plain.data(), int(plain.size())), 1);
        EXPECT_EQ(std::size_t(produced), plain.size());
        return out;
    };
    CipherContextPtr reference = newCipherContext();
    CipherContextPtr original = newCipherContext();
    ASSERT_EQ(EVP_EncryptInit_ex(reference.get(), EVP_aes_128_ctr(), nullptr, key.data(), iv.data()), 1);
    ASSERT_EQ(EVP_EncryptInit_ex(original.get(), EVP_aes_128_ctr(), nullptr, key.data(), iv.data()), 1);
    const auto first = pattern(40, 3), second = pattern(40, 4);
    EXPECT_EQ(encrypt(original.get(), first), encrypt(reference.get(), first));

    // The counter state travels with the handle: the next block continues the same keystream.
    std::vector<CipherContextPtr> owners;
    owners.push_back(std::move(original));
    EXPECT_EQ(original, nullptr);
    EXPECT_EQ(encrypt(owners.front().get(), second), encrypt(reference.get(), second));
    owners.clear(); // freed once here; ASan reports a second free
}
