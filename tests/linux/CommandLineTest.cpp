// The command line of `murel`: what it accepts and the clear refusals of everything else.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CommandLine.hpp"

namespace murel {
namespace {

std::string refusal(const std::vector<std::string>& args) {
    try {
        parseCommandLine(args);
    } catch (const UsageError& e) {
        return e.what();
    }
    return "accepted";
}

TEST(CommandLine, EveryActionWithTheFormFields) {
    const CliOptions signUp = parseCommandLine(
        {"signup", "--server", "http://127.0.0.1:8480", "--email=a@example.com", "--name", "Desk PC", "--host"});
    EXPECT_EQ(signUp.action, CliAction::SignUp);
    EXPECT_EQ(signUp.server, "http://127.0.0.1:8480");
    EXPECT_EQ(signUp.email, "a@example.com");
    EXPECT_EQ(signUp.deviceName, "Desk PC");
    EXPECT_TRUE(signUp.hostRole);

    const CliOptions restore = parseCommandLine({"restore", "--email", "b@example.com", "--server=https://m.example"});
    EXPECT_EQ(restore.action, CliAction::Restore);
    EXPECT_FALSE(restore.hostRole) << "the default profile is client";
    EXPECT_TRUE(restore.deviceName.empty());

    const std::vector<std::pair<std::string, CliAction>> words = {
        {"signin", CliAction::SignIn}, {"signout", CliAction::SignOut},
        {"devices", CliAction::Devices}, {"online", CliAction::Online}};
    for (const auto& [word, action] : words) {
        const CliOptions options = parseCommandLine({word, "--server", "http://h:1", "--email", "e", "--client"});
        EXPECT_EQ(options.action, action) << word;
        EXPECT_EQ(actionName(action), word);
        EXPECT_FALSE(options.hostRole);
    }
    EXPECT_TRUE(actionNeedsPassword(CliAction::SignUp));
    EXPECT_TRUE(actionNeedsPassword(CliAction::SignIn));
    EXPECT_FALSE(actionNeedsPassword(CliAction::Restore));
    EXPECT_FALSE(actionNeedsPassword(CliAction::SignOut));
}

TEST(CommandLine, HelpWinsAnywhere) {
    EXPECT_EQ(parseCommandLine({"--help"}).action, CliAction::Help);
    EXPECT_EQ(parseCommandLine({"signin", "--bogus", "-h"}).action, CliAction::Help);
    EXPECT_EQ(parseCommandLine({"help"}).action, CliAction::Help);
    EXPECT_NE(cliUsage().find("signup"), std::string::npos);
}

TEST(CommandLine, RefusalsSayWhatIsWrong) {
    const std::vector<std::string> base = {"--server", "http://h:1", "--email", "e@x"};
    auto with = [&](std::vector<std::string> head, std::vector<std::string> tail = {}) {
        head.insert(head.end(), base.begin(), base.end());
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    EXPECT_EQ(refusal({}), "missing command");
    EXPECT_EQ(refusal({"sign-in"}), "unknown command 'sign-in'");
    EXPECT_EQ(refusal({"--server", "x"}), "missing command before --server");
    EXPECT_EQ(refusal(with({"signin"}, {"--bogus"})), "unknown option --bogus");
    EXPECT_EQ(refusal(with({"signin"}, {"extra"})), "unexpected argument 'extra'");
    EXPECT_EQ(refusal(with({"signin"}, {"--server", "http://other:2"})), "option --server given twice");
    EXPECT_EQ(refusal(with({"signin"}, {"--host", "--client"})), "--host and --client exclude each other");
    EXPECT_EQ(refusal(with({"signin"}, {"--host", "--host"})), "option --host given twice");
    EXPECT_EQ(refusal(with({"signin"}, {"--host=yes"})), "option --host takes no value");
    EXPECT_EQ(refusal(with({"signin"}, {"--name"})), "option --name needs a value");
    EXPECT_EQ(refusal(with({"signin"}, {"--name="})), "option --name needs a non-empty value");
    EXPECT_EQ(refusal(with({"devices"}, {"--name", "pc"})), "--name applies only to signup, signin and host");
    EXPECT_EQ(refusal({"signin", "--email", "e@x"}),
              "--server is required (for example --server http://127.0.0.1:8480)");
    EXPECT_EQ(refusal({"signin", "--server", "http://h:1"}), "--email is required");
    EXPECT_NE(refusal(with({"signin"}, {"--password", "hunter2"})).find("read from the terminal"), std::string::npos);
    EXPECT_EQ(refusal(with({"signin"}, {"--name", "a\tb"})), "--name holds a control character");
    EXPECT_EQ(refusal({"signin", "--server", "http://h:1", "--email", "e\n@x"}), "--email holds a control character");
}

TEST(CommandLine, DeviceNameLimitCountsCharactersNotBytes) {
    std::string eighty;
    for (int i = 0; i < 80; ++i) eighty += "\xEA\xB0\x80";  // a Hangul syllable, 3 bytes
    EXPECT_EQ(parseCommandLine({"signup", "--server", "http://h:1", "--email", "e", "--name", eighty}).deviceName,
              eighty);
    EXPECT_EQ(refusal({"signup", "--server", "http://h:1", "--email", "e", "--name", eighty + "x"}),
              "--name is longer than 80 characters");
}

TEST(CommandLine, HostAndViewSessions) {
    const CliOptions host = parseCommandLine(
        {"host", "--server", "http://h:1", "--email", "e", "--synthetic", "--scene=640x360@30", "--name", "Lab"});
    EXPECT_EQ(host.action, CliAction::Host);
    EXPECT_TRUE(host.hostRole) << "hosting uses the host profile without being told";
    EXPECT_TRUE(host.synthetic);
    EXPECT_EQ(host.scene, (PictureSize{640, 360, 30}));
    EXPECT_EQ(host.deviceName, "Lab");
    EXPECT_FALSE(host.relayOnly);
    EXPECT_FALSE(actionNeedsPassword(CliAction::Host)) << "a saved sign-in is restored first";

    const CliOptions view = parseCommandLine({"view", "--server", "http://h:1", "Lab PC", "--email", "e",
                                              "--mode", "1280x720@30", "--record", "/tmp/r", "--relay-only"});
    EXPECT_EQ(view.action, CliAction::View);
    EXPECT_EQ(view.device, "Lab PC") << "the device may come anywhere among the options";
    EXPECT_FALSE(view.hostRole);
    EXPECT_EQ(view.mode, (PictureSize{1280, 720, 30}));
    EXPECT_EQ(view.recordDir, "/tmp/r");
    EXPECT_TRUE(view.relayOnly);
    EXPECT_FALSE(view.window);
    EXPECT_TRUE(parseCommandLine({"view", "d", "--server", "http://h:1", "--email", "e", "--host"}).hostRole);
    EXPECT_EQ(parseCommandLine({"view", "d", "--server", "http://h:1", "--email", "e", "--window", "640x360"}).window,
              (PictureSize{640, 360, 0}));
}

TEST(CommandLine, SessionOptionsAreCheckedWhereTheyApply) {
    const std::vector<std::string> base = {"--server", "http://h:1", "--email", "e@x"};
    auto with = [&](std::vector<std::string> head, std::vector<std::string> tail = {}) {
        head.insert(head.end(), base.begin(), base.end());
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    EXPECT_EQ(refusal(with({"view"})), "view needs the device to connect to, by name or id");
    EXPECT_EQ(refusal(with({"view", "a", "b"})), "unexpected argument 'b'");
    EXPECT_EQ(refusal(with({"host", "dev"})), "unexpected argument 'dev'");
    EXPECT_EQ(refusal(with({"host"}, {"--client"})), "host needs the host profile (--client does not apply)");
    EXPECT_EQ(refusal(with({"view", "d"}, {"--synthetic"})), "--synthetic applies only to host");
    EXPECT_EQ(refusal(with({"host"}, {"--record", "x"})), "--record applies only to view");
    EXPECT_EQ(refusal(with({"host"}, {"--mode", "640x360@30"})), "--mode applies only to view");
    EXPECT_EQ(refusal(with({"online"}, {"--relay-only"})), "--relay-only applies only to host and view");
    EXPECT_EQ(refusal(with({"host"}, {"--scene", "640x360"})), "--scene applies only with --synthetic");
    EXPECT_EQ(refusal(with({"host"}, {"--synthetic", "--synthetic"})), "option --synthetic given twice");
    EXPECT_EQ(refusal(with({"host"}, {"--synthetic=1"})), "option --synthetic takes no value");
    EXPECT_EQ(refusal(with({"view", "d"}, {"--record", "r", "--window", "640x360"})),
              "--record and --window exclude each other (a recording viewer has no window)");
    EXPECT_EQ(refusal(with({"view", "d\x01"})), "the device holds a control character");
}

TEST(CommandLine, VerboseIsAFlagOfEveryCommand) {
    EXPECT_FALSE(parseCommandLine({"devices", "--server", "http://h:1", "--email", "e"}).verbose);
    EXPECT_TRUE(parseCommandLine({"view", "d", "--verbose", "--server", "http://h:1", "--email", "e"}).verbose);
    EXPECT_TRUE(parseCommandLine({"host", "--server", "http://h:1", "--email", "e", "--verbose"}).verbose);
    EXPECT_TRUE(parseCommandLine({"signin", "--verbose", "--server", "http://h:1", "--email", "e"}).verbose);
    EXPECT_EQ(refusal({"host", "--server", "http://h:1", "--email", "e", "--verbose", "--verbose"}),
              "option --verbose given twice");
    EXPECT_EQ(refusal({"host", "--server", "http://h:1", "--email", "e", "--verbose=yes"}),
              "option --verbose takes no value");
    EXPECT_EQ(refusal({"--verbose", "host"}), "missing command before --verbose");
    EXPECT_NE(cliUsage().find("  --verbose "), std::string::npos) << "documented in the usage text";
}

TEST(CommandLine, PictureSizes) {
    EXPECT_EQ(parsePictureSize("1920x1080@60", "--mode", true), (PictureSize{1920, 1080, 60}));
    EXPECT_EQ(parsePictureSize("16x8192", "--scene", false), (PictureSize{16, 8192, 0}));
    const auto refused = [](std::string_view text, bool fps) {
        try {
            parsePictureSize(text, "--mode", fps);
        } catch (const UsageError& e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    EXPECT_EQ(refused("1280x720", true), "--mode takes WIDTHxHEIGHT@FPS, for example 1280x720@30 (got '1280x720')");
    for (const char* bad : {"", "x", "1280", "1280x", "x720", "1280x720@", "-2x720", "1280x72o", "1280 x720",
                            "1280x720@30@30", "999999x720"}) {
        EXPECT_NE(refused(bad, false).find("takes WIDTHxHEIGHT[@FPS]"), std::string::npos) << bad;
    }
    EXPECT_EQ(refused("1281x720", false), "--mode: sides must be even numbers from 16 to 8192");
    EXPECT_EQ(refused("14x720", false), "--mode: sides must be even numbers from 16 to 8192");
    EXPECT_EQ(refused("8194x720", false), "--mode: sides must be even numbers from 16 to 8192");
    EXPECT_EQ(refused("640x360@0", false), "--mode: the frame rate must be 1 to 240");
    EXPECT_EQ(refused("640x360@241", false), "--mode: the frame rate must be 1 to 240");
}

}  // namespace
}  // namespace murel
