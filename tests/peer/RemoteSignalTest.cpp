// Received peer signals: session, direction, sizes, the candidate's media line and id, and the
// texts of every refusal.

#include <gtest/gtest.h>

#include "PeerTestSupport.hpp"
#include "peer/RemoteSignal.hpp"

namespace murel {
namespace {

using namespace peertest;

const std::string kSession = "s-1";

std::string errorOf(const Json& signal, bool host, const std::optional<rtc::Description>& remote = std::nullopt) {
    try {
        parseRemoteSignal(signal, kSession, host, remote);
    } catch (const ProtocolError& e) {
        return e.what();
    }
    return "no error";
}

Json description(const std::string& type, const std::string& sdp) {
    return Json{{"type", type}, {"session_id", kSession}, {"payload", Json{{"sdp", sdp}}}};
}

Json ice(Json payload) { return Json{{"type", "ice"}, {"session_id", kSession}, {"payload", std::move(payload)}}; }

const std::optional<rtc::Description> kRemote = rtc::Description(sdpText({"0"}, true), "offer");

TEST(RemoteSignal, Descriptions) {
    const std::string sdp = sdpText({"video"}, true);
    auto parsed = parseRemoteSignal(description("offer", sdp), kSession, false, std::nullopt);
    auto* offer = std::get_if<rtc::Description>(&parsed);
    ASSERT_NE(offer, nullptr);
    EXPECT_EQ(offer->type(), rtc::Description::Type::Offer);
    EXPECT_EQ(offer->mediaCount(), 2u);
    Json withExtras = description("answer", sdp);
    withExtras["payload"]["stream_request_id"] = "r-1";  // unknown payload members are ignored
    EXPECT_EQ(errorOf(withExtras, true), "no error");
}

TEST(RemoteSignal, DescriptionFaults) {
    const std::string sdp = sdpText({"video"}, true);
    EXPECT_EQ(errorOf(description("offer", sdp), true), "Unexpected SDP direction");
    EXPECT_EQ(errorOf(description("answer", sdp), false), "Unexpected SDP direction");
    EXPECT_EQ(errorOf(description("offer", ""), false), "Invalid peer signal");
    EXPECT_EQ(errorOf(Json{{"type", "offer"}, {"session_id", kSession}, {"payload", Json::object()}}, false),
              "Invalid peer signal");
    EXPECT_EQ(errorOf(Json{{"type", "offer"}, {"session_id", kSession}, {"payload", Json{{"sdp", 5}}}}, false),
              "Invalid peer signal");
    EXPECT_EQ(errorOf(Json{{"type", "offer"}, {"session_id", kSession}, {"payload", "sdp"}}, false),
              "Invalid peer signal");
    EXPECT_EQ(errorOf(Json{{"type", "offer"}, {"session_id", kSession}}, false), "Invalid peer signal");
    EXPECT_EQ(errorOf(Json{{"type", 7}, {"session_id", kSession}, {"payload", Json::object()}}, false),
              "Invalid peer signal");
    EXPECT_EQ(errorOf(Json::array(), false), "Invalid peer signal");
    // Exactly the limit passes the size check (and then reaches the parser); one byte more does not.
    std::string padded = sdp;
    while (padded.size() < 98304) {
        const std::size_t room = 98304 - padded.size();
        const std::size_t body = room > 8030 ? 8000 : room - 10;  // lines stay below the parser's bound
        padded += "a=x-pad:" + std::string(body, 'p') + "\r\n";
    }
    ASSERT_EQ(padded.size(), 98304u);
    EXPECT_EQ(errorOf(description("offer", padded), false), "no error");
    EXPECT_EQ(errorOf(description("offer", padded + "x"), false), "SDP too large");
    EXPECT_THROW(parseRemoteSignal(description("offer", "v=0\r\nnonsense\r\n"), kSession, false, std::nullopt),
                 std::invalid_argument);
}

TEST(RemoteSignal, Session) {
    Json other = description("offer", sdpText({"video"}, true));
    other["session_id"] = "s-2";
    EXPECT_EQ(errorOf(other, false), "Mismatched peer session");
    other.erase("session_id");
    EXPECT_EQ(errorOf(other, false), "Mismatched peer session");
    other["session_id"] = Json::array({kSession});
    EXPECT_EQ(errorOf(other, false), "Mismatched peer session");
    Json unknown{{"type", "bye"}, {"session_id", kSession}, {"payload", Json::object()}};
    EXPECT_EQ(errorOf(unknown, false), "Unsupported peer signal");
}

TEST(RemoteSignal, Candidates) {
    auto parsed = parseRemoteSignal(ice({{"candidate", hostCandidate(5000)}, {"mid", "data"}, {"line", 1}}), kSession,
                                    false, kRemote);
    auto* candidate = std::get_if<RemoteCandidate>(&parsed);
    ASSERT_NE(candidate, nullptr);
    EXPECT_EQ(candidate->line, 1u);
    EXPECT_EQ(candidate->candidate.mid(), "data");
    EXPECT_EQ(candidate->candidate.port(), 5000);
    // Without a mid (or with null) the description's mid is taken.
    parsed = parseRemoteSignal(ice({{"candidate", hostCandidate(5000)}, {"mid", nullptr}, {"line", 0}}), kSession,
                               true, kRemote);
    EXPECT_EQ(std::get<RemoteCandidate>(parsed).candidate.mid(), "0");
    parsed = parseRemoteSignal(ice({{"candidate", hostCandidate(5000)}, {"line", 0u}}), kSession, true, kRemote);
    EXPECT_EQ(std::get<RemoteCandidate>(parsed).candidate.mid(), "0");
}

TEST(RemoteSignal, CandidateFaults) {
    const std::string c = hostCandidate(5000);
    EXPECT_EQ(errorOf(ice({{"candidate", c}, {"line", 0}}), false), "Remote SDP must be applied before ICE");
    EXPECT_EQ(errorOf(ice({{"candidate", c}, {"line", 2}}), false, kRemote), "Invalid ICE media index");
    EXPECT_EQ(errorOf(ice({{"candidate", c}, {"line", -1}}), false, kRemote), "Invalid ICE media index");
    // Numbers a 32-bit conversion would wrap into range, or could not represent at all.
    EXPECT_EQ(errorOf(ice({{"candidate", c}, {"line", 4294967296ull}}), false, kRemote), "Invalid ICE media index");
    EXPECT_EQ(errorOf(ice({{"candidate", c}, {"line", -4294967296ll}}), false, kRemote), "Invalid ICE media index");
    EXPECT_EQ(errorOf(ice({{"candidate", c}, {"line", 1e300}}), false, kRemote), "Invalid ICE media index");
    EXPECT_EQ(errorOf(ice({{"candidate", c}, {"line", 0.5}}), false, kRemote), "Invalid ICE media index");
    EXPECT_EQ(errorOf(ice({{"candidate", c}, {"line", true}}), false, kRemote), "Invalid ICE media index");
    EXPECT_EQ(errorOf(ice({{"candidate", c}, {"line", "0"}}), false, kRemote), "Invalid peer signal");
    EXPECT_EQ(errorOf(ice({{"candidate", c}}), false, kRemote), "Invalid peer signal");
    EXPECT_EQ(errorOf(ice({{"candidate", c}, {"mid", "1"}, {"line", 0}}), false, kRemote), "ICE mid/index mismatch");
    EXPECT_EQ(errorOf(ice({{"candidate", c}, {"mid", 0}, {"line", 0}}), false, kRemote), "ICE mid/index mismatch");
    EXPECT_EQ(errorOf(ice({{"mid", "0"}, {"line", 0}}), false, kRemote), "Invalid peer signal");
    EXPECT_EQ(errorOf(ice({{"candidate", 12}, {"line", 0}}), false, kRemote), "Invalid peer signal");
    EXPECT_EQ(errorOf(ice({{"candidate", std::string(8192, 'c')}, {"line", 0}}), false, kRemote),
              "ICE candidate too large");
    EXPECT_THROW(parseRemoteSignal(ice({{"candidate", "candidate:garbage"}, {"line", 0}}), kSession, false, kRemote),
                 std::invalid_argument);
}

}  // namespace
}  // namespace murel
