// Reads the PROXY v2 header a trusted load balancer sends before its client's bytes.
#pragma once

#include <string>

#include "proto/proxy_header.h"

namespace gavo::server {

// Reads exactly the header from `fd` (nothing of the client's bytes after it), all of it
// within `stall_ms`, and parses it. False with `why` (for the log) when it is missing,
// bad or cut short, the time runs out, or `stop_fd` becomes readable (the server stops).
bool read_proxy_header(int fd, int stall_ms, int stop_fd, ProxyHeader* out, std::string* why);

}  // namespace gavo::server
