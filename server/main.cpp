// gavo-server: the file server of working mode 2. See docs/server.md.
#include <signal.h>

#include <cstdio>
#include <string>

#include "server/limits.h"
#include "server/log.h"
#include "server/options.h"
#include "server/server.h"

int main(int argc, char** argv) {
    using namespace gavo::server;
    ServerConfig config;
    std::string error;
    switch (parse_options(argc, argv, &config, &error)) {
    case ParseResult::kHelp: fputs(usage_text().c_str(), stdout); return 0;
    case ParseResult::kVersion: puts("gavo-server " GAVO_VERSION); return 0;
    case ParseResult::kError:
        fprintf(stderr, "gavo-server: %s\nTry 'gavo-server --help'.\n", error.c_str());
        return 2;
    case ParseResult::kRun: break;
    }
    // SIGTERM and SIGINT are taken by sigwait below; every thread inherits the mask.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // Every connection and every open file takes a descriptor: use all the system allows.
    const DescriptorLimit fds = raise_descriptor_limit();

    Logger log;
    log.line("gavo-server " GAVO_VERSION);
    log.linef("descriptors: soft limit %llu%s (hard limit %llu)",
              static_cast<unsigned long long>(fds.now),
              fds.now > fds.before ? (", raised from " + std::to_string(fds.before)).c_str()
              : fds.now < fds.hard ? ", could not be raised"
                                   : "",
              static_cast<unsigned long long>(fds.hard));
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
