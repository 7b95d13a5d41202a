#pragma once
// The network side of murel-control: HTTP(S) and the signaling WebSocket on Boost.Beast.

#include "ControlService.hpp"
#include "Log.hpp"
#include "ServiceOptions.hpp"

namespace murel {

// Listens as the options say and serves until SIGINT or SIGTERM. Prints "listening on ADDR:PORT"
// to stdout once accepting. Returns the process exit status; throws std::runtime_error on a set-up
// failure (bad address, plain HTTP off loopback, unreadable certificate, port in use). Nothing a
// client sends ends the process: a failure ends only that client's connection.
int runControlServer(ControlService& service, const ServiceOptions& options, const LogSink& log);

}  // namespace murel
