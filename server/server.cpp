#include "server/server.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>

#include "server/base/sys.h"
#include "server/net/proxy_reader.h"

namespace gavo::server {

namespace {

void set_socket_options(int fd) {
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // Keep-alive finds clients that vanished without closing (their handles then enter
    // the grace period instead of staying open forever).
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    const int idle = 60, interval = 10, probes = 6;
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

std::string peer_text(const HostAddr& host, const struct sockaddr* addr) {
    int port = 0;
    if (addr->sa_family == AF_INET) {
        port = ntohs(reinterpret_cast<const sockaddr_in*>(addr)->sin_port);
    } else if (addr->sa_family == AF_INET6) {
        port = ntohs(reinterpret_cast<const sockaddr_in6*>(addr)->sin6_port);
    }
    // Built by appending: GCC 12 at -O3 sees a false overlap (-Wrestrict) in the
    // `"literal" + std::string&&` form.
    std::string text = host.is_v4() ? "" : "[";
    text.append(host.to_string()).append(host.is_v4() ? ":" : "]:");
    return text.append(std::to_string(port));
}

// What the admin port may hold at most, kept in the reserve so that its clients never
// take a file client's descriptor.
uint64_t admin_descriptors() { return AdminPort::kMaxConnections + AdminPort::kFixedDescriptors; }

// This thread queued records deferred to the end of its batch of events.
thread_local bool tl_records_deferred = false;

int default_threads() {
    return default_max_threads(std::thread::hardware_concurrency(), descriptor_limit(),
                               process_limit());
}

}  // namespace

// A connection between two of its requests: watched by the loop, or served by one thread.
struct Server::Client : EventLoop::Watched {
    Client(ServerContext& ctx, int socket, const Identity& who, const std::string& name,
           int stop_fd, ConnId number)
        : session(ctx, socket, who, name, stop_fd, number), label(name), id(number) {
        fd = socket;
    }
    Session session;
    std::string label;  // gains the client certificate's name after the handshake
    const ConnId id;
    bool opened = false;  // admitted: its end gets a log line
    // Served by a thread, or its record by the tables writer, rather than watched.
    bool busy GAVO_GUARDED_BY(handoff) = true;
    // Its record waits for its commit (the connection may still be in its set).
    bool parked GAVO_GUARDED_BY(handoff) = false;
};

Server::Server(ServerConfig config, Logger& log)
    : config_(std::move(config)),
      log_(log),
      limits_(
          log_, config_.max_connections_per_host,
          size_descriptor_limits(descriptor_limit(), static_cast<uint64_t>(config_.max_connections),
                                 static_cast<uint64_t>(config_.max_descriptors_per_host),
                                 config_.admin_port < 0 ? 0 : admin_descriptors())),
      files_(root_, config_.read_only, config_.sync, config_.allow_hard_links),
      handles_(config_.max_handles_per_host,
               config_.nodes > 0 ? HandleClass{config_.node - 1, config_.nodes} : HandleClass{}),
      pending_(config_.max_pending_bytes, log_),
      ctx_{config_, log_,     files_,  handles_,
           tables_, pending_, limits_, config_.access ? &access_ : nullptr},
      loop_(
          log_,
          [this](EventLoop::Watched* w, bool resumed) {
              if (resumed) return resume_client(static_cast<Client*>(w));
              serve_client(static_cast<Client*>(w), true);
          },
          0, config_.max_threads > 0 ? config_.max_threads : default_threads(),
          config_.thread_starter),
      allow_(config_.allow) {}

Server::~Server() {
    stop();
    // A start that failed half-way leaves these behind.
    if (!started_ && stop_fd_ >= 0) close(stop_fd_);
    if (!started_ && listen_fd_ >= 0) close(listen_fd_);
    if (!started_ && spare_fd_ >= 0) close(spare_fd_);
}

bool Server::start(std::string* error) {
    if (tls_enabled()) {
        std::shared_ptr<TlsContext> tls = TlsContext::load(config_, error);
        if (!tls) return false;
        log_.linef("TLS 1.3: %s", tls->summary().c_str());
        MutexLock lock(allow_mutex_);
        tls_ = std::move(tls);
    }
    if (!root_.open(config_.root, config_.force_component_walk, error)) return false;
    // Without working locks another server (or a host in working mode 1) on the same root
    // would not be held off by this one's opens: refuse rather than serve without them.
    if (!root_.holds_share_locks(error)) return false;
    if (config_.nodes > 0) {
        if (!node_lock_.acquire(config_.root, config_.node, config_.nodes, error)) return false;
        const int first = config_.node - 1, step = config_.nodes;
        log_.linef("node %d of %d: handle numbers %d, %d, %d and on in steps of %d", config_.node,
                   step, first, first + step, first + 2 * step, step);
    }
    const std::string remote = root_.remote_kind();
    if (!remote.empty()) {
        ctx_.opens_may_block = true;
        log_.linef("root on a %s file system: opens wait off the event loop", remote.c_str());
    }
    if (config_.access) {
        std::shared_ptr<const AccessState> state = AccessState::open(*config_.access, root_, error);
        if (!state) return false;
        use_access(std::move(state));
    }
    if (!keep_handle_position(error)) return false;
    if (!tables_.start(config_, log_, error)) return false;
    stop_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop_fd_ < 0) {
        *error = std::string("eventfd: ") + strerror(errno);
        return false;
    }
    spare_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (spare_fd_ < 0) {
        *error = std::string("cannot open the spare descriptor /dev/null: ") + strerror(errno);
        return false;
    }
    if (!bind_listener(error)) return false;
    if (config_.admin_port >= 0) {
        admin_ = std::make_unique<AdminPort>(*this, config_, log_);
        if (!admin_->start(error)) return false;
    }
    limits_.add_fixed(open_descriptor_count());
    const DescriptorSizes& sizes = limits_.sizes();
    log_.linef(
        "limits: %llu descriptors (%llu in use), %llu of them kept in reserve, %llu "
        "per host for files; %d connections, %d per host; %d handles per host",
        static_cast<unsigned long long>(sizes.limit),
        static_cast<unsigned long long>(limits_.descriptors_in_use()),
        static_cast<unsigned long long>(sizes.reserve),
        static_cast<unsigned long long>(sizes.per_host), config_.max_connections,
        config_.max_connections_per_host, config_.max_handles_per_host);
    // With a store that commits quickly, a loop thread commits its batch's records itself.
    loop_.set_batch_end([this](bool leaving) {
        if (!tl_records_deferred) return;
        tl_records_deferred = false;
        if (leaving) tables_.hand_over();
        else tables_.commit_deferred();
    });
    if (!loop_.start(error)) return false;
    const EventLoop::Usage threads = loop_.usage();
    log_.linef("threads: %d at the event loop's sets, at most %d more for blocking work (%s)",
               threads.threads, threads.limit,
               config_.max_threads > 0 ? "--max-threads" : "sized from the cores and limits");
    started_ = true;
    acceptor_ = std::thread([this] { accept_loop(); });
    reaper_ = std::thread([this] { reaper_loop(); });
    log_.linef("serving %s on %s port %d (%s%s%s%s)", config_.root.c_str(),
               config_.listen_host.c_str(), port_,
               root_.uses_openat2() ? "openat2" : "component walk",
               config_.read_only ? ", read-only" : "", config_.sync ? "" : ", no sync",
               !tls_enabled()                   ? ""
               : !config_.tls_client_ca.empty() ? ", TLS with client certificates"
                                                : ", TLS");
    return true;
}

bool Server::keep_handle_position(std::string* error) {
    const std::string state = state_dir_of(config_);
    if (state.empty()) {
        log_.linef(
            "handles: no state folder (give --state DIR): numbering starts at 0, and "
            "handles held from before a restart may name new objects");
        return true;
    }
    if (!prepare_state_dir(state, config_.root, error)) return false;
    if (!state_lock_.acquire(state, error)) return false;
    const std::string path = state + "/" + kHandleMarkName;
    if (!handles_.keep_position(std::make_unique<HandleMarkFile>(path, config_.sync), error)) {
        return false;
    }
    log_.linef("handles: numbering continues at position %llu (%s), %zu numbers held back",
               static_cast<unsigned long long>(handles_.next_position()), path.c_str(),
               handles_.held_back_count());
    return true;
}

bool Server::bind_listener(std::string* error) {
    int err = 0;
    const int fd = bind_tcp(config_.listen_host, config_.listen_port, error, &err);
    if (fd < 0) return false;
    if (listen(fd, 512) != 0) {
        *error = "cannot listen on " + config_.listen_host + ":" +
                 std::to_string(config_.listen_port) + ": " + strerror(errno);
        close(fd);
        return false;
    }
    struct sockaddr_storage bound;
    socklen_t len = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
    port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    listen_fd_ = fd;
    return true;
}

void Server::accept_loop() {
    struct pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    while (!stopping_) {
        if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
        if (fds[1].revents != 0) break;
        if ((fds[0].revents & POLLIN) == 0) continue;
        struct sockaddr_storage addr;
        socklen_t len = sizeof addr;
        const int fd = accept4(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
        if (fd >= 0 && from_proxy(reinterpret_cast<sockaddr*>(&addr))) {
            // The header may take up to a stall time-out: read it off the accept thread.
            loop_.run_task([this, fd, addr] { admit_proxied(fd, addr); });
        } else if (fd >= 0) {
            admit(fd, reinterpret_cast<sockaddr*>(&addr));
        } else if (errno == EMFILE || errno == ENFILE) {
            shed_connection();
        } else if (errno == ENOBUFS || errno == ENOMEM) {
            // Out of descriptors: let the pending connection wait rather than spin.
            log_.linef(LogLevel::kWarn, "accept: %s", strerror(errno));
            usleep(100 * 1000);
        }
    }
}

void Server::shed_connection() {
    if (spare_fd_ >= 0) close(spare_fd_);
    struct sockaddr_storage addr;
    socklen_t len = sizeof addr;
    const int fd = accept4(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
    HostAddr host;
    if (fd >= 0 && host_from_sockaddr(reinterpret_cast<sockaddr*>(&addr), &host)) {
        metrics().connection_refused(RefusedBy::kDescriptors);
        limits_.refused(host, Refusal::kDescriptors,
                        peer_text(host, reinterpret_cast<sockaddr*>(&addr)) +
                            ": refused, the process is out of descriptors");
    }
    if (fd >= 0) close(fd);
    spare_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0 || spare_fd_ < 0) {
        // Even the spare is gone (the whole system is out): wait rather than spin.
        log_.linef(LogLevel::kWarn, "accept: %s", strerror(errno));
        usleep(100 * 1000);
    }
}

bool Server::from_proxy(const struct sockaddr* addr) const {
    HostAddr host;
    return !config_.proxy_from.empty() && host_from_sockaddr(addr, &host) &&
           std::any_of(config_.proxy_from.begin(), config_.proxy_from.end(),
                       [&](const Cidr& cidr) { return cidr.contains(host); });
}

void Server::admit_proxied(int fd, const struct sockaddr_storage& peer) {
    ProxyHeader header;
    std::string why;
    if (!read_proxy_header(fd, static_cast<int>(config_.stall_timeout.count()), stop_fd_, &header,
                           &why)) {
        HostAddr host;
        host_from_sockaddr(reinterpret_cast<const sockaddr*>(&peer), &host);
        log_.linef(LogLevel::kWarn, "proxy %s: refused, %s",
                   peer_text(host, reinterpret_cast<const sockaddr*>(&peer)).c_str(), why.c_str());
        close(fd);
        return;
    }
    if (header.local) {  // the proxy's own connection (a health check)
        admit(fd, reinterpret_cast<const sockaddr*>(&peer), true);
        return;
    }
    struct sockaddr_storage client = {};
    if (header.v6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&client);
        in6->sin6_family = AF_INET6;
        std::memcpy(&in6->sin6_addr, header.source, 16);
        in6->sin6_port = htons(header.source_port);
    } else {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&client);
        in4->sin_family = AF_INET;
        std::memcpy(&in4->sin_addr, header.source, 4);
        in4->sin_port = htons(header.source_port);
    }
    admit(fd, reinterpret_cast<const sockaddr*>(&client), true);
}

