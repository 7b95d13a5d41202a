// Data channels between our PeerConnection and independent implementations (aiortc, headless
// Chromium), both offer directions: the channel settings each side sees, messages echoed both ways
// (binary, text, empty, the largest the program sends), order on the reliable channel and closing.

#include "interop/ChildPeer.hpp"
#include "interop/LocalPeer.hpp"

#include <gtest/gtest.h>

#include <string>
#include <variant>

namespace {

using namespace murel::interop;
using State = rtc::PeerConnection::State;

const std::string kControl = "murel.control.v1";
const std::string kPointer = "murel.pointer.v1";

rtc::DataChannelInit controlInit() { return {}; }

rtc::DataChannelInit pointerInit() {
    rtc::DataChannelInit init;
    init.reliability.unordered = true;
    init.reliability.maxRetransmits = 0;
    return init;
}

rtc::Configuration programConfig() {
    rtc::Configuration config;
    // What the program announces: no message it takes is larger.
    config.maxMessageSize = 4096;
    return config;
}

rtc::binary pattern(size_t size, unsigned seed) {
    rtc::binary b(size);
    for (size_t i = 0; i < size; ++i) b[i] = static_cast<std::byte>((i * 31 + seed) & 0xFF);
    return b;
}

class DataChannelInterop : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        if (GetParam() == "aiortc" && !aiortcAvailable()) GTEST_SKIP() << "python3-aiortc is not installed";
        if (GetParam() == "chromium" && !chromiumAvailable()) GTEST_SKIP() << "chromium is not installed";
        child = ChildPeer::start(GetParam());
        ASSERT_TRUE(child->waitEvent("ready")) << child->diagnostics();
        local = std::make_unique<LocalPeer>(programConfig(), *child);
    }
    void TearDown() override {
        local.reset();
        child.reset();
    }

    // Checks an event line came and is what was waited for (not an error line from the child).
    json expectEvent(const std::string& event, const json& fields = json::object()) {
        auto ev = child->waitEvent(event, fields);
        if (!ev || ev->value("event", "") != event) {
            ADD_FAILURE() << "no " << event << " " << fields.dump() << " from " << GetParam()
                          << (ev ? " (got " + ev->dump() + ")" : std::string()) << "\n"
                          << child->diagnostics();
            return json();
        }
        return *ev;
    }

    void expectBothOpen() {
        ASSERT_TRUE(local->waitState(State::Connected)) << child->diagnostics();
        ASSERT_TRUE(local->waitOpen(kControl)) << child->diagnostics();
        ASSERT_TRUE(local->waitOpen(kPointer)) << child->diagnostics();
        ASSERT_FALSE(expectEvent("open", {{"label", kControl}}).is_null());
        ASSERT_FALSE(expectEvent("open", {{"label", kPointer}}).is_null());
    }

    // We send; the child reports the message and echoes it; we get the same bytes back as binary.
    void echoBinary(rtc::DataChannel& dc, const rtc::binary& data) {
        const std::string label = dc.label();
        ASSERT_TRUE(dc.send(data));
        auto seen = expectEvent("message", {{"label", label}});
        ASSERT_FALSE(seen.is_null());
        EXPECT_EQ(seen["binary"], true);
        EXPECT_EQ(seen["data"], base64(data)) << "size " << data.size() << " on " << label;
        auto back = local->nextMessage(label);
        ASSERT_TRUE(back) << "no echo on " << label << "\n" << child->diagnostics();
        ASSERT_TRUE(std::holds_alternative<rtc::binary>(*back)) << "echo of binary came back as text";
        EXPECT_EQ(std::get<rtc::binary>(*back), data) << "size " << data.size() << " on " << label;
    }

    // The child sends; we receive it with its kind (binary or text) intact.
    void fromChild(const std::string& label, const rtc::message_variant& data) {
        bool binary = std::holds_alternative<rtc::binary>(data);
        child->send({{"cmd", "send"},
                     {"label", label},
                     {"binary", binary},
                     {"data", binary ? base64(std::get<rtc::binary>(data)) : std::get<std::string>(data)}});
        auto got = local->nextMessage(label);
        ASSERT_TRUE(got) << "nothing arrived on " << label << "\n" << child->diagnostics();
        EXPECT_EQ(got->index(), data.index()) << "binary/text kind lost on " << label;
        EXPECT_EQ(*got, data) << "on " << label;
    }

    void exchangeOnBothChannels(rtc::DataChannel& control, rtc::DataChannel& pointer) {
        for (rtc::DataChannel* dc : {&control, &pointer}) {
            SCOPED_TRACE(dc->label());
            echoBinary(*dc, bytesOf("\x01hello"));
            echoBinary(*dc, pattern(4096, 7));  // the largest message the program sends or takes
            echoBinary(*dc, rtc::binary{});     // empty messages travel as their own payload type
        }
        child->send({{"cmd", "echo"}, {"enabled", false}});
        ASSERT_FALSE(expectEvent("echo", {{"enabled", false}}).is_null());
        for (const std::string& label : {kControl, kPointer}) {
            SCOPED_TRACE(label);
            fromChild(label, pattern(4096, 3));
            fromChild(label, rtc::binary{});
            fromChild(label, std::string("text \xc3\xa9"));
            fromChild(label, std::string());
        }
    }

    std::unique_ptr<ChildPeer> child;
    std::unique_ptr<LocalPeer> local;
};

