// gavo-server --check-config: reads and checks everything a start would (the settings,
// the tables, access and TLS files, the admin token, the root, state and log paths, the
// ports) without serving, creating or changing anything, as `nginx -t` does.
#pragma once

#include <string>
#include <vector>

#include "server/options.h"

namespace gavo::server {

struct ConfigCheck {
    // One a line, "FILE:LINE: why" for a config file value and "--NAME: why" for a
    // command-line one (or a default); a file read by its own rules names that file.
    std::vector<std::string> problems;
    // What the server would serve, one line each.
    std::vector<std::string> serves;
};

// Checks `settings` (parsed without error). A server running on the same state folder
// is no problem: its ports then count as in use by it.
ConfigCheck check_config(const Settings& settings);

}  // namespace gavo::server