void Server::admit(int fd, const struct sockaddr* addr, bool on_pool) {
    HostAddr host;
    if (!host_from_sockaddr(addr, &host)) {
        close(fd);
        return;
    }
    const ConnId id = next_id_++;
    const std::string label = "conn " + std::to_string(id) + " " + peer_text(host, addr);
    if (!allowed(host)) {
        metrics().connection_refused(RefusedBy::kAllowList);
        log_.linef(LogLevel::kWarn, "%s: refused, address not in the allow-list", label.c_str());
        close(fd);
        return;
    }
    std::string why;
    Refusal kind;
    if (!limits_.admit_connection(host, &why, &kind)) {
        metrics().connection_refused(kind == Refusal::kDescriptors ? RefusedBy::kDescriptors
                                                                   : RefusedBy::kHostConnections);
        limits_.refused(host, kind, label + ": refused, " + why);
        close(fd);
        return;
    }
    auto client = std::make_unique<Client>(ctx_, fd, host, label, stop_fd_, id);
    {
        MutexLock lock(mutex_);
        if (active_ >= config_.max_connections) {
            metrics().connection_refused(RefusedBy::kMaxConnections);
            limits_.refused(
                host, Refusal::kConnections,
                label + ": refused, " + std::to_string(active_) + " connections already");
            limits_.connection_ended(host);
            close(fd);
            return;
        }
        ++active_;
        clients_[fd] = client.get();
    }
    metrics().connection_accepted();
    set_socket_options(fd);
    handles_.connection_opened(id, host, label);
    std::shared_ptr<TlsContext> tls;
    {
        MutexLock lock(allow_mutex_);
        tls = tls_;
    }
    Client* c = client.release();
    if (tls && !on_pool) {
        loop_.run_task([this, c, tls] { open_client(c, tls); });
    } else {
        open_client(c, tls);
    }
}

