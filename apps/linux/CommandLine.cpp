#include "CommandLine.hpp"

#include <array>
#include <optional>
#include <utility>

namespace murel {
namespace {

constexpr std::array<std::pair<std::string_view, CliAction>, 6> kActions{{
    {"signup", CliAction::SignUp},
    {"signin", CliAction::SignIn},
    {"restore", CliAction::Restore},
    {"signout", CliAction::SignOut},
    {"devices", CliAction::Devices},
    {"online", CliAction::Online},
}};

bool isHelp(std::string_view arg) { return arg == "-h" || arg == "--help" || arg == "help"; }

// Characters of UTF-8 text: bytes that do not continue a sequence.
std::size_t characterCount(std::string_view text) {
    std::size_t count = 0;
    for (const char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
    }
    return count;
}

bool hasControlCharacter(std::string_view text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return true;
    }
    return false;
}

}  // namespace

std::string_view actionName(CliAction action) {
    for (const auto& [name, value] : kActions) {
        if (value == action) return name;
    }
    return "help";
}

bool actionNeedsPassword(CliAction action) {
    return action == CliAction::SignUp || action == CliAction::SignIn;
}

CliOptions parseCommandLine(const std::vector<std::string>& args) {
    CliOptions options;
    if (args.empty()) throw UsageError("missing command");
    for (const auto& arg : args) {
        if (isHelp(arg)) return options;  // help wins over everything else on the line
    }

    const std::string& word = args[0];
    bool known = false;
    for (const auto& [name, value] : kActions) {
        if (word == name) {
            options.action = value;
            known = true;
        }
    }
    if (!known) {
        if (!word.empty() && word[0] == '-') throw UsageError("missing command before " + word);
        throw UsageError("unknown command '" + word + "'");
    }

    std::optional<std::string> server;
    std::optional<std::string> email;
    std::optional<std::string> name;
    std::optional<bool> role;

    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.rfind("--", 0) != 0) throw UsageError("unexpected argument '" + arg + "'");
        std::string key = arg;
        std::optional<std::string> inlineValue;
        if (const auto eq = arg.find('='); eq != std::string::npos) {
            key = arg.substr(0, eq);
            inlineValue = arg.substr(eq + 1);
        }

        if (key == "--host" || key == "--client") {
            if (inlineValue) throw UsageError("option " + key + " takes no value");
            const bool host = key == "--host";
            if (role && *role != host) throw UsageError("--host and --client exclude each other");
            if (role) throw UsageError("option " + key + " given twice");
            role = host;
            continue;
        }

        std::optional<std::string>* slot = nullptr;
        if (key == "--server") slot = &server;
        else if (key == "--email") slot = &email;
        else if (key == "--name") slot = &name;
        else if (key == "--password")
            throw UsageError("unknown option --password (the password is read from the terminal, or from "
                             "standard input when it is not a terminal)");
        else
            throw UsageError("unknown option " + key);

        if (*slot) throw UsageError("option " + key + " given twice");
        std::string value;
        if (inlineValue) {
            value = *inlineValue;
        } else {
            if (i + 1 >= args.size()) throw UsageError("option " + key + " needs a value");
            value = args[++i];
        }
        if (value.empty()) throw UsageError("option " + key + " needs a non-empty value");
        *slot = std::move(value);
    }

    if (name && !actionNeedsPassword(options.action)) {
        throw UsageError("--name applies only to signup and signin");
    }
    if (!server) throw UsageError("--server is required (for example --server http://127.0.0.1:8480)");
    if (!email) throw UsageError("--email is required");
    if (name) {
        if (characterCount(*name) > kMaxDeviceNameCharacters) {
            throw UsageError("--name is longer than 80 characters");
        }
        if (hasControlCharacter(*name)) throw UsageError("--name holds a control character");
    }
    if (hasControlCharacter(*email)) throw UsageError("--email holds a control character");

    options.server = std::move(*server);
    options.email = std::move(*email);
    if (name) options.deviceName = std::move(*name);
    options.hostRole = role.value_or(false);
    return options;
}

std::string cliUsage() {
    return "Usage: murel COMMAND --server ORIGIN --email ADDRESS [--host | --client] [--name NAME]\n"
           "\n"
           "Commands:\n"
           "  signup    create the account, register this device and save the sign-in\n"
           "  signin    sign in; reuses this device's saved registration when there is one\n"
           "  restore   connect with the saved sign-in (no password)\n"
           "  signout   revoke this device, end the server sign-in and remove the saved sign-in\n"
           "  devices   connect with the saved sign-in and list the account's devices\n"
           "  online    stay connected with the saved sign-in and print the device list and\n"
           "            status whenever they change, until Ctrl-C\n"
           "\n"
           "Options:\n"
           "  --server ORIGIN   control service, e.g. http://127.0.0.1:8480 or https://murel.example\n"
           "  --email ADDRESS   account e-mail\n"
           "  --name NAME       device name when registering (signup, signin; default: host name)\n"
           "  --host            use the host profile of this device\n"
           "  --client          use the viewer-only profile (default)\n"
           "  -h, --help        this text\n"
           "\n"
           "signup and signin read the password from the terminal without echo, or from standard\n"
           "input when it is not a terminal. The saved sign-in is kept per server, account and\n"
           "profile under $XDG_DATA_HOME/murel/credentials (default ~/.local/share).\n"
           "Exit status: 0 success, 1 the operation failed, 2 bad command line.\n";
}

}  // namespace murel
