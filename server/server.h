// The file server: listens on TCP and serves its connections through an event loop (see
// event_loop.h): an idle connection holds no thread, a request runs on a loop thread, and
// one that must wait (for its client or the disk) continues on a thread of its own, so a
// stalled client holds only that thread until the stall time-out ends it. A table record
// waits for its commit holding no thread: its connection is parked until the tables
// writer hands it back to the loop with the outcome.
// It closes the handles whose connection ended longer than the grace period ago without
// another connection of their host using them since.
//
// Usage: construct, start(), then stop() (or destroy) to end: stop() refuses new
// connections, closes idle connections, gives every request in flight kStopGrace to
// finish and then cuts its connection, and closes every open file with its flush.
// Thread-safe.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "server/access.h"
#include "server/admin/admin.h"
#include "server/base/config.h"
#include "server/base/identity.h"
#include "server/base/limits.h"
#include "server/base/log.h"
#include "server/base/metrics.h"
#include "server/base/mutex.h"
#include "server/base/state_lock.h"
#include "server/files/files.h"
#include "server/files/handles.h"
#include "server/files/node_lock.h"
#include "server/files/resolver.h"
#include "server/net/event_loop.h"
#include "server/net/tls.h"
#include "server/session.h"
#include "server/tables/pending.h"
#include "server/tables/table_service.h"

namespace gavo::server {

class Server : public AdminTarget {
public:
    // How long stop() lets requests in flight run on before cutting their connections.
    static constexpr std::chrono::seconds kStopGrace{3};

    Server(ServerConfig config, Logger& log);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Opens the root, binds and starts serving. False with `error` set on failure.
    bool start(std::string* error);
    // Stops as described above; idempotent.
    void stop();

    // Takes the allow-list, the table declarations of `fresh` (see TableService::reload;
    // only when tables are served and `fresh` names a tables file) and its access rules
    // (only when the server started with rules and `fresh` has some) while the server
    // runs, and over TLS reads its certificate, key and client authority files afresh for
    // new connections; every other setting of `fresh` is ignored. All or nothing: false
    // with `error` set, and all kept as it was, when the tables file cannot replace the
    // one in use, a folder of the rules cannot be opened, a TLS file cannot be used, or
    // `fresh` would turn TLS or client certificates on or off (that takes a restart).
    // Connections already admitted stay open and meet the new rules at their next
    // request.
    bool reload(const ServerConfig& fresh, std::string* error);
    // Whether the server serves with access rules (decided at the start).
    bool has_access_rules() const { return config_.access != nullptr; }
    // True when the access rules (if any) admit `who`; otherwise counts and logs the
    // refusal of the connection `label` (the caller closes it).
    bool admits(const Identity& who, const std::string& label);
    // The allow-list in use: `--allow` at the start, or the last reload's.
    std::vector<Cidr> allow_list() const override;

    // Whether the file port speaks TLS (decided at the start).
    bool tls_enabled() const { return !config_.tls_cert.empty(); }

    // The port actually bound (useful with port 0).
    int port() const { return port_; }
    // Connections being served and handles open right now.
    int connections() const;
    size_t open_handles() const { return handles_.size(); }
    // Threads serving connections right now (none per idle connection).
    int pool_threads() const { return loop_.threads(); }
    const TableService& tables() const { return tables_; }
    // The admin port bound (with --admin), else -1.
    int admin_port() const { return admin_ ? admin_->port() : -1; }

