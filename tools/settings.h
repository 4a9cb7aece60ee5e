// Where the tool's configuration comes from and where its logs go. The tool reads the
// same INI keys as the library, on its own, so that it can say what it connects to
// before the library starts and name the server in its failure reports.
#pragma once

#include <string>

namespace gavo_tool {

struct Settings {
    std::string ini;         // the INI file in use; empty when none was found
    std::string ini_origin;  // "--ini", "$GAVO_INI", "user", "system" or "none"
    int mode = 1;            // CTRL_MODE as the library converts it
    std::string host = "localhost";
    std::string port = "0";
    std::string base_dir;  // BASE_DIR as written; empty: names are local paths
    std::string log_dir;   // the library's error and trace logs, ending in '/'

    // "server HOST:PORT", "folder BASE_DIR" or "the current folder".
    std::string where() const;
    // What NFile_Init is given: the INI file, or /dev/null (every key at its default:
    // working mode 1 in the current folder) when there is none.
    std::string init_path() const { return ini.empty() ? "/dev/null" : ini; }
};

// Finds the INI file: `ini_option` (which must exist), else $GAVO_INI (which must exist
// when set), else $XDG_CONFIG_HOME/gavo/gavo.ini (default ~/.config), else
// /etc/gavo/gavo.ini, else none. The log folder is the INI file's LOG_DIR, else
// `log_dir_option`, else
// $XDG_STATE_HOME/gavo/ (default ~/.local/state/gavo/; /tmp/gavo-UID/ without a home
// folder). False with `error` set when a
// named INI file is missing or unreadable.
bool find_settings(const std::string& ini_option, const std::string& log_dir_option, Settings* out,
                   std::string* error);

// Reads the four keys of section [Config] from INI text: names without regard to case,
// blanks and one pair of quotes around a value removed, missing keys at their defaults.
void parse_ini(const std::string& text, Settings* out);

// Creates `dir` and its missing parents (mode 0700); false when it cannot, or when the
// folder is not the user's own.
bool make_dirs(const std::string& dir);

// The text of `gavo config`: INI file, working mode, server, base folder, logs.
std::string describe(const Settings& settings);

}  // namespace gavo_tool
