#include "server/check_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "server/access.h"
#include "server/admin/admin.h"
#include "server/base/state_lock.h"
#include "server/net/tls.h"
#include "server/tables/table_service.h"
#include "server/tables/table_store.h"
#include "server/tables/tables.h"

namespace gavo::server {

namespace {

class Checker {
public:
    explicit Checker(const Settings& s) : s_(s), c_(s.config) {}

    ConfigCheck run();

private:
    // Where option `key`'s value came from ("--KEY" for a default).
    std::string where(const std::string& key) const {
        const auto it = s_.where.find(key);
        return it != s_.where.end() ? it->second : "--" + key;
    }
    void problem(const std::string& key, const std::string& why) {
        out_.problems.push_back(where(key) + ": " + why);
    }
    void serves(std::string line) { out_.serves.push_back(std::move(line)); }

    // A folder the server uses or creates: true when it exists (a folder it may use) or
    // can be created; `writable` asks for write access too.
    bool folder(const std::string& key, const std::string& path, bool writable);
    void check_store();
    void check_log();
    void check_port(const std::string& key, const std::string& host, int port);

    const Settings& s_;
    const ServerConfig& c_;
    ConfigCheck out_;
    std::string state_;
    bool running_ = false;  // a server holds the state folder
};

// The deepest folder of `path` (a path that does not exist) that exists.
std::string existing_parent(std::string path) {
    struct stat st;
    do {
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        const size_t slash = path.rfind('/');
        path = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    } while (path != "." && path != "/" && ::stat(path.c_str(), &st) != 0);
    return path;
}

bool Checker::folder(const std::string& key, const std::string& path, bool writable) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
            problem(key, path + " is not a folder");
        } else if (::access(path.c_str(), (writable ? W_OK : 0) | R_OK | X_OK) != 0) {
            problem(key, "cannot use the folder " + path + ": " + strerror(errno));
        } else {
            return true;
        }
        return false;
    }
    if (errno != ENOENT) {
        problem(key, "cannot reach " + path + ": " + strerror(errno));
        return false;
    }
    const std::string parent = existing_parent(path);
    if (::access(parent.c_str(), W_OK | X_OK) == 0) return true;
    problem(key, path + " is missing and cannot be created in " + parent + ": " + strerror(errno));
    return false;
}

void Checker::check_store() {
    if (!c_.tables_db.empty()) {
        if (!pg_store_built()) problem("tables-db", kNoPgStoreText);
        else if (!is_pg_url(c_.tables_db)) problem("tables-db", "takes a postgresql:// URL");
    }
    if (c_.tables_file.empty()) return;
    TableCatalog catalog;
    std::string error;
    if (!catalog.load(c_.tables_file, &error)) {
        out_.problems.push_back(error);  // names the tables file and its line
        return;
    }
    std::string tables = "tables: " + std::to_string(catalog.declared()) + " declared" +
                         (catalog.has_default() ? " plus a default framing" : "") + " in " +
                         c_.tables_file + ", stored in ";
    if (!c_.tables_db.empty()) {
        serves(tables + "PostgreSQL (not contacted by the check)");
        return;
    }
    const std::string db = state_ + "/" + kTablesDbName;
    if (!state_.empty() && ::access(db.c_str(), F_OK) == 0 &&
        ::access(db.c_str(), R_OK | W_OK) != 0) {
        problem("state", "cannot read and write " + db + ": " + strerror(errno));
    }
    serves(tables + "SQLite " + db);
}

void Checker::check_log() {
    std::string level = log_level_name(c_.log_level);  // as --log-level takes it
    for (char& ch : level) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    if (c_.log_file.empty()) {
        serves("log: standard error, level " + level);
        return;
    }
    // Opened as the server opens it, but never created here.
    const int fd = ::open(c_.log_file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0) {
        ::close(fd);
    } else if (errno != ENOENT) {
        problem("log-file", "cannot open the log file " + c_.log_file + ": " + strerror(errno));
    } else {
        const std::string parent = existing_parent(c_.log_file);
        if (::access(parent.c_str(), W_OK | X_OK) != 0) {
            problem("log-file", c_.log_file + " is missing and cannot be created in " + parent +
                                    ": " + strerror(errno));
        }
    }
    serves("log: " + c_.log_file + ", level " + level);
}

// Binds the port and lets it go at once: no client can connect to a socket that does
// not listen.
void Checker::check_port(const std::string& key, const std::string& host, int port) {
    std::string error;
    int err = 0;
    const int fd = bind_tcp(host, port, &error, &err);
    if (fd >= 0) {
        ::close(fd);
    } else if (err == EADDRINUSE && running_) {
        serves(host + ":" + std::to_string(port) +
               " is in use, by the running server "
               "presumably");
    } else {
        problem(key, error);
    }
}

ConfigCheck Checker::run() {
    std::string error;
    if (!c_.tls_cert.empty()) {
        const auto tls = TlsContext::load(c_, &error);
        if (tls) serves("TLS 1.3: " + tls->summary());
        else problem("tls-cert", error);
    }
    const bool root_ok = folder("root", c_.root, !c_.read_only);
    state_ = c_.state_dir.empty() ? default_state_dir(c_.root) : c_.state_dir;
    const std::string state_key = c_.state_dir.empty() ? "root" : "state";
    if (state_.empty()) {
        serves("state: none (handle numbering starts at 0 at each start)");
    } else if (root_ok && !state_dir_outside_root(state_, c_.root, &error)) {
        problem(state_key, error);
    } else if (folder(state_key, state_, true)) {
        std::string holder;
        running_ = StateLock::held(state_, &holder);
        serves("state: " + state_ +
               (running_ ? " (in use by the running server with " + holder +
                               ": fine for a check, a start would be refused until it stops)"
                         : ""));
    }
    if (c_.access) {
        serves("access rules: " + std::to_string(c_.access->rules.size()) + " in " +
               c_.access->file);
    }
    check_store();
    if (!c_.admin_token_file.empty()) {
        std::string token;
        if (!read_token(c_.admin_token_file, &token, &error)) problem("admin-token-file", error);
    }
    check_log();
    check_port("listen", c_.listen_host, c_.listen_port);
    if (c_.admin_port >= 0) {
        check_port("admin", c_.admin_host, c_.admin_port);
        serves("admin port: " + c_.admin_host + ":" + std::to_string(c_.admin_port) +
               (c_.admin_token_file.empty() ? "" : " with a bearer token"));
    }
    serves("would serve " + c_.root + " on " + c_.listen_host + ":" +
           std::to_string(c_.listen_port) + (c_.tls_cert.empty() ? "" : " over TLS") +
           (c_.read_only ? ", read-only" : "") + (c_.sync ? "" : ", no sync") +
           (c_.allow.empty() ? ", to anyone who can reach it"
                             : ", to " + std::to_string(c_.allow.size()) + " allow-list entries") +
           (c_.proxy_from.empty()
                ? ""
                : ", clients named by the PROXY headers of " +
                      std::to_string(c_.proxy_from.size()) + " proxy-from entries"));
    return out_;
}

}  // namespace

ConfigCheck check_config(const Settings& settings) { return Checker(settings).run(); }

}  // namespace gavo::server
