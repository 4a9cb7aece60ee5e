// The gavo subcommands. Each returns the process's exit code (tools/codes.h) and prints
// its failures on standard error: the subcommand, what failed, the name, where (server
// HOST:PORT or the local folder), the cause in words and the library's code.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "settings.h"

namespace gavo_tool {

struct Options {
    Settings settings;
    bool progress = false;     // draw progress bars (standard error is a terminal, not -q)
    bool verbose = false;      // -v: say what is connected to and done
    bool force = false;        // put: replace an existing NAME
    bool keep_going = false;   // several names: go on after a failure
    size_t record_size = 0;    // record: 0 for lines, else fixed records of this many bytes
    bool long_format = false;  // ls -l: kind, size and time
    bool recursive = false;    // ls -R, get -r, put -r: the folders beneath too
    long older_than = 3600;    // clean-temp: seconds since a temporary's last change
};

// Points the library's logs at the settings' log folder and starts it with their INI
// file; false (after a report) on failure.
bool start_library(const Options& options, const std::string& command);

// put LOCAL NAME | put LOCAL... FOLDER/ (a NAME ending in '/' takes LOCAL's file name).
// Checks that LOCAL reads, uploads to a temporary name beside NAME and renames it into
// place after a successful close; NAME is never touched by a failure. An existing NAME
// is replaced only with `force` (removed just before the rename).
int run_put(const Options& options, const std::vector<std::string>& args);
// get NAME LOCAL | get NAME... DIR (LOCAL may be a folder: the file keeps its name).
int run_get(const Options& options, const std::vector<std::string>& args);
int run_cat(const Options& options, const std::vector<std::string>& names);
int run_rm(const Options& options, const std::vector<std::string>& names);
int run_mv(const Options& options, const std::string& old_name, const std::string& new_name);
// get -r FOLDER DIR: the files beneath the stored FOLDER into DIR (created when missing).
// put -r DIR FOLDER: the files beneath the local DIR stored beneath FOLDER, each as put
// stores one. Both go on past entries that are neither file nor folder, naming them.
int run_get_tree(const Options& options, const std::string& folder, const std::string& local);
int run_put_tree(const Options& options, const std::string& local, const std::string& folder);
// ls [-l] [-R] PATH: a folder's entries in name order, or a file's own line.
int run_ls(const Options& options, const std::string& path);
int run_stat(const Options& options, const std::vector<std::string>& names);
int run_rmdir(const Options& options, const std::vector<std::string>& names);
// Removes the temporaries of killed uploads (.gavo-put-XXXXXXXX) beneath FOLDER that have
// not changed for `older_than` seconds; one the server still holds open is kept.
int run_clean_temp(const Options& options, const std::string& folder);
// Seconds of a duration "N", "Ns", "Nm", "Nh" or "Nd"; -1 when malformed.
long parse_duration(const std::string& text);

// kExitOk when `name` exists, kExitNo when it does not, kExitLibrary on a failure.
int run_exists(const Options& options, const std::string& name);
// Appends the records of standard input to a table: each line with its line feed, or
// with `record_size` each piece of exactly that many bytes.
int run_record(const Options& options, const std::string& table);

}  // namespace gavo_tool
