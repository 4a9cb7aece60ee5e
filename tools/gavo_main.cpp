// gavo: stores and fetches files through the GAVO_Client library, for scripts and people.
// The working mode (local folder or file server) comes from the INI file, so the same
// command works against either.
#include <GAVO_Client.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <functional>
#include <set>
#include <string>

#include "codes.h"
#include "commands.h"
#include "progress.h"
#include "settings.h"
#include "watchdog.h"

namespace {

using namespace gavo_tool;

const char kFooter[] =
    "Configuration: --ini FILE, else $GAVO_INI, else ~/.config/gavo/gavo.ini, else\n"
    "/etc/gavo/gavo.ini, else working mode 1 in the current folder ('gavo config' shows\n"
    "which). Logs go to the INI file's LOG_DIR, else --log-dir, else\n"
    "$XDG_STATE_HOME/gavo (~/.local/state/gavo).\n"
    "Exit codes: 0 done (exists: the name exists), 1 exists: the name does not exist,\n"
    "2 bad arguments, 3 the library reported a failure, 4 a local file of the tool failed,\n"
    "5 --timeout ran out, 128+N ended by signal N (130: Ctrl-C).";

const char* const kCommands[] = {"put",    "get",    "cat", "rm",   "mv",    "exists",
                                 "record", "config", "ls",  "stat", "rmdir", "clean-temp"};
// Options of gavo itself that take a value.
const std::set<std::string> kValued = {"--ini", "--log-dir", "--timeout"};
const std::set<std::string> kFlags = {"-h",      "--help", "--version", "-q",
                                      "--quiet", "-v",     "--verbose", "--keep-going"};

// What CLI11 would call "A subcommand is required": an unknown word or option before the
// subcommand gets a message of its own. 0 when the command line may be parsed.
int check_command_word(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string key = arg.substr(0, arg.find('='));
        if (kValued.count(key)) {
            i += key == arg;
        } else if (arg.size() > 1 && arg[0] == '-') {
            if (kFlags.count(arg)) continue;
            std::fprintf(stderr, "gavo: unknown option '%s' (see gavo --help)\n", arg.c_str());
            return kExitUsage;
        } else {
            for (const char* command : kCommands)
                if (arg == command) return 0;
            std::fprintf(stderr,
                         "gavo: unknown command '%s' (commands: put get cat rm mv exists record "
                         "config ls stat rmdir clean-temp; see gavo --help)\n",
                         arg.c_str());
            return kExitUsage;
        }
    }
    return 0;
}

// One line on what is wrong with the command line, named after the subcommand it was
// meant for, and where to read more: never the whole help, which would bury the line.
int usage_error(const CLI::App& app, const CLI::ParseError& e) {
    std::string command = "gavo";
    for (const CLI::App* sub : app.get_subcommands()) command += " " + sub->get_name();
    if (command == "gavo" && dynamic_cast<const CLI::RequiredError*>(&e) != nullptr) {
        std::string names;
        for (const char* name : kCommands) names += std::string(names.empty() ? "" : " ") + name;
        std::fprintf(stderr, "gavo: a command is required (%s)\n", names.c_str());
    } else {
        std::fprintf(stderr, "%s: %s\n", command.c_str(), e.what());
    }
    std::fprintf(stderr, "Run '%s --help' for more.\n", command.c_str());
    return kExitUsage;
}

// The command line's values.
struct Args {
    std::string ini, log_dir;
    int timeout = 0;
    bool quiet = false;
    std::vector<std::string> names;
    std::string first, second;
    std::string older_than = "1h";
};

// One subcommand and the work it runs once the library has started.
struct Command {
    CLI::App* app;
    std::function<int()> run;
};

