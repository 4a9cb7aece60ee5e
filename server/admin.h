// The admin port (--admin HOST:PORT): HTTP for operators and monitoring, on threads of
// its own, apart from the file port.
//
//   GET  /healthz        200 "ok" while the server serves (listening, the tables store
//                        committing), 503 with the reason otherwise
//   GET  /metrics        the counters in the Prometheus text format 0.0.4 (metrics.h)
//   GET  /handles        the open handles as a JSON array
//   POST /handles/close  handle=N[&host=ADDR]: closes an orphan handle as its grace
//                        expiry would; 404 unknown, 409 still used by a live connection
//
// Only loopback peers and those in the --allow list are served; others get 403 and a
// log line. Each request ends its connection (no keep-alive), so a stop never waits for
// an idle client. Thread-safe: start() and stop() from the server's own thread.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "server/base/config.h"
#include "server/base/log.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace gavo::server {

class Server;

class AdminPort {
public:
    AdminPort(Server& server, const ServerConfig& config, Logger& log);
    ~AdminPort();
    AdminPort(const AdminPort&) = delete;
    AdminPort& operator=(const AdminPort&) = delete;

    // Binds config.admin_host:admin_port and starts serving; false with `error` when
    // the address cannot be bound.
    bool start(std::string* error);
    // Stops serving and waits for the requests in progress; idempotent.
    void stop();
    // The port bound (useful with port 0).
    int port() const { return port_; }

private:
    void route();
    // True when the peer may use the port; otherwise logs (the caller answers 403).
    bool admit_peer(const std::string& addr, int port) const;
    void close_handle(const httplib::Request& req, httplib::Response& res);

    Server& server_;
    const ServerConfig& config_;
    Logger& log_;
    std::unique_ptr<httplib::Server> http_;
    std::thread thread_;
    int port_ = 0;
};

}  // namespace gavo::server
