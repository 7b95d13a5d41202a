#pragma once
// The snapshot of the Controller's state that the interface reads.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/ControlApi.hpp"
#include "protocol/StreamSettings.hpp"

namespace murel::app {

struct VideoRect {
    double x = 0;
    double y = 0;
    double w = 0;
    double h = 0;

    bool operator==(const VideoRect&) const = default;
};

struct Status {
    std::string message;       // the status line
    bool signedIn = false;     // a credential is installed
    bool busy = false;         // an operation runs, or hosting waits for its first captured frame
    bool hostProfile = false;  // signed in with the host profile
    bool hostsActiveSession = false;
    std::string accountEmail;
    std::string deviceName;  // as the device list reports this device
    std::string deviceId;
    std::string error;  // the last error; cleared when an operation starts
    // Every finished or dropped operation command adds one; the interface watches it change.
    std::uint64_t completedOperations = 0;
    std::vector<HostInfo> hosts;
    bool online = false;  // the signaling hello was accepted
    bool hostReady = false;
    bool sessionActive = false;
    bool viewerInputActive = false;
    bool reservationPending = false;
    std::uint64_t framesDecoded = 0;
    std::uint64_t framesPresented = 0;
    std::uint64_t videoRecoveries = 0;
    std::int32_t videoCodec = 0;  // 0 H.264, 1 HEVC
    bool videoCodecKnown = false;
    bool hostStreamSettingsKnown = false;
    bool streamSettingsPending = false;
    std::optional<StreamModes> hostStreamModes;
    StreamConfiguration streamConfiguration;
    double decodeFps = 0;
    double presentFps = 0;
    std::int32_t decodedWidth = 0;
    std::int32_t decodedHeight = 0;
    VideoRect videoRect;
};

}  // namespace murel::app
