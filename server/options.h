// Command-line options of gavo-server.
#pragma once

#include <string>

#include "server/config.h"

namespace gavo::server {

enum class ParseResult { kRun, kHelp, kVersion, kError };

// Fills `config` from argv. kHelp: --help was given; kVersion: --version; kError: `error` says what is wrong.
ParseResult parse_options(int argc, char** argv, ServerConfig* config, std::string* error);

// The --help text.
std::string usage_text();

}  // namespace gavo::server
