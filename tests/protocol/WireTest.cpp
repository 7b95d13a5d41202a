#include <gtest/gtest.h>

#include "ErrorOf.hpp"

#include <string>

#include "protocol/Wire.hpp"

namespace murel {
namespace {

using test::errorOf;

TEST(ParseWire, SizeLimitIsInclusive) {
    EXPECT_EQ(errorOf([] { parseWire("", 100); }), "Message size exceeds protocol limit");
    const std::string exact = R"({"a":")" + std::string(100 - 8, 'x') + R"("})";
    ASSERT_EQ(exact.size(), 100u);
    EXPECT_EQ(parseWire(exact, 100)["a"].get<std::string>().size(), 92u);
    EXPECT_EQ(errorOf([&] { parseWire(exact + " ", 100); }), "Message size exceeds protocol limit");
}

TEST(ParseWire, RejectsNonObjectsAndBadSyntax) {
    EXPECT_EQ(errorOf([] { parseWire("[1,2]", 100); }), "Invalid protocol message");
    EXPECT_EQ(errorOf([] { parseWire("\"text\"", 100); }), "Invalid protocol message");
    EXPECT_EQ(errorOf([] { parseWire("null", 100); }), "Invalid protocol message");
    EXPECT_EQ(errorOf([] { parseWire("{\"a\":1", 100); }), "Invalid JSON message");
    EXPECT_EQ(errorOf([] { parseWire("{\"a\":1} x", 100); }), "Invalid JSON message");
    EXPECT_EQ(errorOf([] { parseWire("{\"a\":1}{}", 100); }), "Invalid JSON message");
    EXPECT_EQ(errorOf([] { parseWire("{/*c*/\"a\":1}", 100); }), "Invalid JSON message");
    EXPECT_EQ(errorOf([] { parseWire("{\"a\":\"\xff\"}", 100); }), "Invalid JSON message");
    EXPECT_EQ(parseWire(" {\"a\":1} \n", 100)["a"], 1);
}

std::string nestedObjects(int levels, bool withMember) {
    std::string text;
    for (int i = 0; i < levels; ++i) text += (i + 1 < levels || withMember) ? "{\"k\":" : "{";
    if (withMember) text += "1";
    for (int i = 0; i < levels; ++i) text += "}";
    return text;
}

TEST(ParseWire, NestingDepthRule) {
    // 32 nested objects each holding a member parse.
    EXPECT_NO_THROW(parseWire(nestedObjects(32, true), 4096));
    // A member inside the 33rd object fails; the 33rd object may exist while empty.
    EXPECT_EQ(errorOf([] { parseWire(nestedObjects(33, true), 4096); }), "JSON nesting limit exceeded");
    EXPECT_NO_THROW(parseWire(nestedObjects(33, false), 4096));
    EXPECT_EQ(errorOf([] { parseWire(nestedObjects(34, false), 4096); }), "JSON nesting limit exceeded");
    // Arrays count like objects.
    std::string arrays = "{\"a\":" + std::string(31, '[') + "1" + std::string(31, ']') + "}";
    EXPECT_NO_THROW(parseWire(arrays, 4096));
    arrays = "{\"a\":" + std::string(32, '[') + "1" + std::string(32, ']') + "}";
    EXPECT_EQ(errorOf([&] { parseWire(arrays, 4096); }), "JSON nesting limit exceeded");
    // Depth is tracked across siblings: closing containers lowers it again.
    std::string siblings = "{\"a\":" + std::string(31, '[') + std::string(31, ']') + ",\"b\":" +
                           std::string(31, '[') + "true" + std::string(31, ']') + "}";
    EXPECT_NO_THROW(parseWire(siblings, 4096));
}

TEST(ParseWire, SyntaxErrorBeforeDeepNestingReportsSyntax) {
    const std::string text = "{\"a\":x," + std::string(40, '[') + std::string(40, ']') + "}";
    EXPECT_EQ(errorOf([&] { parseWire(text, 4096); }), "Invalid JSON message");
}

TEST(ParseWire, UniqueNamesVariantRefusesANameGivenTwice) {
    // The plain parser keeps the last of two equal names; the variant for text that is passed on
    // refuses them, at any depth and after unescaping.
    EXPECT_EQ(parseWire(R"({"a":1,"a":2})", 100)["a"], 2);
    for (const char* text : {R"({"a":1,"a":2})", R"({"x":{"b":1,"c":2,"b":3}})", R"({"x":[{"k":1},{"k":1,"\u006b":2}]})",
                             R"({"t":"offer","p":{},"t":"ice"})"}) {
        EXPECT_EQ(errorOf([&] { parseWireUnique(text, 100); }), kDuplicateMemberName) << text;
    }
    // The same name in different objects, or as a value, is fine; other errors are parseWire's.
    EXPECT_EQ(parseWireUnique(R"({"a":{"a":{"a":"a"}},"b":[{"a":1},{"a":2}]})", 100)["b"].size(), 2u);
    EXPECT_EQ(errorOf([] { parseWireUnique("[1]", 100); }), "Invalid protocol message");
    EXPECT_EQ(errorOf([] { parseWireUnique("{\"a\":", 100); }), "Invalid JSON message");
    EXPECT_EQ(errorOf([&] { parseWireUnique(nestedObjects(33, true), 4096); }), "JSON nesting limit exceeded");
}

TEST(Validators, IdentifierAndCredential) {
    EXPECT_NO_THROW(validateIdentifier(std::string(256, 'a')));
    EXPECT_NO_THROW(validateIdentifier("Az09-_"));
    EXPECT_EQ(errorOf([] { validateIdentifier(std::string(257, 'a')); }), "Invalid identifier");
    EXPECT_EQ(errorOf([] { validateIdentifier("a.b"); }), "Invalid identifier");
    EXPECT_EQ(errorOf([] { validateIdentifier(""); }), "Invalid identifier");
    EXPECT_EQ(errorOf([] { validateIdentifier("\xc3\xa9"); }), "Invalid identifier");

    EXPECT_NO_THROW(validateCredential(std::string(4096, '~')));
    EXPECT_NO_THROW(validateCredential("!abc~"));
    EXPECT_EQ(errorOf([] { validateCredential("a b"); }), "Invalid credential");
    EXPECT_EQ(errorOf([] { validateCredential(""); }), "Invalid credential");
    EXPECT_EQ(errorOf([] { validateCredential(std::string(4097, 'a')); }), "Invalid credential");
    EXPECT_EQ(errorOf([] { validateCredential(std::string("a\0b", 3)); }), "Invalid credential");
    EXPECT_EQ(errorOf([] { validateCredential("a\x7f"); }), "Invalid credential");
}

TEST(ServerOriginParse, NormalisesHttpsHosts) {
    const auto o = parseServerOrigin("https://Control.Example.COM/");
    EXPECT_EQ(o.origin, "https://control.example.com");
    EXPECT_EQ(o.host, "control.example.com");
    EXPECT_EQ(o.port, 443);
    EXPECT_TRUE(o.secure);

    EXPECT_EQ(parseServerOrigin("https://a.example:443").origin, "https://a.example");
    EXPECT_EQ(parseServerOrigin("https://a.example:8443").origin, "https://a.example:8443");
    EXPECT_EQ(parseServerOrigin("https://a.example:00443").port, 443);
    EXPECT_EQ(parseServerOrigin("https://a.example:80").origin, "https://a.example:80");
    EXPECT_EQ(parseServerOrigin("http://localhost:80").origin, "http://localhost");
}

TEST(ServerOriginParse, LoopbackHttpOnly) {
    const auto local = parseServerOrigin("http://localhost:8480");
    EXPECT_FALSE(local.secure);
    EXPECT_EQ(local.port, 8480);
    EXPECT_EQ(local.origin, "http://localhost:8480");
    EXPECT_EQ(parseServerOrigin("http://LOCALHOST").host, "localhost");
    EXPECT_EQ(parseServerOrigin("http://127.0.0.1:1").origin, "http://127.0.0.1:1");

    const auto v6 = parseServerOrigin("http://[::1]:8480");
    EXPECT_EQ(v6.host, "::1");
    EXPECT_EQ(v6.origin, "http://[::1]:8480");
    EXPECT_EQ(parseServerOrigin("https://[FE80::1]").origin, "https://[fe80::1]");

    const char* scheme = "Use HTTPS, or HTTP on exact loopback for development";
    EXPECT_EQ(errorOf([] { parseServerOrigin("http://example.com"); }), scheme);
    EXPECT_EQ(errorOf([] { parseServerOrigin("http://127.0.0.2"); }), scheme);
    EXPECT_EQ(errorOf([] { parseServerOrigin("HTTPS://example.com"); }), scheme);
    EXPECT_EQ(errorOf([] { parseServerOrigin("ftp://example.com"); }), scheme);
}

TEST(ServerOriginParse, Refusals) {
    const char* ipm = "Invalid protocol message";
    EXPECT_EQ(errorOf([] { parseServerOrigin("https://user@example.com"); }),
              "Origin cannot contain credentials, query or fragment");
    EXPECT_EQ(errorOf([] { parseServerOrigin("https://example.com/?a"); }),
              "Origin cannot contain credentials, query or fragment");
    EXPECT_EQ(errorOf([] { parseServerOrigin("https://example.com#x"); }),
              "Origin cannot contain credentials, query or fragment");
    EXPECT_EQ(errorOf([] { parseServerOrigin("https://"); }), "Server origin requires a host");
    EXPECT_EQ(errorOf([] { parseServerOrigin("https://example.com/api"); }), ipm);
    EXPECT_EQ(errorOf([] { parseServerOrigin("https://example.com//"); }), ipm);
    EXPECT_EQ(errorOf([] { parseServerOrigin("https:///"); }), ipm);
    EXPECT_EQ(errorOf([] { parseServerOrigin("https://example.com:"); }), ipm);
    EXPECT_EQ(errorOf([] { parseServerOrigin("https://example.com:0"); }), ipm);
    EXPECT_EQ(errorOf([] { parseServerOrigin("https://example.com:65536"); }), ipm);
    EXPECT_EQ(errorOf([] { parseServerOrigin("https://example.com:99999999999999999999"); }), ipm);
    EXPECT_EQ(errorOf([] { parseServerOrigin("https://example.com:+1"); }), ipm);
    EXPECT_EQ(errorOf([] { parseServerOrigin("https://.example.com"); }), ipm);
    EXPECT_EQ(errorOf([] { parseServerOrigin("https://example.com."); }), ipm);
    EXPECT_EQ(errorOf([] { parseServerOrigin("https://exa_mple.com"); }), ipm);
    EXPECT_EQ(errorOf([] { parseServerOrigin("https://[::1"); }), ipm);
    EXPECT_EQ(errorOf([] { parseServerOrigin("https://[]"); }), ipm);
    EXPECT_EQ(errorOf([] { parseServerOrigin("https://[1234]"); }), ipm);
    EXPECT_EQ(errorOf([] { parseServerOrigin("https://[::g]"); }), ipm);
    EXPECT_EQ(errorOf([] { parseServerOrigin("https://[::1]x"); }), ipm);
    EXPECT_EQ(errorOf([] { parseServerOrigin("https://[" + std::string(40, '1') + ":]"); }), ipm);
    EXPECT_EQ(errorOf([] { parseServerOrigin("https://" + std::string(254, 'a')); }), ipm);
    EXPECT_NO_THROW(parseServerOrigin("https://" + std::string(253, 'a')));
    EXPECT_EQ(errorOf([] { parseServerOrigin("https://exa mple.com"); }), "Invalid server origin");
    EXPECT_EQ(errorOf([] { parseServerOrigin("https://example.com\\x"); }), "Invalid server origin");
    EXPECT_EQ(errorOf([] { parseServerOrigin("https://" + std::string(2041, 'a')); }),
              "Invalid server origin");
}

TEST(Accessors, RequireStringBoolAndIntegers) {
    const Json o = Json::parse(R"({"s":"abc","e":"","b":true,"n":1,"u":18446744073709551615,
                                   "neg":-1,"f":1.0})");
    EXPECT_EQ(requireString(o, "s", 3), "abc");
    EXPECT_EQ(requireString(o, "e", 0), "");
    EXPECT_EQ(errorOf([&] { requireString(o, "s", 2); }), "Invalid protocol message");
    EXPECT_EQ(errorOf([&] { requireString(o, "n", 10); }), "Invalid protocol message");
    EXPECT_EQ(errorOf([&] { requireString(o, "missing", 10); }), "Invalid protocol message");
    EXPECT_EQ(errorOf([&] { requireString(Json::array(), "s", 10); }), "Invalid protocol message");
    EXPECT_TRUE(requireBool(o, "b"));
    EXPECT_EQ(errorOf([&] { requireBool(o, "n"); }), "Invalid protocol message");
    EXPECT_TRUE(isNonNegativeInteger(o["n"]));
    EXPECT_TRUE(isNonNegativeInteger(o["u"]));
    EXPECT_TRUE(isNonNegativeInteger(Json(0)));
    EXPECT_FALSE(isNonNegativeInteger(o["neg"]));
    EXPECT_FALSE(isNonNegativeInteger(o["f"]));
    EXPECT_FALSE(isNonNegativeInteger(o["s"]));
}

TEST(ProtocolErrorType, CopiesItsText) {
    std::string text = "Some failure";
    ProtocolError error(text);
    text[0] = 'X';
    const ProtocolError copy = error;
    EXPECT_STREQ(copy.what(), "Some failure");
    EXPECT_STREQ(ProtocolError("c").what(), "c");
}

}  // namespace
}  // namespace murel
