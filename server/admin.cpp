#include "server/admin.h"

#include <httplib.h>

#include <chrono>
#include <cstdio>

#include "server/base/metrics.h"
#include "server/base/sys.h"
#include "server/server.h"

namespace gavo::server {

namespace {

// `text` as a JSON string. Client bytes are first escaped as for the log (valid UTF-8
// kept, other bytes as \xNN), so the JSON is valid and names read as in the log lines.
std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (const char c : escape_for_log(text)) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

std::string seconds_since(Clock::time_point then, Clock::time_point now) {
    char buf[32];
    snprintf(buf, sizeof buf, "%.3f", std::chrono::duration<double>(now - then).count());
    return buf;
}

std::string handles_json(const std::vector<HandleView>& handles) {
    const Clock::time_point now = sys().now();
    std::string out = "[";
    for (const HandleView& h : handles) {
        const OpenObject::Info info = h.obj->info();
        out.append(out.size() > 1 ? ",\n " : "\n ");
        out.append("{\"host\":\"").append(h.host.to_string());
        out.append("\",\"identity\":").append(json_string(h.identity));
        out.append(",\"handle\":").append(std::to_string(h.handle));
        out.append(",\"kind\":").append(json_string(info.kind));
        out.append(",\"name\":").append(json_string(info.name));
        out.append(",\"access\":").append(json_string(info.access));
        out.append(",\"age_seconds\":").append(seconds_since(h.opened, now));
        out.append(",\"idle_seconds\":").append(seconds_since(h.used, now));
        out.append(",\"connection\":")
            .append(h.connection.empty() ? "null" : json_string(h.connection))
            .append("}");
    }
    return out.append(handles.empty() ? "]\n" : "\n]\n");
}

// 127.0.0.0/8 (held as an IPv4-mapped address, first octet in byte 12) or ::1.
bool is_loopback(const HostAddr& host) {
    HostAddr v6_loopback;
    v6_loopback.bytes[15] = 1;
    return (host.is_v4() && host.bytes[12] == 127) || host == v6_loopback;
}

void reply(httplib::Response& res, int status, const std::string& text) {
    res.status = status;
    res.set_content(text, "text/plain; charset=utf-8");
}

// The handle and owner a close names: handle=N, with host=ADDR and identity=KEY to pick
// among several holders of the number: 0, or the status to answer with `why`.
int close_target(const httplib::Request& req, const std::vector<HandleView>& open, int* handle,
                 std::string* owner, std::string* why) {
    const std::string text = req.get_param_value("handle"), host_text = req.get_param_value("host");
    const std::string identity = req.get_param_value("identity");
    char* end = nullptr;
    const long n = text.empty() ? -1 : strtol(text.c_str(), &end, 10);
    if (n < 0 || n >= kHandleCount || *end != '\0') {
        *why = "give handle=N (0..32767) and, if several hosts hold it, host=ADDR\n";
        return 400;
    }
    *handle = static_cast<int>(n);
    HostAddr host;
    if (!host_text.empty() && !parse_host_addr(host_text, &host)) {
        *why = "host=" + escape_for_log(host_text) + " is no IP address\n";
        return 400;
    }
    int holders = 0;
    for (const HandleView& h : open) {
        if (h.handle != n || (!host_text.empty() && !(h.host == host)) ||
            (!identity.empty() && h.identity != identity)) {
            continue;
        }
        if (holders++ == 0) *owner = h.identity;
    }
    *why = holders == 0        ? "no such handle\n"
           : host_text.empty() ? "several hosts hold that handle: give host=ADDR\n"
                               : "several identities hold that handle: give identity=KEY\n";
    return holders == 1 ? 0 : holders == 0 ? 404 : 400;
}

}  // namespace

AdminPort::AdminPort(Server& server, const ServerConfig& config, Logger& log)
    : server_(server), config_(config), log_(log) {}

AdminPort::~AdminPort() { stop(); }

bool AdminPort::start(std::string* error) {
    http_ = std::make_unique<httplib::Server>();
    // Two workers: a scrape and an operator's request at once, never more threads.
    http_->new_task_queue = [] { return new httplib::ThreadPool(2); };
    http_->set_keep_alive_max_count(1);
    http_->set_read_timeout(5);
    http_->set_write_timeout(5);
    http_->set_payload_max_length(4096);
    route();
    const std::string& host = config_.admin_host;
    port_ = config_.admin_port == 0                         ? http_->bind_to_any_port(host)
            : http_->bind_to_port(host, config_.admin_port) ? config_.admin_port
                                                            : -1;
    if (port_ < 0) {
        *error =
            "cannot listen on the admin address " + host + ":" + std::to_string(config_.admin_port);
        http_.reset();
        return false;
    }
    thread_ = std::thread([this] { http_->listen_after_bind(); });
    log_.linef("admin port on %s port %d (/healthz, /metrics, /handles)", host.c_str(), port_);
    return true;
}

void AdminPort::stop() {
    if (!http_) return;
    http_->stop();
    if (thread_.joinable()) thread_.join();
    http_.reset();
}

bool AdminPort::admit_peer(const std::string& addr, int port) const {
    HostAddr host;
    if (!parse_host_addr(addr, &host)) return false;
    if (is_loopback(host)) return true;
    // The allow-list in use, so that a reload applies here too.
    for (const Cidr& cidr : server_.allow_list()) {
        if (cidr.contains(host)) return true;
    }
    if (log_.admit_repeat(host.to_string(), "admin refused")) {
        log_.linef(LogLevel::kWarn, "admin %s:%d: refused, neither loopback nor in the allow-list",
                   addr.c_str(), port);
    }
    return false;
}

void AdminPort::route() {
    using Req = httplib::Request;
    using Res = httplib::Response;
    http_->set_pre_routing_handler([this](const Req& req, Res& res) {
        if (admit_peer(req.remote_addr, req.remote_port)) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        reply(res, 403, "forbidden: neither loopback nor in the allow-list\n");
        return httplib::Server::HandlerResponse::Handled;
    });
    http_->Get("/healthz", [this](const Req&, Res& res) {
        std::string why;
        const bool ok = server_.serving(&why);
        reply(res, ok ? 200 : 503, ok ? "ok\n" : why + "\n");
    });
    http_->Get("/metrics", [this](const Req&, Res& res) {
        res.set_content(render_metrics(server_.gauges(), GAVO_VERSION),
                        "text/plain; version=0.0.4; charset=utf-8");
    });
    http_->Get("/handles", [this](const Req&, Res& res) {
        res.set_content(handles_json(server_.handle_list()), "application/json");
    });
    http_->Post("/handles/close", [this](const Req& req, Res& res) { close_handle(req, res); });
}

void AdminPort::close_handle(const httplib::Request& req, httplib::Response& res) {
    int handle = -1;
    std::string owner, why;
    const int status = close_target(req, server_.handle_list(), &handle, &owner, &why);
    if (status != 0) return reply(res, status, why);
    const std::string by = "admin " + req.remote_addr + ":" + std::to_string(req.remote_port);
    bool live = false;
    std::string what;
    if (server_.drop_orphan(handle, owner, by, &live, &what)) {
        metrics().handle_dropped();
        return reply(res, 200,
                     "closed handle " + std::to_string(handle) + " (" + escape_for_log(what) +
                         ") of " + escape_for_log(owner) + "\n");
    }
    if (live) return reply(res, 409, "handle in use by a live connection: not an orphan\n");
    reply(res, 404, "no such handle\n");
}

}  // namespace gavo::server
