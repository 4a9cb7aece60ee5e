#include "server/table_service.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

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

}  // namespace

std::string default_state_dir(const std::string& root) {
    std::string r = root;
    while (r.size() > 1 && r.back() == '/') r.pop_back();
    if (r.empty() || r == "/") return {};
    return r + ".state";
}

bool prepare_state_dir(const std::string& state, const std::string& root, std::string* error) {
    if (state.empty()) {
        *error = "no state folder: give --state DIR (outside the root)";
        return false;
    }
    if (!make_dirs(state, error)) return false;
    const std::string s = real_path(state), r = real_path(root);
    if (s.empty() || r.empty()) {
        *error = "cannot resolve the state folder " + state + " or the root " + root;
        return false;
    }
    if (s == r || s.rfind(r == "/" ? r : r + "/", 0) == 0) {
        *error = "the state folder " + s + " lies inside the served root " + r +
                 ", where clients could reach the database";
        return false;
    }
    return true;
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
    const std::string state =
        config.state_dir.empty() ? default_state_dir(config.root) : config.state_dir;
    if (!prepare_state_dir(state, config.root, error)) return nullptr;
    return make_sqlite_store(state + "/" + kTablesDbName, config.sync);
}

bool TableService::start(const ServerConfig& config, Logger& log, std::string* error) {
    if (config.tables_file.empty()) return true;
    if (!catalog_.load(config.tables_file, error)) return false;
    std::unique_ptr<TableStore> store = open_store(config, error);
    if (!store) return false;
    StoreError why;
    if (!store->open(&why)) {
        *error = "cannot open the tables database (" + store->describe() + "): " + why.text;
        return false;
    }
    log.linef("tables: %zu declared%s, stored in %s%s", catalog_.declared(),
              catalog_.has_default() ? " plus a default framing" : "", store->describe().c_str(),
              config.group_commit ? "" : ", no group commit");
    writer_ =
        std::make_unique<RecordWriter>(std::move(store), log, config.group_commit ? kMaxBatch : 1);
    writer_->start();
    return true;
}

void TableService::stop() {
    if (writer_) writer_->stop();
}

std::optional<Framing> TableService::framing(const std::string& name) const {
    if (!enabled()) return std::nullopt;
    return catalog_.find(name);
}

int TableService::store(Record record) {
    return writer_ ? writer_->submit(std::move(record)) : kCodeIoError;
}

}  // namespace gavo::server