void Server::open_client(Client* c, const std::shared_ptr<TlsContext>& tls) {
    // The rules are checked after the handshake: where a client certificate names the
    // client, its name is known only then. A failed handshake or a refusal has had its
    // one line.
    if ((tls && !open_tls(c->session, *tls, &c->label)) ||
        !admits(c->session.identity(), c->label)) {
        return finish_client(c, false);
    }
    log_.linef("%s: opened%s", c->label.c_str(),
               tls ? (" (" + c->session.conn().tls_description() + ")").c_str() : "");
    c->opened = true;
    serve_client(c, false);  // the handshake may have brought a request along
}

void Server::serve_client(Client* c, bool socket_ready) {
    {
        MutexLock lock(c->handoff);
        if (c->parked) {
            // Input or a hang-up while its record waits: the writer holds the connection.
            // Out of the set, or the level-triggered set would report it again and again;
            // whoever answers the record watches it again.
            loop_.unwatch(*c);
            return;
        }
        c->busy = true;
    }
    serve_on(c, c->session.serve_ready(socket_ready));
}

void Server::resume_client(Client* c) {
    {
        MutexLock lock(c->handoff);
        c->busy = true;
        c->parked = false;
    }
    const bool answered = !c->session.record_parked() || c->session.answer_record();
    serve_on(c, answered && c->session.serve_ready(false));
}

