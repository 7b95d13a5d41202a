#include "CommandLine.hpp"

#include <array>
#include <optional>
#include <utility>

namespace murel {
namespace {

constexpr std::array<std::pair<std::string_view, CliAction>, 8> kActions{{
    {"signup", CliAction::SignUp},
    {"signin", CliAction::SignIn},
    {"restore", CliAction::Restore},
    {"signout", CliAction::SignOut},
    {"devices", CliAction::Devices},
    {"online", CliAction::Online},
    {"host", CliAction::Host},
    {"view", CliAction::View},
}};

constexpr std::int32_t kMinSide = 16;
constexpr std::int32_t kMaxSide = 8192;
constexpr std::int32_t kMaxFps = 240;

// A decimal number of at most 5 digits, no sign; nothing otherwise.
std::optional<std::int32_t> smallNumber(std::string_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    std::int32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

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

PictureSize parsePictureSize(std::string_view text, std::string_view what, bool fpsRequired) {
    const std::string form = fpsRequired ? "WIDTHxHEIGHT@FPS" : "WIDTHxHEIGHT[@FPS]";
    const auto bad = [&] {
        return UsageError(std::string(what) + " takes " + form + ", for example " +
                          (fpsRequired ? "1280x720@30" : "1280x720") + " (got '" + std::string(text) + "')");
    };
    const auto x = text.find('x');
    if (x == std::string_view::npos) throw bad();
    const auto at = text.find('@', x);
    const auto width = smallNumber(text.substr(0, x));
    const auto height = smallNumber(text.substr(x + 1, at == std::string_view::npos ? std::string_view::npos : at - x - 1));
    std::optional<std::int32_t> fps;
    if (at != std::string_view::npos) {
        fps = smallNumber(text.substr(at + 1));
        if (!fps) throw bad();
    }
    if (!width || !height || (fpsRequired && !fps)) throw bad();
    const auto side = [&](std::int32_t value) {
        if (value < kMinSide || value > kMaxSide || value % 2 != 0) {
            throw UsageError(std::string(what) + ": sides must be even numbers from " + std::to_string(kMinSide) +
                             " to " + std::to_string(kMaxSide));
        }
    };
    side(*width);
    side(*height);
    if (fps && (*fps < 1 || *fps > kMaxFps)) {
        throw UsageError(std::string(what) + ": the frame rate must be 1 to " + std::to_string(kMaxFps));
    }
    return PictureSize{*width, *height, fps.value_or(0)};
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
    std::optional<std::string> scene;
    std::optional<std::string> record;
    std::optional<std::string> mode;
    std::optional<std::string> window;
    std::optional<bool> synthetic;
    std::optional<bool> relayOnly;
    std::optional<bool> verbose;
    std::optional<std::string> device;

    const bool host = options.action == CliAction::Host;
    const bool view = options.action == CliAction::View;
    const auto onlyFor = [&](const std::string& key, bool allowed, const char* actions) {
        if (!allowed) throw UsageError(key + " applies only to " + actions);
    };

    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.rfind("--", 0) != 0) {
            // The one positional argument: the device a viewer connects to.
            if (view && !device && !arg.empty() && arg[0] != '-') {
                device = arg;
                continue;
            }
            throw UsageError("unexpected argument '" + arg + "'");
        }
        std::string key = arg;
        std::optional<std::string> inlineValue;
        if (const auto eq = arg.find('='); eq != std::string::npos) {
            key = arg.substr(0, eq);
            inlineValue = arg.substr(eq + 1);
        }

        if (key == "--host" || key == "--client") {
            if (inlineValue) throw UsageError("option " + key + " takes no value");
            const bool hostProfile = key == "--host";
            if (role && *role != hostProfile) throw UsageError("--host and --client exclude each other");
            if (role) throw UsageError("option " + key + " given twice");
            role = hostProfile;
            continue;
        }
        std::optional<bool>* flag = nullptr;
        if (key == "--synthetic") {
            onlyFor(key, host, "host");
            flag = &synthetic;
        } else if (key == "--relay-only") {
            onlyFor(key, host || view, "host and view");
            flag = &relayOnly;
        } else if (key == "--verbose") {
            flag = &verbose;
        }
        if (flag) {
            if (inlineValue) throw UsageError("option " + key + " takes no value");
            if (*flag) throw UsageError("option " + key + " given twice");
            *flag = true;
            continue;
        }

        std::optional<std::string>* slot = nullptr;
        if (key == "--server") slot = &server;
        else if (key == "--email") slot = &email;
        else if (key == "--name") slot = &name;
        else if (key == "--scene") {
            onlyFor(key, host, "host");
            slot = &scene;
        } else if (key == "--record") {
            onlyFor(key, view, "view");
            slot = &record;
        } else if (key == "--mode") {
            onlyFor(key, view, "view");
            slot = &mode;
        } else if (key == "--window") {
            onlyFor(key, view, "view");
            slot = &window;
        } else if (key == "--password")
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

    if (name && !actionNeedsPassword(options.action) && !host) {
        throw UsageError("--name applies only to signup, signin and host");
    }
    if (host && role && !*role) throw UsageError("host needs the host profile (--client does not apply)");
    if (view && !device) throw UsageError("view needs the device to connect to, by name or id");
    if (!server) throw UsageError("--server is required (for example --server http://127.0.0.1:8480)");
    if (!email) throw UsageError("--email is required");
    if (name) {
        if (characterCount(*name) > kMaxDeviceNameCharacters) {
            throw UsageError("--name is longer than 80 characters");
        }
        if (hasControlCharacter(*name)) throw UsageError("--name holds a control character");
    }
    if (hasControlCharacter(*email)) throw UsageError("--email holds a control character");
    if (device && hasControlCharacter(*device)) throw UsageError("the device holds a control character");
    if (scene && !synthetic) throw UsageError("--scene applies only with --synthetic");
    if (record && window) throw UsageError("--record and --window exclude each other (a recording viewer has no window)");

    options.server = std::move(*server);
    options.email = std::move(*email);
    if (name) options.deviceName = std::move(*name);
    options.hostRole = role.value_or(host);
    options.synthetic = synthetic.value_or(false);
    options.relayOnly = relayOnly.value_or(false);
    options.verbose = verbose.value_or(false);
    if (scene) options.scene = parsePictureSize(*scene, "--scene", false);
    if (mode) options.mode = parsePictureSize(*mode, "--mode", true);
    if (window) {
        options.window = parsePictureSize(*window, "--window", false);
        if (options.window->fps != 0) throw UsageError("--window takes WIDTHxHEIGHT without a rate");
    }
    if (record) options.recordDir = std::move(*record);
    if (device) options.device = std::move(*device);
    return options;
}

std::string cliUsage() {
    return "Usage: murel COMMAND --server ORIGIN --email ADDRESS [--host | --client] [--name NAME]\n"
           "       murel host --server ORIGIN --email ADDRESS [--synthetic [--scene WxH[@FPS]]] [--name NAME]\n"
           "       murel view DEVICE --server ORIGIN --email ADDRESS [--record DIR | --window WxH] [--mode WxH@FPS]\n"
           "\n"
           "Commands:\n"
           "  signup    create the account, register this device and save the sign-in\n"
           "  signin    sign in; reuses this device's saved registration when there is one\n"
           "  restore   connect with the saved sign-in (no password)\n"
           "  signout   revoke this device, end the server sign-in and remove the saved sign-in\n"
           "  devices   connect with the saved sign-in and list the account's devices\n"
           "  online    stay connected with the saved sign-in and print the device list and\n"
           "            status whenever they change, until Ctrl-C\n"
           "  host      offer this device for remote sessions until Ctrl-C: captures $DISPLAY (or a\n"
           "            synthetic test scene) and injects the viewer's input into $DISPLAY; uses the\n"
           "            sign-in saved with --host, or asks the password and registers as --name\n"
           "  view      connect to DEVICE (a ready host, by name or id) and show it in a window on\n"
           "            $DISPLAY: click the picture to control it, Ctrl+Alt+Esc releases the keyboard,\n"
           "            F11 full screen, Ctrl+Alt+M (or M while released) cycles the host's stream\n"
           "            modes, closing the window ends the session\n"
           "\n"
           "Options:\n"
           "  --server ORIGIN   control service, e.g. http://127.0.0.1:8480 or https://murel.example\n"
           "  --email ADDRESS   account e-mail\n"
           "  --name NAME       device name when registering (signup, signin; default: host name)\n"
           "  --host            use the host profile of this device\n"
           "  --client          use the viewer-only profile (default, except for host)\n"
           "  --synthetic       host: send a moving test scene instead of the desktop\n"
           "  --scene WxH[@FPS] host: the test scene's size and rate (default 1280x720@60)\n"
           "  --record DIR      view: no window; write presented pictures and presented.log to DIR\n"
           "  --window WxH      view: the window's first size (default: the picture's, within the screen)\n"
           "  --mode WxH@FPS    view: ask the host for this stream mode once it has advertised its modes\n"
           "  --relay-only      host, view: connect only through the service's TURN relay\n"
           "  --verbose         print the connection layer's diagnostics (ICE, TURN, DTLS, sockets,\n"
           "                    callbacks) with their level on stderr\n"
           "  -h, --help        this text\n"
           "\n"
           "signup and signin read the password from the terminal without echo, or from standard\n"
           "input when it is not a terminal. The saved sign-in is kept per server, account and\n"
           "profile under $XDG_DATA_HOME/murel/credentials (default ~/.local/share).\n"
           "host and view print the status and, on one line, live statistics (frames decoded and\n"
           "presented per second, bit rate, codec, picture size); the line is rewritten on a terminal\n"
           "and printed once a second otherwise.\n"
           "Exit status: 0 success, 1 the operation failed, 2 bad command line, 130 interrupted.\n";
}

}  // namespace murel
