// The server's settings, from the command line (see options.h) or set by tests directly.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "server/base/address.h"
#include "server/base/log.h"

namespace gavo::server {

constexpr int kDefaultPort = 7100;

struct AccessRules;  // access.h

struct ServerConfig {
    std::string listen_host = "127.0.0.1";
    int listen_port = kDefaultPort;  // 0: any free port (Server::port() tells which)
    std::string root = "./gavo-root";
    std::vector<Cidr> allow;  // empty: every client that can reach the socket
    // Load balancers whose connections begin with a PROXY v2 header naming the client.
    std::vector<Cidr> proxy_from;
    // The admin port (--admin HOST:PORT, see admin.h); port -1: none, 0: any free port.
    std::string admin_host = "127.0.0.1";
    int admin_port = -1;
    // --admin-token-file: a file holding the bearer token the admin port asks for
    // beyond /healthz; empty: none.
    std::string admin_token_file;
    // An admin connection must have its request read and answered within this long of
    // its accept (see admin/http_server.h; no option: tests shorten it).
    std::chrono::milliseconds admin_deadline{5000};
    bool read_only = false;         // refuse every request that would change the root
    bool sync = true;               // fsync before answering close, rename and remove
    bool allow_hard_links = false;  // serve files with more than one link
    // How long a handle outlives the connection that used it last (see handles.h).
    std::chrono::milliseconds handle_grace{60 * 1000};
    int max_handles_per_host = 1024;
    int max_connections = 1024;
    // Per host (an IPv4 address or an IPv6 /64): the library holds two channels, and a
    // reconnection opens new ones before the server has seen the old ones end, so eight
    // leave room for that overlap and for a second program on the machine.
    int max_connections_per_host = 8;
    // Descriptors of a host's open files (a new file holds two until its close); 0: an
    // eighth of those the process may use (see server/limits.h).
    int max_descriptors_per_host = 0;
    // A request that has begun must keep moving: each receive or send within it waits at
    // most this long. Idle time between requests is not limited.
    std::chrono::milliseconds stall_timeout{30 * 1000};
    // ... and the request as a whole must move at least this many bytes per second (see
    // conn.h); 0: its waiting as a whole is bounded by the stall time-out.
    int min_rate = 1024;
    // Most bytes held at once, server-wide, for table records still arriving; past it
    // the newest such request's connection is closed (see pending.h).
    size_t max_pending_bytes = size_t{64} << 20;
    // Threads that blocking work may take at once besides the event loop's own (waits
    // for clients mid-request, TLS handshakes, fsyncs, table commits; see event_loop.h);
    // 0: sized from the cores and the limits (default_max_threads in limits.h).
    int max_threads = 0;
    // --node N/M: this server is node N (1..M) of M serving one root; 0/0: a single
    // server. Each node hands out its own class of handle numbers (handles.h), keeps its
    // own state folder and holds byte N of the root's node lock file (node_lock.h).
    int node = 0;
    int nodes = 0;
    // Tables (server/tables.h): served only when a tables file is given.
    std::string tables_file;   // --tables FILE: names and record framing
    std::string state_dir;     // --state DIR; empty: "<root>.state" beside the root
    std::string tables_db;     // --tables-db URL (postgresql://...); empty: SQLite in state_dir
    bool group_commit = true;  // false: one transaction per record (for measurements)
    // Access rules (--access FILE, see access.h; the rules name their file): null
    // without them, and then every client that is admitted may do everything.
    std::shared_ptr<const AccessRules> access;
    // Where log lines go (empty: standard error) and which are written (see log.h).
    std::string log_file;
    LogLevel log_level = LogLevel::kInfo;
    // TLS on the file port (server/tls.h): on with a certificate and its key (PEM files);
    // with a client authority too, every client must present a certificate it issued.
    std::string tls_cert;
    std::string tls_key;
    std::string tls_client_ca;
    // Test hook: resolve names component by component, as on kernels without openat2.
    bool force_component_walk = false;
    // Test hook: how the event loop starts a thread (false: the system refused one);
    // empty: pthreads.
    std::function<bool(std::function<void()>)> thread_starter;
};

}  // namespace gavo::server
