#pragma once
// A signed-in device on a real murel-control: its signaling connection and the program's own view
// of that connection.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "TestClient.hpp"
#include "protocol/ControlApi.hpp"
#include "protocol/SignalingSession.hpp"

namespace murel::test {

struct OnlineDevice {
    // `options`: where the connection comes from and how it reads (see ConnectOptions).
    OnlineDevice(std::uint16_t port, DeviceCredential credential, const std::string& ca = {},
                 const ConnectOptions& options = {})
        : device(std::move(credential)), ws(port, device.token, ca, options), signals(device.id) {
        EXPECT_EQ(ws.status(), 101);
        const auto hello = ws.receive();
        EXPECT_TRUE(hello.has_value());
        if (hello) {
            EXPECT_EQ(signals.classify(*hello).kind, SignalEventKind::Hello);
        }
    }
    // The next message, classified by the program's state machine.
    SignalEvent next() {
        const auto message = ws.receive();
        if (!message) return {SignalEventKind::None, nullptr};
        return signals.classify(*message);
    }
    DeviceCredential device;
    WsClient ws;
    SignalingSession signals;
};

}  // namespace murel::test
