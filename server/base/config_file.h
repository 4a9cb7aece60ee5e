// The server's config file (`--config FILE`): the command line's long options written
// one a line as `key = value`, for a service manager that starts the server with a
// fixed command line:
//
//     # comment; blank lines are skipped
//     listen = 127.0.0.1:7100
//     root   = /srv/gavo            # a '#' after a space or tab starts a comment too
//     allow  = 10.0.0.0/8           # a repeatable option repeats its key
//     no-sync = false               # a flag takes true or false
//
// This file only splits lines into keys and values; which keys exist and what their
// values mean is the option table's business (options.cpp).
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace gavo::server {

// Config files larger than this are refused (a config file is a few lines; this keeps
// a wrong path, say a device or a log, from being read whole).
constexpr size_t kMaxConfigFileBytes = 1024 * 1024;

struct ConfigEntry {
    std::string key;
    std::string value;  // blanks around it removed; may be empty
    int line = 0;       // 1-based
};

// Reads the whole of a small file (at most kMaxConfigFileBytes); false with `why` set.
bool read_small_file(const std::string& path, std::string* text, std::string* why);

// Calls `each` with the number (1-based) and content of each line of `text` that holds
// more than blanks and a comment (a '#' that starts a line or follows a blank starts a
// comment; the blanks around the content are dropped), in order, until it returns false;
// false then. The one line splitter of the config, access and similar files.
bool for_each_config_line(std::string_view text,
                          const std::function<bool(int, std::string_view)>& each);

// Splits `text` into entries in order. False at the first line that is neither blank,
// a comment nor `key = value` (with a non-empty key), `bad_line` and `why` then set.
bool parse_config_text(std::string_view text, std::vector<ConfigEntry>* out, int* bad_line,
                       std::string* why);

// Reads and splits the file at `path`; false with `error` as "PATH:LINE: why", or
// "cannot read the config file PATH: why".
bool read_config_file(const std::string& path, std::vector<ConfigEntry>* out, std::string* error);

}  // namespace gavo::server
