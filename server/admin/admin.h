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
// What keeps it safe (each refusal has its status, a count and one summarised log line):
// - at accept, before a byte is read: only loopback peers and those in the allow-list
//   are kept; at most kMaxConnections are held at once, the rest closed at once; their
//   descriptors lie in the reserve the file port never gives its clients;
// - kWorkers serve one request per connection, each within config.admin_deadline of
//   its accept (a trickling or silent client is cut there);
// - a web page the operator opens cannot drive it: a Host that is neither the admin
//   address, the address the client reached, nor a loopback name gets 403 (DNS
//   rebinding), as does an Origin other than the port itself; a POST needs a content
//   type no form can send, or the X-Gavo-Admin header (415 otherwise);
// - with --admin-token-file, everything but /healthz needs "Authorization: Bearer
//   TOKEN" (401 otherwise).
// Thread-safe: start() and stop() from the server's own thread.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/base/address.h"
#include "server/base/config.h"
#include "server/base/log.h"
#include "server/base/metrics.h"
#include "server/files/handles.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace gavo::server {

class BoundedHttpServer;

// What the admin port reads from the file server and asks of it. Thread-safe.
class AdminTarget {
public:
    // True while serving; otherwise false with `why`.
    virtual bool serving(std::string* why) const = 0;
    virtual MetricsGauges gauges() const = 0;
    virtual std::vector<HandleView> handle_list() const = 0;
    // The allow-list in use (a reload applies to the admin port too).
    virtual std::vector<Cidr> allow_list() const = 0;
    // Closes `handle` of the identity keyed `owner` when it is an orphan, with a log line
    // naming `by`; false when there is none, or (`live` set) a live connection uses it.
    virtual bool drop_orphan(int handle, const std::string& owner, const std::string& by,
                             bool* live, std::string* what) = 0;

protected:
    ~AdminTarget() = default;
};

class AdminPort {
public:
    // The bounds of what admin clients can make the server spend; the file port keeps
    // kMaxConnections + kFixedDescriptors descriptors in its reserve for them.
    static constexpr int kMaxConnections = 8;
    static constexpr int kWorkers = 2;
    static constexpr int kFixedDescriptors = 2;  // the listener, and one being refused

    AdminPort(AdminTarget& target, const ServerConfig& config, Logger& log);
    ~AdminPort();
    AdminPort(const AdminPort&) = delete;
    AdminPort& operator=(const AdminPort&) = delete;

    // Reads the token file (if any), binds config.admin_host:admin_port and starts
    // serving; false with `error` when the token file cannot be used or the address
    // cannot be bound.
    bool start(std::string* error);
    // Stops serving, cuts the connections held and waits for the workers; idempotent.
    void stop();
    // The port bound (useful with port 0).
    int port() const { return port_; }

private:
    // Refusal reasons, as the label of gavo_admin_refused_total shows them.
    enum Reason { kPeer, kFull, kDeadline, kHost, kOrigin, kContentType, kToken, kReasons };

    void route();
    // True when the peer may use the port; otherwise counts and logs.
    bool admit_peer(const HostAddr& host, const std::string& label);
    // 0 when `req` may be served, else the status to refuse it with and `why`.
    int judge(const httplib::Request& req, Reason* reason, std::string* why) const;
    // A Host value naming the admin address, the address `req` reached, or loopback.
    bool known_host(const std::string& host_port, const httplib::Request& req) const;
    // An Origin of this port itself: http://, a known host, and this port.
    bool own_origin(const std::string& origin, const httplib::Request& req) const;
    // Counts a refusal and logs `text` (summarised when repeated).
    void refused(Reason reason, const HostAddr& peer, const std::string& text);
    std::string admin_metrics() const;
    void close_handle(const httplib::Request& req, httplib::Response& res);

    AdminTarget& target_;
    const ServerConfig& config_;
    Logger& log_;
    std::string token_;  // empty: none asked for
    std::unique_ptr<BoundedHttpServer> http_;
    std::thread thread_;
    std::atomic<bool> listener_done_{false};  // httplib's listener has returned
    int port_ = 0;
    std::array<std::atomic<uint64_t>, kReasons> refusals_{};
};

// The token in `path`: its text less trailing white space; false with `error` when the
// file cannot be read, is empty, or holds white space or control bytes inside.
bool read_token(const std::string& path, std::string* token, std::string* error);

}  // namespace gavo::server