TEST_P(DataChannelInterop, OurOfferTheyAnswer) {
    auto control = local->createChannel(kControl, controlInit());
    auto pointer = local->createChannel(kPointer, pointerInit());
    local->pc->setLocalDescription(rtc::Description::Type::Offer);

    // They see exactly the settings the channels were opened with.
    for (int i = 0; i < 2; ++i) {
        auto ch = expectEvent("channel");
        ASSERT_FALSE(ch.is_null());
        if (ch["label"] == kControl) {
            EXPECT_EQ(ch["ordered"], true);
            EXPECT_TRUE(ch["maxRetransmits"].is_null()) << ch.dump();
            EXPECT_TRUE(ch["maxPacketLifeTime"].is_null()) << ch.dump();
        } else {
            EXPECT_EQ(ch["label"], kPointer);
            EXPECT_EQ(ch["ordered"], false);
            EXPECT_EQ(ch["maxRetransmits"], 0);
            EXPECT_TRUE(ch["maxPacketLifeTime"].is_null()) << ch.dump();
        }
        EXPECT_EQ(ch["protocol"], "");
    }
    expectBothOpen();
    if (HasFatalFailure()) return;
    exchangeOnBothChannels(*control, *pointer);
}

TEST_P(DataChannelInterop, TheirOfferWeAnswer) {
    child->send({{"cmd", "create-offer"},
                 {"channels",
                  {{{"label", kControl}, {"ordered", true}},
                   {{"label", kPointer}, {"ordered", false}, {"maxRetransmits", 0}}}}});
    auto control = local->waitChannel(kControl);
    auto pointer = local->waitChannel(kPointer);
    ASSERT_TRUE(control && pointer) << child->diagnostics();

    // What we read from their channel-open messages.
    EXPECT_EQ(control->reliability(), rtc::Reliability{});
    rtc::Reliability unreliable;
    unreliable.unordered = true;
    unreliable.maxRetransmits = 0;
    EXPECT_EQ(pointer->reliability(), unreliable);
    EXPECT_EQ(control->protocol(), "");

    expectBothOpen();
    if (HasFatalFailure()) return;
    exchangeOnBothChannels(*control, *pointer);
}

// Many messages in a burst arrive complete and in order on the reliable channel.
TEST_P(DataChannelInterop, ReliableChannelKeepsOrder) {
    auto control = local->createChannel(kControl, controlInit());
    auto pointer = local->createChannel(kPointer, pointerInit());
    local->pc->setLocalDescription(rtc::Description::Type::Offer);
    expectBothOpen();
    if (HasFatalFailure()) return;

    constexpr int kCount = 300;
    for (int i = 0; i < kCount; ++i) {
        // Spread over sizes so some messages span several SCTP chunks.
        ASSERT_TRUE(control->send(pattern(static_cast<size_t>(1 + (i * 97) % 4096), static_cast<unsigned>(i))));
    }
    for (int i = 0; i < kCount; ++i) {
        auto back = local->nextMessage(kControl);
        ASSERT_TRUE(back) << "echo " << i << " of " << kCount << " missing\n" << child->diagnostics();
        ASSERT_EQ(std::get<rtc::binary>(*back), pattern(static_cast<size_t>(1 + (i * 97) % 4096), static_cast<unsigned>(i)))
            << "echo " << i << " out of order or corrupted";
    }
}

