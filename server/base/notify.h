// Status messages to the service manager (systemd's `Type=notify`): one datagram of
// "KEY=VALUE" lines on the AF_UNIX socket that $NOTIFY_SOCKET names (a name starting
// with '@' is in the abstract namespace). Without $NOTIFY_SOCKET nothing is sent.
#pragma once

#include <string>

namespace gavo::server {

// Sends `state` (for example "READY=1"). True when sent or when no socket is named;
// false with `error` set when the socket is named but the datagram cannot go.
bool notify_service(const std::string& state, std::string* error);

// "RELOADING=1" with the monotonic time, as a reload's start is announced.
std::string reloading_state();

}  // namespace gavo::server