std::vector<Command> add_commands(CLI::App& app, Options& o, Args& a) {
    std::vector<Command> commands;
    auto add = [&](const char* name, const char* help, std::function<int()> run) {
        commands.push_back({app.add_subcommand(name, help), std::move(run)});
        return commands.back().app;
    };
    auto names = [&](CLI::App* sub, const char* name, int least, const char* help) {
        sub->add_option(name, a.names, help)->required()->expected(least, -1);
    };
    // -r takes exactly a source folder and a destination folder.
    auto tree = [&](const char* command, auto run_tree, auto run_plain) {
        return [&, command, run_tree, run_plain] {
            if (!o.recursive) return run_plain();
            if (a.names.size() != 2) {
                std::fprintf(stderr, "gavo %s: -r takes one folder and its destination\n", command);
                return int(kExitUsage);
            }
            return run_tree(o, a.names[0], a.names[1]);
        };
    };
    CLI::App* put = add("put", "Store LOCAL ('-': standard input) as NAME, or files in FOLDER/",
                        tree("put", run_put_tree, [&] { return run_put(o, a.names); }));
    put->footer(
        "The bytes go to a temporary name beside NAME, renamed into place once all are\n"
        "stored; a failed or interrupted put leaves NAME as it was and removes the\n"
        "temporary name. An existing NAME is kept unless --force.");
    names(put, "LOCAL... NAME|FOLDER/", 2, "local files, then the stored name or folder");
    put->add_flag("--force", o.force,
                  "replace an existing NAME: the old file is removed just before the new one "
                  "is renamed into place, so for a moment there is no NAME");
    put->add_flag("-r,--recursive", o.recursive,
                  "put -r DIR FOLDER: store the files beneath the local DIR beneath FOLDER");
    CLI::App* get =
        add("get", "Fetch NAME into LOCAL ('-': standard output; a folder keeps the name)",
            tree("get", run_get_tree, [&] { return run_get(o, a.names); }));
    names(get, "NAME... LOCAL|DIR", 2, "stored names, then the local file or folder");
    get->add_flag("-r,--recursive", o.recursive,
                  "get -r FOLDER DIR: fetch the files beneath the stored FOLDER into DIR "
                  "(created when missing)");
    names(add("cat", "Write NAME to standard output", [&] { return run_cat(o, a.names); }), "NAME",
          1, "stored names");
    names(add("rm", "Remove NAME", [&] { return run_rm(o, a.names); }), "NAME", 1, "stored names");
    CLI::App* mv = add("mv", "Rename OLD to NEW (never replaces NEW)",
                       [&] { return run_mv(o, a.first, a.second); });
    mv->add_option("OLD", a.first, "current name")->required();
    mv->add_option("NEW", a.second, "new name")->required();
    add("exists", "Exit 0 when NAME exists, 1 when it does not",
        [&] { return run_exists(o, a.first); })
        ->add_option("NAME", a.first, "stored name")
        ->required();
    CLI::App* record = add("record", "Append each line of standard input as a record of TABLE",
                           [&] { return run_record(o, a.first); });
    record->footer(
        "Each line is sent with its line feed, for a 'line' table of the file server.\n"
        "For a 'fixed:N' table give --record-size N: each N bytes of input are one record.");
    record->add_option("TABLE", a.first, "table on the file server")->required();
    record
        ->add_option("--record-size", o.record_size,
                     "for a fixed:N table: cut the input into records of N bytes; input "
                     "that ends inside a record is refused")
        ->type_name("N")
        ->check(CLI::Range(1, 1 << 20));
    a.first = "/";
    CLI::App* ls = add("ls", "List a stored folder (default: the root), or show a file",
                       [&] { return run_ls(o, a.first); });
    ls->add_option("PATH", a.first, "stored folder or file");
    ls->add_flag("-l", o.long_format, "kind (d folder, - file, ? not served), size, time, name");
    ls->add_flag("-R", o.recursive, "the folders beneath too");
    ls->footer(
        "Control characters and backslashes in names are shown escaped (\\ooo, \\\\).\n"
        "Listing needs a file server with the listing extension (docs/protocol.md).");
    names(add("stat", "Show the kind, size and time of NAME", [&] { return run_stat(o, a.names); }),
          "NAME", 1, "stored names");
    names(add("rmdir", "Remove the empty folder NAME", [&] { return run_rmdir(o, a.names); }),
          "NAME", 1, "stored folders");
    a.second.clear();
    CLI::App* clean = add("clean-temp", "Remove the temporaries that killed uploads left", [&] {
        o.older_than = parse_duration(a.older_than);
        if (o.older_than < 0) {
            std::fprintf(stderr,
                         "gavo clean-temp: --older-than: '%s' is no duration (N, Ns, "
                         "Nm, Nh or Nd)\n",
                         a.older_than.c_str());
            return int(kExitUsage);
        }
        return run_clean_temp(o, a.second);
    });
    clean->add_option("FOLDER", a.second, "stored folder to search (default: the root)");
    clean
        ->add_option("--older-than", a.older_than,
                     "only temporaries unchanged for this long (default 1h)")
        ->type_name("DURATION");
    clean->footer(
        "An upload writes to .gavo-put-XXXXXXXX beside its NAME; a killed one leaves it.\n"
        "A temporary the server still holds open (an upload in progress) is never removed.");
    add("config", "Show the INI file, working mode, server or folder and logs in use",
        [&] { return std::fputs(describe(o.settings).c_str(), stdout), int(kExitOk); });
    return commands;
}

void add_global_options(CLI::App& app, Options& o, Args& a) {
    app.set_version_flag("--version", "gavo " GAVO_VERSION);
    app.add_option("--ini", a.ini, "INI file to use (must exist)")->type_name("FILE");
    app.add_option("--log-dir", a.log_dir, "folder of the library's error and trace logs")
        ->type_name("DIR");
    app.add_option("--timeout", a.timeout, "give up after SEC seconds (exit code 5)")
        ->type_name("SEC")
        ->check(CLI::Range(0, 1000000));
    app.add_flag("-q,--quiet", a.quiet, "no progress bars: errors only");
    app.add_flag("-v,--verbose", o.verbose, "say what is connected to and done");
    app.add_flag("--keep-going", o.keep_going, "with several names, go on after a failure");
}

int run(const Command& command, Options& options, const Args& args) {
    const std::string name = command.app->get_name();
    std::string error;
    if (!find_settings(args.ini, args.log_dir, &options.settings, &error)) {
        std::fprintf(stderr, "gavo %s: %s\n", name.c_str(), error.c_str());
        return kExitUsage;
    }
    if (name == "config") return command.run();
    options.progress = stderr_is_terminal() && !args.quiet;
    start_watchdog(args.timeout, "gavo " + name, options.settings.where());
    if (!start_library(options, name)) return kExitLibrary;
    int rc = command.run();
    NFile_Close();
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    if (int rc = check_command_word(argc, argv)) return rc;
    CLI::App app{"Store and fetch files through GAVO_Client.", "gavo"};
    app.footer(kFooter);
    app.require_subcommand(1, 1);
    app.fallthrough();  // global options may also follow the subcommand
    Options options;
    Args args;
    add_global_options(app, options, args);
    std::vector<Command> commands = add_commands(app, options, args);
    try {
        if (argc == 1) throw CLI::RequiredError("A subcommand");
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
        return usage_error(app, e);
    }
    for (const Command& command : commands)
        if (command.app->parsed()) return run(command, options, args);
    return kExitUsage;
}
