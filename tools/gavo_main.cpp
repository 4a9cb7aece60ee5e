// gavo: stores and fetches files through the GAVO_Client library, for scripts and people.
// The working mode (local folder or file server) comes from the INI file, so the same
// command works against either.
#include <GAVO_Client.h>

#include <CLI/CLI.hpp>
#include <functional>
#include <string>

#include "codes.h"
#include "commands.h"
#include "progress.h"

namespace {

using namespace gavo_tool;

const char kFooter[] =
    "Exit codes: 0 done (exists: the name exists), 1 exists: the name does not exist,\n"
    "2 bad arguments, 3 the library reported a failure, 4 a local file of the tool failed.\n"
    "The library writes its error log gavo_nfile_err.log (and, against a server, the\n"
    "trace log netf_Log.Log) beside the gavo program.";

// One subcommand and the work it runs once the library has started.
struct Command {
    CLI::App* app;
    std::function<int()> run;
};

// Adds a positional argument that must be given.
void positional(CLI::App* app, const char* name, std::string& into, const char* help) {
    app->add_option(name, into, help)->required();
}

std::vector<Command> add_commands(CLI::App& app, Options& o, std::string& a, std::string& b) {
    std::vector<Command> commands;
    auto add = [&](const char* name, const char* help, std::function<int()> run) {
        commands.push_back({app.add_subcommand(name, help), std::move(run)});
        return commands.back().app;
    };
    CLI::App* put = add("put", "Store the local file LOCAL ('-': standard input) as NAME",
                        [&] { return run_put(o, a, b); });
    positional(put, "LOCAL", a, "local file to read");
    positional(put, "NAME", b, "name to store it under");
    CLI::App* get = add("get", "Fetch NAME into the local file LOCAL ('-': standard output)",
                        [&] { return run_get(o, a, b); });
    positional(get, "NAME", a, "stored name");
    positional(get, "LOCAL", b, "local file to write (replaced only once complete)");
    positional(add("cat", "Write NAME to standard output", [&] { return run_cat(o, a); }), "NAME",
               a, "stored name");
    positional(add("rm", "Remove NAME", [&] { return run_rm(a); }), "NAME", a, "stored name");
    CLI::App* mv = add("mv", "Rename OLD to NEW", [&] { return run_mv(a, b); });
    positional(mv, "OLD", a, "current name");
    positional(mv, "NEW", b, "new name");
    positional(
        add("exists", "Exit 0 when NAME exists, 1 when it does not", [&] { return run_exists(a); }),
        "NAME", a, "stored name");
    positional(add("record", "Append each line of standard input as a record of TABLE",
                   [&] { return run_record(a); }),
               "TABLE", a, "table on the file server");
    return commands;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Store and fetch files through GAVO_Client.", "gavo"};
    app.footer(kFooter);
    app.require_subcommand(1, 1);
    app.fallthrough();  // --ini may also follow the subcommand
    Options options;
    app.add_option("--ini", options.ini,
                   "INI file to start the library with "
                   "(default: gavo.ini beside the gavo program)");
    std::string first, second;
    std::vector<Command> commands = add_commands(app, options, first, second);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    }
    options.progress = stderr_is_terminal();
    for (const Command& command : commands) {
        if (!command.app->parsed()) continue;
        if (!start_library(options, command.app->get_name())) return kExitLibrary;
        int rc = command.run();
        NFile_Close();
        return rc;
    }
    return kExitUsage;
}