    // For the admin port (see AdminTarget). Serving: listening, and the tables store
    // (when tables are served) committing.
    bool serving(std::string* why) const override;
    MetricsGauges gauges() const override;
    std::vector<HandleView> handle_list() const override { return handles_.list(); }
    // `what` receives the object's description.
    bool drop_orphan(int handle, const std::string& owner, const std::string& by, bool* live,
                     std::string* what) override;
    // Bytes held right now for table records still arriving.
    size_t pending_bytes() const { return pending_.total(); }

private:
    bool bind_listener(std::string* error);
    // Locks the state folder (see state_lock.h) and keeps the handle allocation position
    // in it (see handles.h).
    bool keep_handle_position(std::string* error);
    void accept_loop();
    // Accepts with the spare descriptor given back, closes that connection at once, and
    // takes the spare again: a client waiting in the backlog is told instead of hanging.
    void shed_connection();
    void reaper_loop();
    struct Client;
    // Takes a new connection: checks the allow-list and the limits, then opens it (for TLS
    // on a pool thread: the handshake waits for the client).
    // `on_pool`: called from a pool thread, which then runs the handshake itself.
    void admit(int fd, const struct sockaddr* addr, bool on_pool = false);
    // For a peer in --proxy-from, on a pool thread: reads its PROXY header, then admits
    // the connection as the client it names (or as the proxy, for LOCAL); a missing or
    // bad header closes it with a log line.
    void admit_proxied(int fd, const struct sockaddr_storage& peer);
    bool from_proxy(const struct sockaddr* addr) const;
    // The TLS handshake (with `tls`) and the access rules; then the loop watches it.
    void open_client(Client* c, const std::shared_ptr<TlsContext>& tls);
    // The loop's handler: serves the requests here, then watches the connection again.
    void serve_client(Client* c, bool socket_ready);
    // The loop's handler for a connection handed back after its record's commit: answers
    // the record unless that is done, then serves on as serve_client().
    void resume_client(Client* c);
    // After serving: parks a record, watches the connection again, or ends it (`open`
    // false).
    void serve_on(Client* c, bool open);
    // Queues the record parked by the session of `c` for its commit.
    void park_record(Client* c);
    // The commit's end, on the writer's thread (`batch` records committed together):
    // answers a lone record there when that needs no wait and watches `c` again, or
    // hands `c` back to the loop (resume_client).
    void record_committed(Client* c, int code, size_t batch);
    // Ends a connection; `stopping`: serves first the request already here, if any.
    void finish_client(Client* c, bool stopping);
    // At a stop: ends the connections no thread serves.
    void end_idle_clients();
    // The TLS handshake of a new connection, its failure's log line and count; `label`
    // gains the client certificate's name. False when it failed (logged).
    bool open_tls(Session& session, const TlsContext& tls, std::string* label);
    // Logs, at the first TLS connection, whether the kernel took over its encryption.
    void log_ktls_once(const Conn& conn);
    // The TLS context of `fresh`, checked against the one in use; null with `error`.
    std::shared_ptr<TlsContext> reload_tls(const ServerConfig& fresh, std::string* error);
    // Takes `state` into use for new connections and the next request of open ones.
    void use_access(std::shared_ptr<const AccessState> state);
    // No rename may move the folders of the rules in use, nor those of `next` (rules
    // being taken into use) when given (see FileService::pin_folders).
    void pin_access_folders(const AccessState* next);
    // Gives back what admit() counted for a connection.
    void end_connection(const Identity& who, ConnId id);
    void close_objects(HandleTable::Taken taken);
    bool allowed(const HostAddr& host) const;

    const ServerConfig config_;
    Logger& log_;
    NodeLock node_lock_;    // with --node: this node's claim on the root
    StateLock state_lock_;  // the state folder's, from the start until everything is gone
    HostLimits limits_;     // before the files and handles, whose open files count in it
    RootDir root_;
    FileService files_;
    HandleTable handles_;
    TableService tables_;
    PendingBytes pending_;
    AccessControl access_;  // used only with access rules
    ServerContext ctx_;

    std::unique_ptr<AdminPort> admin_;  // with --admin
    EventLoop loop_;

    int listen_fd_ = -1;
    int port_ = 0;
    int stop_fd_ = -1;   // an eventfd, readable once stopping
    int spare_fd_ = -1;  // held for accept when the descriptors run out (shed_connection)
    std::thread acceptor_;
    std::thread reaper_;
    std::atomic<bool> started_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<ConnId> next_id_{1};

    mutable Mutex allow_mutex_;
    // Empty: everyone; replaced whole by reload().
    std::vector<Cidr> allow_ GAVO_GUARDED_BY(allow_mutex_);
    // Null: plain text; replaced whole by reload().
    std::shared_ptr<TlsContext> tls_ GAVO_GUARDED_BY(allow_mutex_);
    std::atomic<bool> ktls_logged_{false};

    mutable Mutex mutex_;
    CondVar changed_;  // a connection ended, or the stop began (for the reaper and stop())
    int active_ GAVO_GUARDED_BY(mutex_) = 0;  // connections admitted and not yet ended
    // By socket, for ending them at a stop.
    std::map<int, Client*> clients_ GAVO_GUARDED_BY(mutex_);
};

}  // namespace gavo::server
