// Command-line options of gavo-server, and the config file that may hold them.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "server/base/config.h"

namespace gavo::server {

enum class ParseResult { kRun, kHelp, kVersion, kError };

// What the command line and the config file it names ask for.
struct Settings {
    ServerConfig config;
    std::string config_file;  // --config FILE; empty when none
    // The option values in effect by long option name, in order (a flag's is "true"):
    // the command line's where it gives the option, otherwise the config file's. A
    // reload compares these to tell which settings changed.
    std::map<std::string, std::vector<std::string>> given;
    // Where the value in effect of each option given came from, by long option name:
    // "FILE:LINE" (the config file's last line for it) or "--NAME" (the command line).
    std::map<std::string, std::string> where;
    bool check_only = false;  // --check-config: check the settings, serve nothing
};

// Reads argv and then the config file that --config names. Every long option except
// --config, --help and --version is also a config file key; an option given on the
// command line replaces all of the file's values for it. kHelp: --help was given;
// kVersion: --version; kError: `error` says what is wrong ("FILE:LINE: ..." for the
// file, "--NAME: ..." for the command line; one problem a line, all of them). Calling it
// again with the same argv reads the config file afresh.
ParseResult parse_settings(int argc, char** argv, Settings* out, std::string* error);

// parse_settings, keeping only the server's settings.
ParseResult parse_options(int argc, char** argv, ServerConfig* config, std::string* error);

// The --help text.
std::string usage_text();

}  // namespace gavo::server
