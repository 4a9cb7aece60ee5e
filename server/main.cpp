// gavo-server: the file server of working mode 2. See docs/server.md.
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <string>

#include "server/log.h"
#include "server/options.h"
#include "server/server.h"

namespace {

// Every connection and every open file takes a descriptor: use all the system allows.
void raise_descriptor_limit() {
    struct rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

}  // namespace

int main(int argc, char** argv) {
    using namespace gavo::server;
    ServerConfig config;
    std::string error;
    switch (parse_options(argc, argv, &config, &error)) {
    case ParseResult::kHelp:
        fputs(usage_text().c_str(), stdout);
        return 0;
    case ParseResult::kVersion:
        puts("gavo-server " GAVO_VERSION);
        return 0;
    case ParseResult::kError:
        fprintf(stderr, "gavo-server: %s\nTry 'gavo-server --help'.\n", error.c_str());
        return 2;
    case ParseResult::kRun:
        break;
    }
    // SIGTERM and SIGINT are taken by sigwait below; every thread inherits the mask.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    raise_descriptor_limit();

    Logger log;
    log.line("gavo-server " GAVO_VERSION);
    Server server(config, log);
    if (!server.start(&error)) {
        log.line("cannot start: " + error);
        return 1;
    }
    int sig = 0;
    sigwait(&stop_signals, &sig);
    log.linef("signal %d received, stopping", sig);
    server.stop();
    return 0;
}