void Server::serve_on(Client* c, bool open) {
    if (open && c->session.record_parked()) return park_record(c);
    if (open) {
        c->session.conn().release_buffers();
        MutexLock lock(c->handoff);
        // Read under the client's lock: end_idle_clients() sees it watched, or this
        // thread sees the stop.
        if (!stopping_) {
            c->busy = false;
            if (loop_.watch(*c)) return;
            c->busy = true;
            open =
                c->session.conn().fail(ConnFailure::kIo, std::string("epoll: ") + strerror(errno));
        }
    }
    finish_client(c, open);
}

void Server::park_record(Client* c) {
    // It stays in its set and busy (a stop waits for it); its buffers are empty now.
    c->session.conn().release_buffers();
    loop_.park(*c);
    {
        MutexLock lock(c->handoff);
        c->parked = true;
    }
    Record record = c->session.take_parked_record();
    // On the loop, the record waits for the end of the batch of events, where its thread
    // commits the batch's records (see the batch hook in start()).
    const bool deferred = EventLoop::at_set();
    tl_records_deferred = tl_records_deferred || deferred;
    tables_.store(
        std::move(record), [this, c](int code, size_t batch) { record_committed(c, code, batch); },
        deferred);
    // `c` may be served on another thread from here on.
}

void Server::record_committed(Client* c, int code, size_t batch) {
    {
        MutexLock lock(c->handoff);
        c->session.set_record_outcome(code);
        // A lone record is answered here, which spares its client the wake-up of a loop
        // thread; its connection stayed in its set and is watched again without a system
        // call. The answers of a batch from the committer thread go back to the loop
        // threads, which meet the next records in the same turn (answered from there,
        // each would wake a loop thread); a loop thread that committed answers its own.
        // Read under the client's lock as in serve_on(): at a stop, the loop answers it.
        if ((batch == 1 || EventLoop::at_set()) && !stopping_ && c->session.answer_record_now()) {
            c->parked = false;
            c->busy = false;
            if (loop_.watch(*c)) return;
            c->busy = true;  // the loop ends it: its watch fails there too
        }
    }
    loop_.resume(*c);
}

