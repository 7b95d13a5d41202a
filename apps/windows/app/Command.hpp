#pragma once
// The interface's requests to the Controller.

#include <cstdint>
#include <optional>
#include <string>

#include "protocol/StreamSettings.hpp"
#include "protocol/Wire.hpp"

namespace murel::app {

enum class CommandKind : std::int32_t {
    SignIn = 0,
    SignUp = 1,
    Restore = 2,
    SignOut = 3,
    RefreshDevices = 4,
    Connect = 5,
    EndSession = 6,
    EnableHosting = 7,
    DisableHosting = 8,
    Input = 9,
    ReleaseInput = 10,
    ApplyStreamSettings = 11,
};

// Input and ReleaseInput are not operations: they are neither shown as busy nor counted.
constexpr bool isOperation(CommandKind kind) {
    return kind != CommandKind::Input && kind != CommandKind::ReleaseInput;
}

struct Command {
    CommandKind kind = CommandKind::SignIn;
    std::string server;      // sign-in kinds: the control-service origin as typed
    std::string email;       // sign-in kinds
    std::string password;    // SignIn / SignUp; moved out by the account flow and wiped
    std::string deviceName;  // sign-in kinds: the name this PC registers under
    std::string hostId;      // Connect
    bool hostRole = false;   // sign-in kinds: register / restore with the host profile
    bool noHevc = false;     // Connect
    std::uint64_t surface = 0;  // Connect: the viewer's video surface window handle
    Json message;               // Input: the complete input message
    std::int32_t channel = kControlChannel;  // Input
    std::optional<StreamConfiguration> streamConfiguration;  // ApplyStreamSettings

    Command() = default;
    explicit Command(CommandKind commandKind) : kind(commandKind) {}
};

}  // namespace murel::app
