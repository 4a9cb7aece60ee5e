#include "server/tables/table_service.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "proto/codes.h"

namespace gavo::server {

namespace {

// Records per transaction with group commit: enough to absorb a burst of many clients,
// small enough that one transaction never holds much memory.
constexpr size_t kMaxBatch = 1024;

// mkdir -p with mode 0700 for what it creates.
bool make_dirs(const std::string& path, std::string* error) {
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') continue;
        const std::string part = path.substr(0, pos);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            *error = "cannot create " + part + ": " + strerror(errno);
            return false;
        }
    }
    return true;
}

std::string real_path(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

// The path `path` will have once make_dirs has created it: its deepest existing folder,
// resolved, with the missing parts added as written ("." dropped, ".." taking one back,
// which is what the kernel does with folders that make_dirs has just made). Empty when
// nothing of it resolves.
std::string planned_real_path(const std::string& path) {
    std::string existing = path;
    std::vector<std::string> missing;  // innermost first
    std::string resolved = real_path(existing);
    while (resolved.empty() && errno == ENOENT && existing != "." && existing != "/") {
        while (existing.size() > 1 && existing.back() == '/') existing.pop_back();
        const size_t slash = existing.rfind('/');
        missing.push_back(slash == std::string::npos ? existing : existing.substr(slash + 1));
        existing = slash == std::string::npos ? "." : existing.substr(0, slash == 0 ? 1 : slash);
        resolved = real_path(existing);
    }
    for (auto part = missing.rbegin(); !resolved.empty() && part != missing.rend(); ++part) {
        if (*part == "." || part->empty()) continue;
        if (*part == "..") resolved.erase(std::max<size_t>(resolved.rfind('/'), 1));
        else resolved.append(resolved == "/" ? "" : "/").append(*part);
    }
    return resolved;
}

bool lies_inside(const std::string& path, const std::string& root) {
    return path == root || path.rfind(root == "/" ? root : root + "/", 0) == 0;
}

bool refuse_inside_root(const std::string& state, const std::string& root, std::string* error) {
    if (!lies_inside(state, root)) return false;
    *error = "the state folder " + state + " lies inside the served root " + root +
             ", where clients could reach the database";
    return true;
}

}  // namespace

std::string default_state_dir(const std::string& root) {
    std::string r = root;
    while (r.size() > 1 && r.back() == '/') r.pop_back();
    if (r.empty() || r == "/") return {};
    return r + ".state";
}

std::string state_dir_of(const ServerConfig& config) {
    if (!config.state_dir.empty()) return config.state_dir;
    const std::string single = default_state_dir(config.root);
    if (single.empty() || config.nodes == 0) return single;
    return single.substr(0, single.size() - 6) + ".node-" + std::to_string(config.node) + ".state";
}

bool prepare_state_dir(const std::string& state, const std::string& root, std::string* error) {
    if (state.empty()) {
        *error = "no state folder: give --state DIR (outside the root)";
        return false;
    }
    // Checked before anything is created, so a refused folder is never left in the root,
    // and again once it exists, when every link in it resolves.
    const std::string r = real_path(root), planned = planned_real_path(state);
    if (!r.empty() && !planned.empty() && refuse_inside_root(planned, r, error)) return false;
    if (!make_dirs(state, error)) return false;
    const std::string s = real_path(state);
    if (s.empty() || r.empty()) {
        *error = "cannot resolve the state folder " + state + " or the root " + root;
        return false;
    }
    return !refuse_inside_root(s, r, error);
}

bool state_dir_outside_root(const std::string& state, const std::string& root, std::string* error) {
    const std::string s = planned_real_path(state), r = planned_real_path(root);
    return s.empty() || r.empty() || !refuse_inside_root(s, r, error);
}

bool is_pg_url(const std::string& url) {
    return url.rfind("postgresql://", 0) == 0 || url.rfind("postgres://", 0) == 0;
}

std::unique_ptr<TableStore> TableService::open_store(const ServerConfig& config,
                                                     std::string* error) {
    if (!config.tables_db.empty()) {
        if (!is_pg_url(config.tables_db)) {
            *error = "--tables-db takes a postgresql:// URL";
            return nullptr;
        }
        return make_pg_store(config.tables_db);
    }
    const std::string state = state_dir_of(config);
    if (!prepare_state_dir(state, config.root, error)) return nullptr;
    return make_sqlite_store(state + "/" + kTablesDbName, config.sync);
}

bool TableService::start(const ServerConfig& config, Logger& log, std::string* error) {
    // Refused even when no tables are served, so that a URL the build cannot use never
    // goes unnoticed.
    if (!config.tables_db.empty() && !pg_store_built()) {
        *error = kNoPgStoreText;
        return false;
    }
    if (config.tables_file.empty()) return true;
    auto catalog = std::make_shared<TableCatalog>();
    if (!catalog->load(config.tables_file, error)) return false;
    {
        MutexLock lock(catalog_mutex_);
        catalog_ = catalog;
    }
    std::unique_ptr<TableStore> store = open_store(config, error);
    if (!store) return false;
    StoreError why;
    if (!store->open(&why)) {
        *error = "cannot open the tables database (" + store->describe() + "): " + why.text;
        return false;
    }
    log.linef("tables: %zu declared%s, stored in %s%s", catalog->declared(),
              catalog->has_default() ? " plus a default framing" : "", store->describe().c_str(),
              config.group_commit ? "" : ", no group commit");
    auto writer =
        std::make_unique<RecordWriter>(std::move(store), log, config.group_commit ? kMaxBatch : 1);
    if (!writer->start(error)) return false;
    writer_ = std::move(writer);
    return true;
}

void TableService::stop() {
    if (writer_) writer_->stop();
}

std::shared_ptr<const TableCatalog> TableService::catalog() const {
    MutexLock lock(catalog_mutex_);
    return catalog_;
}

std::optional<Framing> TableService::framing(const std::string& name) const {
    if (!enabled()) return std::nullopt;
    return catalog()->find(name);
}

bool TableService::reload(const std::string& path, std::string* error) {
    if (!enabled()) {
        *error = "no tables are served (a tables file takes effect at the next start)";
        return false;
    }
    auto next = std::make_shared<TableCatalog>();
    if (!next->load(path, error)) return false;
    // Two reloads at once must not both pass the check against the same old catalog.
    MutexLock lock(catalog_mutex_);
    const std::string change = catalog_->framing_change(*next);
    if (!change.empty()) {
        *error = path + ": " + change + " (a framing changes only at a restart)";
        return false;
    }
    catalog_ = std::move(next);
    return true;
}

std::string TableService::summary() const {
    const std::shared_ptr<const TableCatalog> c = catalog();
    if (!c) return "none";
    return std::to_string(c->declared()) + " declared" +
           (c->has_default() ? " plus a default framing" : "");
}

int TableService::store(Record record) {
    return writer_ ? writer_->submit(std::move(record)) : kCodeIoError;
}

void TableService::store(Record record, RecordWriter::Done done, bool deferred) {
    if (writer_) return writer_->submit(std::move(record), std::move(done), deferred);
    done(kCodeIoError, 1);
}

}  // namespace gavo::server
