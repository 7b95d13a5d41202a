#pragma once
// The command line of `murel`: one action and the account form's fields as options.

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace murel {

enum class CliAction {
    Help,
    SignUp,
    SignIn,
    Restore,
    SignOut,
    Devices,
    Online,
};

struct CliOptions {
    CliAction action = CliAction::Help;
    std::string server;
    std::string email;
    std::string deviceName;  // empty: the default name is chosen by the caller
    bool hostRole = false;   // --host; the default role is client (--client)
};

// A bad command line; what() is one line for the user, without the program name.
class UsageError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Longest device name accepted, in characters (the Windows account form's limit).
inline constexpr std::size_t kMaxDeviceNameCharacters = 80;

// Parses argv without the program name. Options accept "--opt value" and "--opt=value".
// Throws UsageError.
CliOptions parseCommandLine(const std::vector<std::string>& args);

// The action's word as typed ("signup", ...).
std::string_view actionName(CliAction action);

// Whether the action asks for a password.
bool actionNeedsPassword(CliAction action);

std::string cliUsage();

}  // namespace murel
