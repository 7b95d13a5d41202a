#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <set>
#include <string>

#include "input/InputMessage.hpp"

namespace murel {
namespace {

// Codes without a Windows mapping.
const std::set<std::uint64_t> kUnmappedCodes = {52,  63,  64,  66,  68,  70,  72,  73,  74,
                                                77,  79,  80,  81,  90,  93,  94,  95,  102,
                                                104, 105, 106, 107, 108, 110, 112, 113, 127};

TEST(KeyTable, SpotChecksOfBothDirections) {
    EXPECT_EQ(scanKeyForCode(0), (ScanKey{30, false}));    // A
    EXPECT_EQ(scanKeyForCode(36), (ScanKey{28, false}));   // Enter
    EXPECT_EQ(scanKeyForCode(76), (ScanKey{28, true}));    // keypad Enter
    EXPECT_EQ(scanKeyForCode(61), (ScanKey{56, true}));    // right Alt
    EXPECT_EQ(scanKeyForCode(58), (ScanKey{56, false}));   // left Alt
    EXPECT_EQ(scanKeyForCode(126), (ScanKey{72, true}));   // Up
    EXPECT_EQ(scanKeyForCode(91), (ScanKey{72, false}));   // keypad 8
    EXPECT_EQ(scanKeyForCode(54), (ScanKey{92, true}));    // right Windows
    EXPECT_EQ(scanKeyForCode(122), (ScanKey{59, false}));  // F1

    // The extended flag alone separates these pairs.
    EXPECT_EQ(keyCodeForScan(29, false), 59);  // left Ctrl
    EXPECT_EQ(keyCodeForScan(29, true), 62);   // right Ctrl
    EXPECT_EQ(keyCodeForScan(82, false), 82);  // keypad 0
    EXPECT_EQ(keyCodeForScan(82, true), 114);  // Insert
    EXPECT_EQ(keyCodeForScan(53, false), 44);  // slash
    EXPECT_EQ(keyCodeForScan(53, true), 75);   // keypad divide
    EXPECT_EQ(keyCodeForScan(30, false), 0);   // code 0 is a real mapping, not "nothing"

    // Scan codes no row uses.
    EXPECT_EQ(keyCodeForScan(30, true), std::nullopt);
    EXPECT_EQ(keyCodeForScan(0, false), std::nullopt);
    EXPECT_EQ(keyCodeForScan(0x15D, false), std::nullopt);
    EXPECT_EQ(keyCodeForScan(92, false), std::nullopt);
    EXPECT_EQ(keyCodeForScan(30 + 256, false), std::nullopt);  // no truncation to 8 bits
}

TEST(KeyTable, EveryMappedCodeRoundTripsAndUnmappedCodesMapToNothing) {
    int mapped = 0;
    std::set<std::pair<std::uint16_t, bool>> seen;
    for (std::uint64_t code = 0; code < 128; ++code) {
        const auto key = scanKeyForCode(code);
        if (kUnmappedCodes.count(code)) {
            EXPECT_EQ(key, std::nullopt) << "code " << code;
            continue;
        }
        ASSERT_TRUE(key.has_value()) << "code " << code;
        ++mapped;
        EXPECT_GE(key->scanCode, 1) << "code " << code;
        EXPECT_LE(key->scanCode, 92) << "code " << code;
        EXPECT_TRUE(seen.insert({key->scanCode, key->extended}).second)
            << "scan code of code " << code << " is used twice";
        EXPECT_EQ(keyCodeForScan(key->scanCode, key->extended), static_cast<int>(code)) << "code " << code;
    }
    EXPECT_EQ(mapped, 101);
    EXPECT_EQ(scanKeyForCode(128), std::nullopt);
    EXPECT_EQ(scanKeyForCode(std::numeric_limits<std::uint64_t>::max()), std::nullopt);
    EXPECT_EQ(scanKeyForCode(static_cast<std::uint64_t>(-1) - 127), std::nullopt);
}

// Builds a valid message of the kind and lets a test spoil one member.
Json message(const char* kind, std::uint64_t sequence) {
    Json m = {{"version", 1}, {"kind", kind}, {"sequence", sequence}};
    const std::string k = kind;
    if (k == "move" || k == "button") {
        m["x"] = 0.25;
        m["y"] = 0.75;
    }
    if (k == "button") {
        m["code"] = 0;
        m["down"] = true;
    }
    if (k == "key") {
        m["code"] = 0;
        m["down"] = true;
    }
    if (k == "scroll") m["delta"] = 40.0;
    if (k == "text") m["text"] = "hello";
    return m;
}

int channelFor(const std::string& kind) { return kind == "move" ? kPointerChannel : kControlChannel; }

// True when a fresh receiver accepts the message on the channel it belongs to.
bool acceptsFresh(const Json& m) {
    InputSequenceState state;
    const bool isMove = m.is_object() && m.contains("kind") && m["kind"] == "move";
    const bool ok = validateInputMessage(state, m, isMove ? kPointerChannel : kControlChannel, 1000);
    // A refusal must not leave anything behind.
    if (!ok) {
        EXPECT_FALSE(state.hasAccepted);
        EXPECT_FALSE(state.hasSequence[0] || state.hasSequence[1]);
    }
    return ok;
}

TEST(ValidateInputMessage, EveryKindIsAcceptedOnItsChannelOnly) {
    for (const char* kind : {"move", "button", "key", "scroll", "text", "release", "keepalive"}) {
        const Json m = message(kind, 1);
        EXPECT_TRUE(acceptsFresh(m)) << kind;
        InputSequenceState state;
        const int wrong = channelFor(kind) == kPointerChannel ? kControlChannel : kPointerChannel;
        EXPECT_FALSE(validateInputMessage(state, m, wrong, 1000)) << kind;
        EXPECT_FALSE(state.hasAccepted);
        // Channel numbers other than 0 and 1 are nobody's.
        EXPECT_FALSE(validateInputMessage(state, m, 2, 1000)) << kind;
        EXPECT_FALSE(validateInputMessage(state, m, -1, 1000)) << kind;
    }
    EXPECT_FALSE(acceptsFresh(message("drag", 1)));
    EXPECT_FALSE(acceptsFresh(message("Move", 1)));
    Json longKind = message("keepalive", 1);
    longKind["kind"] = "keepalive-and-more";  // 18 bytes
    EXPECT_FALSE(acceptsFresh(longKind));
}

TEST(ValidateInputMessage, EnvelopeMembers) {
    Json m = message("keepalive", 1);
    m["version"] = 1.0;
    EXPECT_FALSE(acceptsFresh(m));
    m["version"] = 2;
    EXPECT_FALSE(acceptsFresh(m));
    m["version"] = "1";
    EXPECT_FALSE(acceptsFresh(m));
    m["version"] = -1;
    EXPECT_FALSE(acceptsFresh(m));
    m["version"] = static_cast<std::int64_t>(1);
    EXPECT_TRUE(acceptsFresh(m));
    m.erase("version");
    EXPECT_FALSE(acceptsFresh(m));

    m = message("keepalive", 1);
    m["sequence"] = -1;
    EXPECT_FALSE(acceptsFresh(m));
    m["sequence"] = 1.0;
    EXPECT_FALSE(acceptsFresh(m));
    m["sequence"] = "1";
    EXPECT_FALSE(acceptsFresh(m));
    m["sequence"] = std::numeric_limits<std::uint64_t>::max();
    EXPECT_TRUE(acceptsFresh(m));
    m["sequence"] = 0;
    EXPECT_TRUE(acceptsFresh(m));
    m.erase("sequence");
    EXPECT_FALSE(acceptsFresh(m));

    m = message("keepalive", 1);
    m["kind"] = 5;
    EXPECT_FALSE(acceptsFresh(m));
    m.erase("kind");
    EXPECT_FALSE(acceptsFresh(m));

    InputSequenceState state;
    EXPECT_FALSE(validateInputMessage(state, Json::array({1, 2}), kControlChannel, 0));
    EXPECT_FALSE(validateInputMessage(state, Json(), kControlChannel, 0));
    EXPECT_FALSE(validateInputMessage(state, Json("keepalive"), kControlChannel, 0));
}

TEST(ValidateInputMessage, PointerPositionBounds) {
    for (const char* kind : {"move", "button"}) {
        for (const char* axis : {"x", "y"}) {
            Json m = message(kind, 1);
            m[axis] = 1.0;
            EXPECT_TRUE(acceptsFresh(m)) << kind << axis;
            m[axis] = 0;
            EXPECT_TRUE(acceptsFresh(m)) << kind << axis;
            m[axis] = 1;  // an integer is a number too
            EXPECT_TRUE(acceptsFresh(m)) << kind << axis;
            m[axis] = 1.0001;
            EXPECT_FALSE(acceptsFresh(m)) << kind << axis;
            m[axis] = -0.0001;
            EXPECT_FALSE(acceptsFresh(m)) << kind << axis;
            m[axis] = std::numeric_limits<double>::quiet_NaN();
            EXPECT_FALSE(acceptsFresh(m)) << kind << axis;
            m[axis] = "0.5";
            EXPECT_FALSE(acceptsFresh(m)) << kind << axis;
            m.erase(axis);
            EXPECT_FALSE(acceptsFresh(m)) << kind << axis;
        }
    }
}

TEST(ValidateInputMessage, ButtonAndKeyCodes) {
    Json m = message("button", 1);
    for (int code : {0, 1, 2}) {
        m["code"] = code;
        EXPECT_TRUE(acceptsFresh(m)) << code;
    }
    m["code"] = 3;
    EXPECT_FALSE(acceptsFresh(m));
    m["code"] = -1;
    EXPECT_FALSE(acceptsFresh(m));
    m["code"] = 1.0;
    EXPECT_FALSE(acceptsFresh(m));
    m["code"] = 0;
    m["down"] = 1;
    EXPECT_FALSE(acceptsFresh(m));
    m.erase("down");
    EXPECT_FALSE(acceptsFresh(m));

    m = message("key", 1);
    m["code"] = 127;  // in range even without a mapping; the injector decides about mappings
    EXPECT_TRUE(acceptsFresh(m));
    m["code"] = 128;
    EXPECT_FALSE(acceptsFresh(m));
    m["code"] = std::numeric_limits<std::uint64_t>::max();
    EXPECT_FALSE(acceptsFresh(m));
    m["code"] = 5;
    m["down"] = false;
    EXPECT_TRUE(acceptsFresh(m));
    m["down"] = "false";
    EXPECT_FALSE(acceptsFresh(m));
    m.erase("down");
    EXPECT_FALSE(acceptsFresh(m));
    m = message("key", 1);
    m.erase("code");
    EXPECT_FALSE(acceptsFresh(m));
}

TEST(ValidateInputMessage, ScrollDelta) {
    Json m = message("scroll", 1);
    for (double delta : {-1000.0, 1000.0, 0.0, -40.0, 0.1}) {
        m["delta"] = delta;
        EXPECT_TRUE(acceptsFresh(m)) << delta;
    }
    m["delta"] = -1000;
    EXPECT_TRUE(acceptsFresh(m));
    m["delta"] = -1000.5;
    EXPECT_FALSE(acceptsFresh(m));
    m["delta"] = 1000.0001;
    EXPECT_FALSE(acceptsFresh(m));
    m["delta"] = std::numeric_limits<std::int64_t>::min();
    EXPECT_FALSE(acceptsFresh(m));
    m["delta"] = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(acceptsFresh(m));
    m["delta"] = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(acceptsFresh(m));
    m["delta"] = true;
    EXPECT_FALSE(acceptsFresh(m));
    m.erase("delta");
    EXPECT_FALSE(acceptsFresh(m));
}

TEST(ValidateInputMessage, TextLengthAndControlCharacters) {
    Json m = message("text", 1);
    m["text"] = std::string(2048, 'a');
    EXPECT_TRUE(acceptsFresh(m));
    m["text"] = std::string(2049, 'a');
    EXPECT_FALSE(acceptsFresh(m));
    m["text"] = "";
    EXPECT_FALSE(acceptsFresh(m));
    // Length counts bytes, not characters: 683 three-byte characters are 2049 bytes.
    std::string korean;
    for (int i = 0; i < 682; ++i) korean += "\xED\x95\x9C";
    m["text"] = korean + "ab";  // 2048 bytes
    EXPECT_TRUE(acceptsFresh(m));
    m["text"] = korean + "\xED\x95\x9C";  // 2049 bytes
    EXPECT_FALSE(acceptsFresh(m));

    m["text"] = "a\tb\nc\rd";
    EXPECT_TRUE(acceptsFresh(m));
    m["text"] = "a\x1b[A";
    EXPECT_FALSE(acceptsFresh(m));
    m["text"] = std::string("a\0b", 3);
    EXPECT_FALSE(acceptsFresh(m));
    m["text"] = "a\x7f";
    EXPECT_FALSE(acceptsFresh(m));
    m["text"] = "\x1f";
    EXPECT_FALSE(acceptsFresh(m));
    m["text"] = " ~";
    EXPECT_TRUE(acceptsFresh(m));
    m["text"] = 5;
    EXPECT_FALSE(acceptsFresh(m));
    m.erase("text");
    EXPECT_FALSE(acceptsFresh(m));
}

TEST(ValidateInputMessage, SerialisedSizeLimitAndBadUtf8NeverThrow) {
    // Within the byte limit of the text member but over the message limit once serialised.
    Json m = message("keepalive", 1);
    m["padding"] = std::string(4096, 'x');
    EXPECT_FALSE(acceptsFresh(m));
    // Exactly 4096 bytes serialised is fine.
    m = message("keepalive", 1);
    const std::size_t base = toCompactJson(m).size() + std::string(R"(,"padding":"")").size();
    m["padding"] = std::string(4096 - base, 'x');
    ASSERT_EQ(toCompactJson(m).size(), 4096u);
    EXPECT_TRUE(acceptsFresh(m));
    m["padding"] = std::string(4097 - base, 'x');
    EXPECT_FALSE(acceptsFresh(m));

    // A locally built value with invalid UTF-8 cannot be serialised; that is a refusal, not a throw.
    m = message("text", 1);
    m["text"] = "\xff\xfe";
    InputSequenceState state;
    bool result = true;
    EXPECT_NO_THROW(result = validateInputMessage(state, m, kControlChannel, 0));
    EXPECT_FALSE(result);
}

TEST(ValidateInputMessage, SequencesIncreasePerChannel) {
    InputSequenceState state;
    // Pointer channel: 5, 7, 6 accepts 5 and 7 and ignores 6.
    EXPECT_TRUE(validateInputMessage(state, message("move", 5), kPointerChannel, 100));
    EXPECT_TRUE(validateInputMessage(state, message("move", 7), kPointerChannel, 110));
    EXPECT_FALSE(validateInputMessage(state, message("move", 6), kPointerChannel, 120));
    EXPECT_FALSE(validateInputMessage(state, message("move", 7), kPointerChannel, 130));  // repeat
    EXPECT_EQ(state.lastSequence[kPointerChannel], 7u);
    EXPECT_EQ(state.lastAcceptedMs, 110);  // refusals do not refresh liveness

    // The control channel starts on its own, below the pointer channel's sequence.
    EXPECT_TRUE(validateInputMessage(state, message("key", 1), kControlChannel, 140));
    EXPECT_TRUE(validateInputMessage(state, message("keepalive", 2), kControlChannel, 150));
    EXPECT_FALSE(validateInputMessage(state, message("release", 2), kControlChannel, 160));
    EXPECT_EQ(state.lastSequence[kControlChannel], 2u);
    EXPECT_EQ(state.lastSequence[kPointerChannel], 7u);
    EXPECT_EQ(state.lastAcceptedMs, 150);

    // Sequence 0 is acceptable as a first message, but not after it.
    InputSequenceState fresh;
    EXPECT_TRUE(validateInputMessage(fresh, message("keepalive", 0), kControlChannel, 0));
    EXPECT_FALSE(validateInputMessage(fresh, message("keepalive", 0), kControlChannel, 1));
    // The largest sequence ends the channel's usable range without wrapping around.
    EXPECT_TRUE(validateInputMessage(fresh, message("keepalive", std::numeric_limits<std::uint64_t>::max()),
                                     kControlChannel, 2));
    EXPECT_FALSE(validateInputMessage(fresh, message("keepalive", 1), kControlChannel, 3));

    // A message that passes the sequence check but fails another leaves the sequence alone.
    InputSequenceState s2;
    EXPECT_TRUE(validateInputMessage(s2, message("key", 10), kControlChannel, 0));
    Json bad = message("key", 11);
    bad["code"] = 200;
    EXPECT_FALSE(validateInputMessage(s2, bad, kControlChannel, 5));
    EXPECT_EQ(s2.lastSequence[kControlChannel], 10u);
    EXPECT_EQ(s2.lastAcceptedMs, 0);
    EXPECT_TRUE(validateInputMessage(s2, message("key", 11), kControlChannel, 6));

    state.clear();
    EXPECT_FALSE(state.hasAccepted);
    EXPECT_TRUE(validateInputMessage(state, message("move", 1), kPointerChannel, 200));
}

TEST(InputTimedOut, SilenceRule) {
    InputSequenceState state;
    // Before the first accepted message nothing times out, whatever the clock says.
    EXPECT_FALSE(inputTimedOut(state, 0));
    EXPECT_FALSE(inputTimedOut(state, 1'000'000));
    EXPECT_FALSE(inputTimedOut(state, -5));

    ASSERT_TRUE(validateInputMessage(state, message("button", 1), kControlChannel, 10'000));
    EXPECT_FALSE(inputTimedOut(state, 10'000));
    EXPECT_FALSE(inputTimedOut(state, 10'749));
    EXPECT_TRUE(inputTimedOut(state, 10'750));
    EXPECT_TRUE(inputTimedOut(state, 20'000));
    // Time going backwards counts as silence.
    EXPECT_TRUE(inputTimedOut(state, 9'999));

    // It stays timed out until the next accepted message; a refused one changes nothing.
    EXPECT_FALSE(validateInputMessage(state, message("keepalive", 1), kControlChannel, 11'000));
    EXPECT_TRUE(inputTimedOut(state, 11'000));
    ASSERT_TRUE(validateInputMessage(state, message("keepalive", 2), kControlChannel, 11'000));
    EXPECT_FALSE(inputTimedOut(state, 11'500));
    // A pointer message refreshes liveness for both channels.
    ASSERT_TRUE(validateInputMessage(state, message("move", 1), kPointerChannel, 11'700));
    EXPECT_FALSE(inputTimedOut(state, 12'449));
    EXPECT_TRUE(inputTimedOut(state, 12'450));

    // Far-apart clock readings do not overflow into a wrong answer.
    InputSequenceState extreme;
    ASSERT_TRUE(validateInputMessage(extreme, message("keepalive", 1), kControlChannel,
                                     std::numeric_limits<std::int64_t>::min()));
    EXPECT_TRUE(inputTimedOut(extreme, std::numeric_limits<std::int64_t>::max()));
    EXPECT_FALSE(inputTimedOut(extreme, std::numeric_limits<std::int64_t>::min() + 749));
}

TEST(InputBuilders, BuiltMessagesAreCompactAndAcceptedByTheReceiver) {
    EXPECT_EQ(serializeInputMessage(makeMoveInput(3, 0.5, 1.0)),
              R"({"kind":"move","sequence":3,"version":1,"x":0.5,"y":1.0})");
    EXPECT_EQ(serializeInputMessage(makeButtonInput(2, false, 0.0, 0.5)),
              R"({"code":2,"down":false,"kind":"button","sequence":0,"version":1,"x":0.0,"y":0.5})");
    EXPECT_EQ(serializeInputMessage(makeKeyInput(126, true)),
              R"({"code":126,"down":true,"kind":"key","sequence":0,"version":1})");
    EXPECT_EQ(serializeInputMessage(makeScrollInput(-40.0)),
              R"({"delta":-40.0,"kind":"scroll","sequence":0,"version":1})");
    EXPECT_EQ(serializeInputMessage(makeTextInput("\xED\x95\x9C\tx\"")),
              "{\"kind\":\"text\",\"sequence\":0,\"text\":\"\xED\x95\x9C\\tx\\\"\",\"version\":1}");
    EXPECT_EQ(serializeInputMessage(makeReleaseInput()), R"({"kind":"release","sequence":0,"version":1})");
    EXPECT_EQ(serializeInputMessage(makeKeepaliveInput(9)), R"({"kind":"keepalive","sequence":9,"version":1})");

    // The sender stamps control messages from its own counter; the host then accepts them in order
    // after their bytes went through the same parse the host uses.
    InputSequenceState host;
    std::uint64_t counter = 0;
    const Json control[] = {makeButtonInput(0, true, 0.1, 0.2), makeKeyInput(0, true), makeScrollInput(40.0),
                            makeTextInput("ok"), makeKeyInput(0, false), makeReleaseInput(),
                            makeKeepaliveInput()};
    for (Json m : control) {
        setInputSequence(m, ++counter);
        const Json received = parseWire(serializeInputMessage(m), kInputMessageLimit);
        EXPECT_TRUE(validateInputMessage(host, received, kControlChannel, 100)) << m.dump();
    }
    EXPECT_EQ(host.lastSequence[kControlChannel], counter);
    const Json move = parseWire(serializeInputMessage(makeMoveInput(1, 1.0, 0.0)), kInputMessageLimit);
    EXPECT_TRUE(validateInputMessage(host, move, kPointerChannel, 100));

    EXPECT_THROW(serializeInputMessage(makeTextInput("\xc3")), Json::exception);
}

}  // namespace
}  // namespace murel