// Closing one channel resets only its stream; closing the connection closes the rest on their side.
TEST_P(DataChannelInterop, ClosingIsSeenByThePeer) {
    auto control = local->createChannel(kControl, controlInit());
    auto pointer = local->createChannel(kPointer, pointerInit());
    local->pc->setLocalDescription(rtc::Description::Type::Offer);
    expectBothOpen();
    if (HasFatalFailure()) return;

    pointer->close();
    ASSERT_FALSE(expectEvent("close", {{"label", kPointer}}).is_null());
    EXPECT_TRUE(local->waitClosed(kPointer));
    // The other channel goes on.
    echoBinary(*control, bytesOf("still here"));

    // And their closing reaches us.
    child->send({{"cmd", "close-channel"}, {"label", kControl}});
    EXPECT_TRUE(local->waitClosed(kControl)) << child->diagnostics();
    EXPECT_TRUE(local->errors().empty()) << local->errors().front();
}

// Each side learns the other's message size limit from the descriptions: Chromium will send us no
// more than the 4096 bytes our answer announces, and we may send it what its offer announces (not
// the 65536 assumed when a description names no limit).
TEST_P(DataChannelInterop, MessageSizeLimitsAreExchanged) {
    if (GetParam() != "chromium") GTEST_SKIP() << "only Chromium reports the limit it learned";
    child->send({{"cmd", "create-offer"},
                 {"channels",
                  {{{"label", kControl}, {"ordered", true}},
                   {{"label", kPointer}, {"ordered", false}, {"maxRetransmits", 0}}}}});
    auto control = local->waitChannel(kControl);
    ASSERT_TRUE(control) << child->diagnostics();
    expectBothOpen();
    if (HasFatalFailure()) return;

    child->send({{"cmd", "sctp-info"}});
    auto info = expectEvent("sctp-info");
    ASSERT_FALSE(info.is_null());
    EXPECT_EQ(info["maxMessageSize"], 4096);

    auto offer = local->pc->remoteDescription();
    ASSERT_TRUE(offer);
    std::string sdp = *offer;
    auto at = sdp.find("a=max-message-size:");
    ASSERT_NE(at, std::string::npos) << sdp;
    size_t theirs = std::stoul(sdp.substr(at + 19));
    EXPECT_EQ(control->maxMessageSize(), theirs);
    // Their limit is above ours: a message larger than anything we take still goes out whole (and is
    // not echoed: it would exceed what we take).
    ASSERT_GT(theirs, 8192u);
    child->send({{"cmd", "echo"}, {"enabled", false}});
    ASSERT_FALSE(expectEvent("echo", {{"enabled", false}}).is_null());
    rtc::binary big = pattern(8192, 9);
    ASSERT_TRUE(control->send(big));
    auto seen = expectEvent("message", {{"label", kControl}});
    EXPECT_EQ(seen["data"], base64(big));
}

// aiortc sends whatever it is given, whatever we announced: a message above our 4096-byte limit is
// dropped by us, and the channel carries on with the next one.
TEST_P(DataChannelInterop, OversizedMessageFromPeerIsDropped) {
    if (GetParam() != "aiortc") GTEST_SKIP() << "Chromium keeps to our limit itself";
    auto control = local->createChannel(kControl, controlInit());
    auto pointer = local->createChannel(kPointer, pointerInit());
    local->pc->setLocalDescription(rtc::Description::Type::Offer);
    expectBothOpen();
    if (HasFatalFailure()) return;

    for (const std::string& label : {kControl, kPointer}) {
        SCOPED_TRACE(label);
        child->send({{"cmd", "send"}, {"label", label}, {"binary", true}, {"data", base64(pattern(4097, 1))}});
        fromChild(label, pattern(100, 2));  // the next message is the first we get
    }
    EXPECT_TRUE(control->isOpen());
    EXPECT_TRUE(pointer->isOpen());
}

INSTANTIATE_TEST_SUITE_P(Peers, DataChannelInterop, ::testing::Values("aiortc", "chromium"),
                         [](const auto& info) { return info.param; });

}  // namespace
