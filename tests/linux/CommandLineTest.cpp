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
    EXPECT_EQ(refusal(with({"devices"}, {"--name", "pc"})), "--name applies only to signup and signin");
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

}  // namespace
}  // namespace murel
