#pragma once
// The command line of `murel`: one action and the account form's fields as options.

#include <cstdint>
#include <optional>
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
    Host,  // offer this device for remote sessions until Ctrl-C
    View,  // view and control another device of the account
};

// WIDTHxHEIGHT with an optional @FPS (0 when not given).
struct PictureSize {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t fps = 0;

    bool operator==(const PictureSize&) const = default;
};

struct CliOptions {
    CliAction action = CliAction::Help;
    std::string server;
    std::string email;
    std::string deviceName;  // empty: the default name is chosen by the caller
    bool hostRole = false;   // --host; the default role is client (--client), host for `host`

    // host
    bool synthetic = false;             // --synthetic: a moving test scene instead of $DISPLAY
    std::optional<PictureSize> scene;   // --scene WxH[@FPS]: the synthetic scene's size and rate
    // view
    std::string device;                 // the host, by name or id
    std::optional<std::string> recordDir;  // --record DIR: no window, presented pictures recorded
    std::optional<PictureSize> mode;    // --mode WxH@FPS: asked of the host once it advertises modes
    std::optional<PictureSize> window;  // --window WxH: the viewer window's first size
    // host and view
    bool relayOnly = false;             // --relay-only: connect through the TURN relay only
    // any command
    bool verbose = false;               // --verbose: the connection layer's diagnostics on stderr
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

// Reads WIDTHxHEIGHT[@FPS]; `what` names the option in the error. Sizes are 16...8192 and even
// (the encoders work on whole 2x2 blocks), rates 1...240. Throws UsageError.
PictureSize parsePictureSize(std::string_view text, std::string_view what, bool fpsRequired);

// Whether the action asks for a password.
bool actionNeedsPassword(CliAction action);

std::string cliUsage();

}  // namespace murel
