#include "server/admin/admin.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "server/admin/http_server.h"
#include "server/base/sys.h"

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

const char* const kReasonNames[] = {"peer",   "full",         "deadline", "host",
                                    "origin", "content_type", "token"};

// At most `n` bytes of client text, escaped for a log line.
std::string quoted(const std::string& text, size_t n = 80) {
    return "'" + escape_for_log(text.substr(0, n)) + (text.size() > n ? "'..." : "'");
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// "name:port", "[v6]:port" or either without the port: the host part, and the port
// (-1 when none is given, -2 when malformed).
std::string split_host(const std::string& host_port, int* port) {
    const size_t close = host_port.rfind(']');
    const size_t colon = host_port.rfind(':');
    std::string host = host_port;
    *port = -1;
    if (colon != std::string::npos && (close == std::string::npos || colon > close) &&
        (host_port[0] == '[' || host_port.find(':') == colon)) {
        host = host_port.substr(0, colon);
        const std::string digits = host_port.substr(colon + 1);
        const bool number =
            !digits.empty() && digits.size() <= 5 &&
            std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
        *port = number ? std::stoi(digits) : -2;
    }
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    return lower(host);
}

// A content type an HTML form (or a cross-site request without a preflight) can send.
bool form_content_type(const std::string& type) {
    const std::string media = lower(type.substr(0, type.find(';')));
    const std::string trimmed = media.substr(0, media.find_last_not_of(" \t") + 1);
    return trimmed.empty() || trimmed == "application/x-www-form-urlencoded" ||
           trimmed == "multipart/form-data" || trimmed == "text/plain";
}

bool same_in_constant_time(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

}  // namespace

bool read_token(const std::string& path, std::string* token, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    if (!(in && text << in.rdbuf())) {
        *error = "cannot read the admin token file " + path;
        return false;
    }
    *token = text.str();
    token->erase(token->find_last_not_of(" \t\r\n") + 1);
    const bool plain = std::all_of(token->begin(), token->end(),
                                   [](unsigned char c) { return c > 0x20 && c < 0x7f; });
    if (!token->empty() && plain) return true;
    *error = "the admin token file " + path +
             (token->empty() ? " is empty" : " holds spaces or control bytes in the token");
    return false;
}

AdminPort::AdminPort(AdminTarget& target, const ServerConfig& config, Logger& log)
    : target_(target), config_(config), log_(log) {}

AdminPort::~AdminPort() { stop(); }

bool AdminPort::start(std::string* error) {
    if (!config_.admin_token_file.empty() &&
        !read_token(config_.admin_token_file, &token_, error)) {
        return false;
    }
    const BoundedHttpServer::Bounds bounds{kMaxConnections, kWorkers, config_.admin_deadline};
    http_ = std::make_unique<BoundedHttpServer>(
        bounds,
        [this](const HostAddr& host, const std::string& label) { return admit_peer(host, label); },
        [this](BoundedHttpServer::Refusal why, const HostAddr& host, const std::string& label) {
            const bool full = why == BoundedHttpServer::Refusal::kFull;
            refused(full ? kFull : kDeadline, host,
                    label + (full ? ": refused, " + std::to_string(kMaxConnections) +
                                        " admin connections held already"
                                  : ": request not done within the admin deadline, closed"));
        });
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
    listener_done_ = false;
    thread_ = std::thread([this] {
        http_->listen_after_bind();
        listener_done_ = true;
    });
    // httplib's stop() acts only once the listener runs: wait for it, so a stop right
    // after the start cannot miss it.
    while (!http_->is_running() && !listener_done_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    log_.linef("admin port on %s port %d (/healthz, /metrics, /handles%s)", host.c_str(), port_,
               token_.empty() ? "" : "; a bearer token beyond /healthz");
    return true;
}

void AdminPort::stop() {
    if (!http_) return;
    http_->stop_all();
    if (thread_.joinable()) thread_.join();
    http_.reset();
}

bool AdminPort::admit_peer(const HostAddr& host, const std::string& label) {
    if (is_loopback(host)) return true;
    // The allow-list in use, so that a reload applies here too.
    for (const Cidr& cidr : target_.allow_list()) {
        if (cidr.contains(host)) return true;
    }
    refused(kPeer, host, label + ": refused, neither loopback nor in the allow-list");
    return false;
}

void AdminPort::refused(Reason reason, const HostAddr& peer, const std::string& text) {
    refusals_[static_cast<size_t>(reason)].fetch_add(1, std::memory_order_relaxed);
    if (log_.admit_repeat(peer.to_string(), std::string("admin ") + kReasonNames[reason])) {
        log_.line(LogLevel::kWarn, text);
    }
}

bool AdminPort::known_host(const std::string& host_port, const httplib::Request& req) const {
    int port = 0;
    const std::string host = split_host(host_port, &port);
    HostAddr addr;
    if (port == -2) return false;
    if (host == "localhost" || host == lower(config_.admin_host)) return true;
    if (!parse_host_addr(host, &addr)) return false;
    HostAddr local;
    return is_loopback(addr) || (parse_host_addr(req.local_addr, &local) && addr == local);
}

bool AdminPort::own_origin(const std::string& origin, const httplib::Request& req) const {
    if (origin.rfind("http://", 0) != 0) return false;
    int port = 0;
    split_host(origin.substr(7), &port);
    return port == port_ && known_host(origin.substr(7), req);
}

int AdminPort::judge(const httplib::Request& req, Reason* reason, std::string* why) const {
    const std::string host = req.get_header_value("Host");
    const std::string origin = req.get_header_value("Origin");
    if (req.has_header("Host") && !known_host(host, req)) {
        *reason = kHost;
        *why = "Host " + quoted(host) + " is not this port's address";
        return 403;
    }
    if (req.has_header("Origin") && !own_origin(origin, req)) {
        *reason = kOrigin;
        *why = "Origin " + quoted(origin) + " is not this port";
        return 403;
    }
    if (!token_.empty() && req.path != "/healthz" &&
        !same_in_constant_time(req.get_header_value("Authorization"), "Bearer " + token_)) {
        *reason = kToken;
        *why = req.has_header("Authorization") ? "wrong bearer token" : "no bearer token";
        return 401;
    }
    if (req.method == "POST" && form_content_type(req.get_header_value("Content-Type")) &&
        !req.has_header("X-Gavo-Admin")) {
        *reason = kContentType;
        *why = "a POST needs a content type no form sends (application/json) or X-Gavo-Admin";
        return 415;
    }
    return 0;
}

void AdminPort::route() {
    using Req = httplib::Request;
    using Res = httplib::Response;
    http_->set_pre_routing_handler([this](const Req& req, Res& res) {
        Reason reason = kPeer;
        std::string why;
        const int status = judge(req, &reason, &why);
        if (status == 0) return httplib::Server::HandlerResponse::Unhandled;
        HostAddr peer;
        parse_host_addr(req.remote_addr, &peer);
        refused(reason, peer,
                "admin " + req.remote_addr + ":" + std::to_string(req.remote_port) + ": refused " +
                    req.method + " " + quoted(req.path, 40) + ": " + why);
        if (status == 401) res.set_header("WWW-Authenticate", "Bearer");
        reply(res, status, "refused: " + why + "\n");
        return httplib::Server::HandlerResponse::Handled;
    });
    http_->Get("/healthz", [this](const Req&, Res& res) {
        std::string why;
        const bool ok = target_.serving(&why);
        reply(res, ok ? 200 : 503, ok ? "ok\n" : why + "\n");
    });
    http_->Get("/metrics", [this](const Req&, Res& res) {
        res.set_content(render_metrics(target_.gauges(), GAVO_VERSION) + admin_metrics(),
                        "text/plain; version=0.0.4; charset=utf-8");
    });
    http_->Get("/handles", [this](const Req&, Res& res) {
        res.set_content(handles_json(target_.handle_list()), "application/json");
    });
    http_->Post("/handles/close", [this](const Req& req, Res& res) { close_handle(req, res); });
}

std::string AdminPort::admin_metrics() const {
    std::string out =
        "# HELP gavo_admin_connections_open Admin connections held, waiting or served.\n"
        "# TYPE gavo_admin_connections_open gauge\n"
        "gavo_admin_connections_open " +
        std::to_string(http_->held()) +
        "\n# HELP gavo_admin_refused_total Admin connections and requests refused.\n"
        "# TYPE gavo_admin_refused_total counter\n";
    for (int i = 0; i < kReasons; ++i) {
        out.append("gavo_admin_refused_total{reason=\"").append(kReasonNames[i]).append("\"} ");
        out.append(std::to_string(refusals_[static_cast<size_t>(i)].load())).append("\n");
    }
    return out;
}

void AdminPort::close_handle(const httplib::Request& req, httplib::Response& res) {
    int handle = -1;
    std::string owner, why;
    const int status = close_target(req, target_.handle_list(), &handle, &owner, &why);
    if (status != 0) return reply(res, status, why);
    const std::string by = "admin " + req.remote_addr + ":" + std::to_string(req.remote_port);
    bool live = false;
    std::string what;
    if (target_.drop_orphan(handle, owner, by, &live, &what)) {
        metrics().handle_dropped();
        return reply(res, 200,
                     "closed handle " + std::to_string(handle) + " (" + escape_for_log(what) +
                         ") of " + escape_for_log(owner) + "\n");
    }
    if (live) return reply(res, 409, "handle in use by a live connection: not an orphan\n");
    reply(res, 404, "no such handle\n");
}

}  // namespace gavo::server