void Server::finish_client(Client* c, bool stopping) {
    if (stopping) {
        while (c->session.serve_next()) {
        }
    }
    loop_.unwatch(*c);
    const int fd = c->fd;
    const ConnId id = c->id;
    const bool opened = c->opened;
    const std::string label = c->label, why = c->session.end_reason();
    const Identity who = c->session.identity();
    {
        MutexLock lock(mutex_);
        clients_.erase(fd);
    }
    delete c;  // before the close: a TLS session says goodbye on the socket
    close(fd);
    if (opened) log_.linef("%s: closed (%s)", label.c_str(), why.c_str());
    end_connection(who, id);
}

void Server::end_idle_clients() {
    std::vector<Client*> idle;
    {
        MutexLock lock(mutex_);
        for (const auto& [fd, c] : clients_) {
            MutexLock hold(c->handoff);
            if (!c->busy) {
                c->busy = true;
                idle.push_back(c);
            }
        }
    }
    // A request already here is still served, on a thread of its own; the rest end now,
    // TLS ones on a pool thread, where a close_notify to a peer gone cannot raise SIGPIPE.
    std::vector<Client*> tls;
    for (Client* c : idle) {
        if (c->session.conn().input_pending()) {
            loop_.run_task([this, c] { finish_client(c, true); });
        } else if (c->session.conn().tls()) {
            tls.push_back(c);
        } else {
            finish_client(c, true);
        }
    }
    if (!tls.empty()) {
        loop_.run_task([this, tls] {
            for (Client* c : tls) finish_client(c, true);
        });
    }
}

bool Server::allowed(const HostAddr& host) const {
    MutexLock lock(allow_mutex_);
    if (allow_.empty()) return true;
    return std::any_of(allow_.begin(), allow_.end(),
                       [&](const Cidr& cidr) { return cidr.contains(host); });
}

std::vector<Cidr> Server::allow_list() const {
    MutexLock lock(allow_mutex_);
    return allow_;
}

void Server::use_access(std::shared_ptr<const AccessState> state) {
    log_.linef("access: %zu rules from %s", state->rules().rules.size(),
               state->rules().file.c_str());
    access_.set(std::move(state));
    pin_access_folders(nullptr);
}

void Server::pin_access_folders(const AccessState* next) {
    const std::shared_ptr<const AccessState> current = access_.current();
    FolderPins pins = current ? current->pins() : FolderPins{};
    if (next) pins.insert(next->pins().begin(), next->pins().end());
    files_.pin_folders(std::move(pins));
}

