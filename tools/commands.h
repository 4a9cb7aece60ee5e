// The gavo subcommands. Each returns the process's exit code (tools/codes.h) and prints
// its failures on standard error: the subcommand, the library operation, the name and
// the library's code with its meaning.
#pragma once

#include <string>

namespace gavo_tool {

struct Options {
    std::string ini;        // INI file for NFile_Init; empty: gavo.ini beside the program
    bool progress = false;  // draw progress bars (standard error is a terminal)
};

// Starts the library with the INI file of `options`; false (after a report) on failure.
bool start_library(const Options& options, const std::string& command);

int run_put(const Options& options, const std::string& local, const std::string& name);
int run_get(const Options& options, const std::string& name, const std::string& local);
int run_cat(const Options& options, const std::string& name);
int run_rm(const std::string& name);
int run_mv(const std::string& old_name, const std::string& new_name);
// kExitOk when `name` exists, kExitNo when it does not, kExitLibrary on a failure.
int run_exists(const std::string& name);
// Appends each non-empty line of standard input (without its line break) as one record.
int run_record(const std::string& table);

}  // namespace gavo_tool
