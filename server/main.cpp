// gavo-server: the file server of working mode 2. See docs/server.md.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "server/base/limits.h"
#include "server/base/log.h"
#include "server/base/notify.h"
#include "server/check_config.h"
#include "server/options.h"
#include "server/server.h"

namespace {

using namespace gavo::server;

void notify(Logger& log, const std::string& state) {
    std::string error;
    if (!notify_service(state, &error)) log.line(LogLevel::kWarn, error);
}

// Whether a reload applies a new value of option `key`; the others wait for a restart.
// Serving tables or not, and logging to a file or not, are decided at the start.
bool reloadable(const std::string& key, const Settings& fresh, const Server& server) {
    if (key == "tables") return server.tables().enabled() && !fresh.config.tables_file.empty();
    if (key == "log-file") return !fresh.config.log_file.empty();
    // Over TLS the files are read afresh (Server::reload refuses turning TLS on or off).
    if (key == "tls-cert" || key == "tls-key" || key == "tls-client-ca") {
        return server.tls_enabled();
    }
    if (key == "access") return server.has_access_rules() && fresh.config.access;
    return key == "allow" || key == "log-level";
}

// Takes what a reload applies from `fresh` into `current` (the settings in effect), and
// logs the changed options that need a restart.
void take_reloaded(const Settings& fresh, const Server& server, Logger& log, Settings* current) {
    const auto values = [](const Settings& s, const std::string& key) {
        const auto it = s.given.find(key);
        return it == s.given.end() ? std::vector<std::string>{} : it->second;
    };
    std::map<std::string, std::vector<std::string>> keys = current->given;
    keys.insert(fresh.given.begin(), fresh.given.end());
    for (const auto& entry : keys) {
        const std::string& key = entry.first;
        std::vector<std::string> now = values(fresh, key);
        if (values(*current, key) == now) continue;
        if (!reloadable(key, fresh, server)) {
            log.linef(LogLevel::kWarn, "reload: %s changed; it takes effect at the next start",
                      key.c_str());
            continue;
        }
        current->given[key] = std::move(now);
    }
    current->config.allow = fresh.config.allow;
    current->config.log_level = fresh.config.log_level;
    if (reloadable("tables", fresh, server)) current->config.tables_file = fresh.config.tables_file;
    if (reloadable("access", fresh, server)) current->config.access = fresh.config.access;
}

// SIGHUP: the log file is opened again by its name (after a rotation), then the config
// file, the tables file and the access file are read afresh. A bad file changes nothing.
void reload(int argc, char** argv, Server& server, Logger& log, Settings* current) {
    std::string error;
    if (!log.reopen(&error)) log.line(LogLevel::kError, error + "; logging on to the old file");
    log.linef("signal %d received, reloading", SIGHUP);
    Settings fresh;
    if (parse_settings(argc, argv, &fresh, &error) != ParseResult::kRun ||
        !server.reload(fresh.config, &error)) {
        log.line(LogLevel::kError, "reload refused, the settings in use stay: " + error);
        return;
    }
    const std::string& path = fresh.config.log_file;
    if (!path.empty() && path != log.file()) {
        if (log.open_file(path, &error)) current->config.log_file = path;
        else log.line(LogLevel::kError, error + "; logging on to the old file");
    }
    log.set_level(fresh.config.log_level);
    take_reloaded(fresh, server, log, current);
    log.linef("reloaded: %zu allow-list entries, tables: %s", current->config.allow.size(),
              server.tables().summary().c_str());
}

// --check-config: what the server would serve on standard output, each problem on a
// line of its own on standard error; 0 when there is none, else 2.
int check_only(const Settings& settings, const std::string& parse_error) {
    ConfigCheck check;
    if (parse_error.empty()) check = check_config(settings);
    else check.problems.push_back(parse_error);  // already one problem a line
    for (const std::string& line : check.serves) printf("%s\n", line.c_str());
    for (const std::string& line : check.problems) fprintf(stderr, "%s\n", line.c_str());
    if (!check.problems.empty()) return 2;
    printf("gavo-server: the configuration is good\n");
    return 0;
}

void log_start(Logger& log) {
    // Every connection and every open file takes a descriptor: use all the system allows.
    const DescriptorLimit fds = raise_descriptor_limit();
    log.line("gavo-server " GAVO_VERSION);
    log.linef("descriptors: soft limit %llu%s (hard limit %llu)",
              static_cast<unsigned long long>(fds.now),
              fds.now > fds.before ? (", raised from " + std::to_string(fds.before)).c_str()
              : fds.now < fds.hard ? ", could not be raised"
                                   : "",
              static_cast<unsigned long long>(fds.hard));
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    std::string error;
    switch (parse_settings(argc, argv, &settings, &error)) {
    case ParseResult::kHelp: fputs(usage_text().c_str(), stdout); return 0;
    case ParseResult::kVersion: puts("gavo-server " GAVO_VERSION); return 0;
    case ParseResult::kError:
        if (settings.check_only) return check_only(settings, error);
        for (size_t start = 0; start < error.size();) {
            const size_t end = std::min(error.find('\n', start), error.size());
            fprintf(stderr, "gavo-server: %s\n", error.substr(start, end - start).c_str());
            start = end + 1;
        }
        fputs("Try 'gavo-server --help'.\n", stderr);
        return 2;
    case ParseResult::kRun: break;
    }
    if (settings.check_only) return check_only(settings, "");
    // SIGTERM, SIGINT and SIGHUP are taken by sigwait below; every thread inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals, sig);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Logger log;
    log.set_level(settings.config.log_level);
    if (!settings.config.log_file.empty() && !log.open_file(settings.config.log_file, &error)) {
        fprintf(stderr, "gavo-server: %s\n", error.c_str());
        return 1;
    }
    log_start(log);
    Server server(settings.config, log);
    if (!server.start(&error)) {
        log.line(LogLevel::kError, "cannot start: " + error);
        return 1;
    }
    notify(log, "READY=1");
    int sig = 0;
    while (sigwait(&signals, &sig) == 0 && sig == SIGHUP) {
        notify(log, reloading_state());
        reload(argc, argv, server, log, &settings);
        notify(log, "READY=1");
    }
    log.linef("signal %d received, stopping", sig);
    notify(log, "STOPPING=1");
    server.stop();
    return 0;
}