bool Server::admits(const Identity& who, const std::string& label) {
    if (!config_.access) return true;
    const std::shared_ptr<const AccessState> state = access_.current();
    if (state && state->grant(who).rule) return true;
    metrics().connection_refused(RefusedBy::kAccess);
    log_.linef(LogLevel::kWarn, "%s: refused, no access rule for %s", label.c_str(),
               who.key().c_str());
    return false;
}

bool Server::reload(const ServerConfig& fresh, std::string* error) {
    // What can be refused goes first: TLS (made, not yet used), the rules' folders, then
    // the tables, so that a refusal leaves everything as it was. Serving tables or rules
    // or not is decided at the start.
    std::shared_ptr<TlsContext> tls = reload_tls(fresh, error);
    if (!error->empty()) return false;
    std::shared_ptr<const AccessState> access;
    if (config_.access && fresh.access) {
        access = AccessState::open(*fresh.access, root_, error);
        if (!access) return false;
        // Renames ran while the folders were opened: pinned from here on (beside the
        // rules in use), a folder is checked once more where it was found.
        pin_access_folders(access.get());
        if (!access->in_place(root_, error)) {
            pin_access_folders(nullptr);
            return false;
        }
    }
    if (tables_.enabled() && !fresh.tables_file.empty() &&
        !tables_.reload(fresh.tables_file, error)) {
        pin_access_folders(nullptr);
        return false;
    }
    if (access) use_access(std::move(access));
    MutexLock lock(allow_mutex_);
    allow_ = fresh.allow;
    if (tls) {
        tls_ = std::move(tls);
        log_.linef("TLS 1.3 reloaded for new connections: %s", tls_->summary().c_str());
    }
    return true;
}

std::shared_ptr<TlsContext> Server::reload_tls(const ServerConfig& fresh, std::string* error) {
    error->clear();
    if (fresh.tls_cert.empty() != config_.tls_cert.empty() ||
        fresh.tls_client_ca.empty() != config_.tls_client_ca.empty()) {
        *error = "turning TLS or client certificates on or off takes a restart";
        return nullptr;
    }
    return tls_enabled() ? TlsContext::load(fresh, error) : nullptr;
}

void Server::end_connection(const Identity& who, ConnId id) {
    handles_.connection_closed(id, who, sys().now());
    limits_.connection_ended(who.addr);
    MutexLock lock(mutex_);
    --active_;
    changed_.notify_all();
}

bool Server::open_tls(Session& session, const TlsContext& tls, std::string* label) {
    Conn& conn = session.conn();
    if (!conn.start_tls(tls)) {
        metrics().tls_handshake(false);
        log_.linef(LogLevel::kWarn, "%s: %s", label->c_str(), conn.error().c_str());
        return false;
    }
    metrics().tls_handshake(true);
    if (!conn.cert_name().empty()) {
        session.set_cert_name(conn.cert_name());
        label->append(" CN=").append(conn.cert_name());
    }
    log_ktls_once(conn);
    return true;
}

void Server::log_ktls_once(const Conn& conn) {
    if (ktls_logged_.exchange(true)) return;
    const bool send = conn.ktls_send(), receive = conn.ktls_receive();
    log_.linef("TLS: kernel TLS offload for sending: %s, for receiving: %s%s", send ? "yes" : "no",
               receive ? "yes" : "no",
               send || receive ? ""
                               : " (the kernel's tls module is not loaded, or does not take "
                                 "this suite: OpenSSL encrypts in the serving threads)");
}

void Server::reaper_loop() {
    const auto grace = config_.handle_grace;
    // Check a few times per grace period, at most once a second.
    const auto step =
        std::clamp(grace / 4, std::chrono::milliseconds(10), std::chrono::milliseconds(1000));
    for (;;) {
        {
            MutexLock lock(mutex_);
            if (!stopping_) changed_.wait_for(mutex_, step);
        }
        if (stopping_) break;
        std::vector<std::string> hosts;
        HandleTable::Taken taken = handles_.take_expired(sys().now(), grace, &hosts);
        for (size_t i = 0; i < taken.size(); ++i) {
            metrics().handle_expired();
            log_.linef(
                "host %s: handle %d unused since its connection ended, gone for the "
                "grace period, closing it",
                hosts[i].c_str(), taken[i].first);
        }
        close_objects(std::move(taken));
        log_.flush_repeats();
    }
}

void Server::close_objects(HandleTable::Taken taken) {
    for (auto& [handle, obj] : taken) {
        const int code = obj->close();
        log_.linef(code == 0 ? LogLevel::kInfo : LogLevel::kError, "handle %d (%s) closed%s",
                   handle, obj->describe().c_str(),
                   code == 0 ? "" : (", flush failed with " + std::to_string(code)).c_str());
    }
}

int Server::connections() const {
    MutexLock lock(mutex_);
    return active_;
}

bool Server::serving(std::string* why) const {
    if (!started_ || stopping_) {
        *why = started_ ? "stopping" : "starting";
        return false;
    }
    const RecordWriter* writer = tables_.writer();
    if (writer && !writer->healthy()) {
        *why = "the tables store failed its last commit";
        return false;
    }
    // A root that fails now (an evicted mount) would fail every request: a load balancer
    // should send the clients elsewhere.
    return root_.usable(why);
}

MetricsGauges Server::gauges() const {
    const EventLoop::Usage threads = loop_.usage();
    return {connections(),         handles_.size(),          handles_.orphan_count(),
            threads.threads,       threads.blocking,         threads.limit,
            threads.tasks_waiting, threads.refused_at_limit, threads.refused_no_thread};
}

bool Server::drop_orphan(int handle, const std::string& owner, const std::string& by, bool* live,
                         std::string* what) {
    Lookup found;
    std::shared_ptr<OpenObject> obj = handles_.take_orphan(handle, owner, &found, live);
    if (!obj) return false;
    *what = obj->describe();
    log_.linef("%s: dropping orphan handle %d (%s) of host %s", by.c_str(), handle, what->c_str(),
               owner.c_str());
    HandleTable::Taken taken;
    taken.emplace_back(handle, std::move(obj));
    close_objects(std::move(taken));
    return true;
}

void Server::stop() {
    if (admin_) admin_->stop();  // first: no admin request meets a half-stopped server
    if (!started_ || stopping_.exchange(true)) return;
    const uint64_t one = 1;
    if (write(stop_fd_, &one, sizeof one) < 0) {
        log_.linef(LogLevel::kError, "stop: cannot wake the connections: %s", strerror(errno));
    }
    acceptor_.join();
    close(listen_fd_);
    loop_.end_turns();
    end_idle_clients();
    {
        MutexLock lock(mutex_);
        changed_.notify_all();
        const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
        for (auto now = deadline - kStopGrace; active_ > 0 && now < deadline;
             now = std::chrono::steady_clock::now()) {
            changed_.wait_for(mutex_, deadline - now);
        }
        if (active_ > 0) {
            // A request still trickling in (or out) after the grace would hold the stop,
            // and with the listener closed every client, indefinitely: cut it.
            log_.linef(LogLevel::kWarn,
                       "stop: %d connections still mid-request after %lld s, cutting them", active_,
                       static_cast<long long>(kStopGrace.count()));
            for (const auto& [fd, c] : clients_) shutdown(fd, SHUT_RDWR);
            while (active_ > 0) changed_.wait(mutex_);
        }
    }
    loop_.shut_down();
    reaper_.join();
    const size_t open = handles_.size();
    std::string why;
    if (!handles_.record_stop(&why)) log_.linef(LogLevel::kError, "stop: %s", why.c_str());
    close_objects(handles_.take_all());
    tables_.stop();  // every session has ended: nothing more is queued
    close(stop_fd_);
    if (spare_fd_ >= 0) close(spare_fd_);
    log_.flush_repeats(true);
    log_.linef("stopped; %zu open handles closed", open);
}

}  // namespace gavo::server
