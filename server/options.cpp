#include "server/options.h"

#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>

#include "server/access.h"
#include "server/base/config_file.h"
#include "server/files/handles.h"
#include "server/tables/tables.h"

namespace gavo::server {

namespace {

enum OptionId {
    kListen = 1000,
    kRoot,
    kAllow,
    kReadOnly,
    kNoSync,
    kHandleGrace,
    kMaxHandles,
    kMaxConnections,
    kStallTimeout,
    kTables,
    kState,
    kTablesDb,
    kNoGroupCommit,
    kHelp,
    kVersion,
    kMinRate,
    kMaxPendingBytes,
    kConfig,
    kLogFile,
    kLogLevel,
    kAdmin,
    kTlsCert,
    kTlsKey,
    kTlsClientCa,
    kAccess,
    kNode,
    kProxyFrom
};

constexpr int kAllowHardLinks = 2000;
constexpr int kMaxConnectionsPerHost = 2001;
constexpr int kMaxDescriptorsPerHost = 2002;
constexpr int kAdminTokenFile = 2003;
constexpr int kMaxThreads = 2004;
constexpr int kCheckConfig = 3000;

const struct option kOptions[] = {
    {"listen", required_argument, nullptr, kListen},
    {"admin", required_argument, nullptr, kAdmin},
    {"admin-token-file", required_argument, nullptr, kAdminTokenFile},
    {"root", required_argument, nullptr, kRoot},
    {"node", required_argument, nullptr, kNode},
    {"allow", required_argument, nullptr, kAllow},
    {"access", required_argument, nullptr, kAccess},
    {"proxy-from", required_argument, nullptr, kProxyFrom},
    {"read-only", no_argument, nullptr, kReadOnly},
    {"allow-hard-links", no_argument, nullptr, kAllowHardLinks},
    {"no-sync", no_argument, nullptr, kNoSync},
    {"handle-grace", required_argument, nullptr, kHandleGrace},
    {"max-handles", required_argument, nullptr, kMaxHandles},
    {"max-connections", required_argument, nullptr, kMaxConnections},
    {"max-connections-per-host", required_argument, nullptr, kMaxConnectionsPerHost},
    {"max-descriptors-per-host", required_argument, nullptr, kMaxDescriptorsPerHost},
    {"stall-timeout", required_argument, nullptr, kStallTimeout},
    {"min-rate", required_argument, nullptr, kMinRate},
    {"max-pending-bytes", required_argument, nullptr, kMaxPendingBytes},
    {"max-threads", required_argument, nullptr, kMaxThreads},
    {"tables", required_argument, nullptr, kTables},
    {"state", required_argument, nullptr, kState},
    {"tables-db", required_argument, nullptr, kTablesDb},
    {"no-group-commit", no_argument, nullptr, kNoGroupCommit},
    {"tls-cert", required_argument, nullptr, kTlsCert},
    {"tls-key", required_argument, nullptr, kTlsKey},
    {"tls-client-ca", required_argument, nullptr, kTlsClientCa},
    {"config", required_argument, nullptr, kConfig},
    {"log-file", required_argument, nullptr, kLogFile},
    {"log-level", required_argument, nullptr, kLogLevel},
    {"check-config", no_argument, nullptr, kCheckConfig},
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

// A whole decimal number in [lo, hi].
bool parse_number(const char* text, long lo, long hi, long* out) {
    char* end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

// "HOST:PORT", "[V6]:PORT" or ":PORT" (HOST then stays as it was).
bool parse_host_port(const std::string& text, std::string* host_out, int* port_out) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    std::string host = text.substr(0, colon);
    long port = 0;
    if (!parse_number(text.c_str() + colon + 1, 0, 65535, &port)) return false;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    if (!host.empty()) *host_out = host;
    *port_out = static_cast<int>(port);
    return true;
}

// "N/M" with 1 <= N <= M <= kMaxNodes, both plain decimal numbers.
bool parse_node(const std::string& text, int* node, int* nodes) {
    const size_t slash = text.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 == text.size()) return false;
    const std::string n = text.substr(0, slash), m = text.substr(slash + 1);
    for (const std::string& part : {n, m}) {
        if (part.size() > 3 || part.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
    }
    *node = std::stoi(n);
    *nodes = std::stoi(m);
    return *node >= 1 && *node <= *nodes && *nodes <= kMaxNodes;
}

bool apply_option(int id, const char* arg, ServerConfig* config, std::string* error) {
    long n = 0;
    switch (id) {
    case kListen:
        if (parse_host_port(arg, &config->listen_host, &config->listen_port)) return true;
        *error = std::string("bad value '") + arg + "' (want HOST:PORT)";
        return false;
    case kAdmin:
        if (parse_host_port(arg, &config->admin_host, &config->admin_port)) return true;
        *error = std::string("bad value '") + arg + "' (want HOST:PORT)";
        return false;
    case kAdminTokenFile: config->admin_token_file = arg; return true;
    case kRoot: config->root = arg; return true;
    case kNode:
        if (parse_node(arg, &config->node, &config->nodes)) return true;
        *error = std::string("bad value '") + arg +
                 "' (want N/M: node N of M, 1 <= N <= M <= " + std::to_string(kMaxNodes) + ")";
        return false;
    case kAllow:
    case kProxyFrom: {
        Cidr cidr;
        if (parse_cidr(arg, &cidr)) {
            (id == kAllow ? config->allow : config->proxy_from).push_back(cidr);
            return true;
        }
        *error = std::string("bad value '") + arg + "' (want an address or CIDR)";
        return false;
    }
    case kAccess: {
        // Read here, so that a bad file stops the start (and a reload) like a bad option.
        auto rules = std::make_shared<AccessRules>();
        if (!read_access_file(arg, rules.get(), error)) return false;
        config->access = std::move(rules);
        return true;
    }
    case kReadOnly: config->read_only = true; return true;
    case kAllowHardLinks: config->allow_hard_links = true; return true;
    case kTables: config->tables_file = arg; return true;
    case kState: config->state_dir = arg; return true;
    case kTablesDb: config->tables_db = arg; return true;
    case kNoGroupCommit: config->group_commit = false; return true;
    case kNoSync: config->sync = false; return true;
    case kLogFile: config->log_file = arg; return true;
    case kTlsCert: config->tls_cert = arg; return true;
    case kTlsKey: config->tls_key = arg; return true;
    case kTlsClientCa: config->tls_client_ca = arg; return true;
    case kLogLevel:
        if (parse_log_level(arg, &config->log_level)) return true;
        *error = std::string("bad value '") + arg + "' (want error, warn, info or debug)";
        return false;
    case kHandleGrace:
        if (!parse_number(arg, 0, 7 * 24 * 3600, &n)) break;
        config->handle_grace = std::chrono::seconds(n);
        return true;
    case kMaxHandles:
        if (!parse_number(arg, 1, 32768, &n)) break;
        config->max_handles_per_host = static_cast<int>(n);
        return true;
    case kMaxConnections:
        if (!parse_number(arg, 1, 1000000, &n)) break;
        config->max_connections = static_cast<int>(n);
        return true;
    case kMaxConnectionsPerHost:
        if (!parse_number(arg, 1, 1000000, &n)) break;
        config->max_connections_per_host = static_cast<int>(n);
        return true;
    case kMaxDescriptorsPerHost:
        if (!parse_number(arg, 2, 100000000, &n)) break;
        config->max_descriptors_per_host = static_cast<int>(n);
        return true;
    case kStallTimeout:
        if (!parse_number(arg, 1, 24 * 3600, &n)) break;
        config->stall_timeout = std::chrono::seconds(n);
        return true;
    case kMinRate:
        if (!parse_number(arg, 0, 1000000000, &n)) break;
        config->min_rate = static_cast<int>(n);
        return true;
    case kMaxThreads:
        if (!parse_number(arg, 1, 100000, &n)) break;
        config->max_threads = static_cast<int>(n);
        return true;
    case kMaxPendingBytes:
        // At least one record of the largest kind must fit.
        if (!parse_number(arg, static_cast<long>(kMaxRecordBytes), 1L << 40, &n)) break;
        config->max_pending_bytes = static_cast<size_t>(n);
        return true;
    }
    *error = std::string("bad number '") + arg + "'";
    return false;
}

// One option value, from the command line (`where` empty) or the config file
// (`where` "FILE:LINE").
struct Given {
    int id;
    std::string arg;
    std::string where;
};

// Options that are command-line only: everything else is also a config file key.
bool is_key(int id) { return id != kConfig && id != kHelp && id != kVersion && id != kCheckConfig; }

const struct option* option_named(const std::string& name) {
    for (const struct option* o = kOptions; o->name; ++o) {
        if (name == o->name && is_key(o->val)) return o;
    }
    return nullptr;
}

const char* option_name(int id) {
    for (const struct option* o = kOptions; o->name; ++o) {
        if (o->val == id) return o->name;
    }
    return "?";
}

ParseResult read_command_line(int argc, char** argv, std::vector<Given>* out,
                              std::string* config_file, bool* check_only, std::string* error) {
    optind = 1;
    opterr = 0;
    int id;
    while ((id = getopt_long(argc, argv, "", kOptions, nullptr)) != -1) {
        if (id == kHelp) return ParseResult::kHelp;
        if (id == kVersion) return ParseResult::kVersion;
        if (id == '?' || id == ':') {
            const char* given = optind > 0 && optind <= argc ? argv[optind - 1] : "?";
            *error = std::string(given) + ": unknown option or missing value";
            return ParseResult::kError;
        }
        if (id == kConfig) *config_file = optarg;
        else if (id == kCheckConfig) *check_only = true;
        else out->push_back({id, optarg ? optarg : "true", ""});
    }
    if (optind < argc) {
        *error = std::string(argv[optind]) + ": unexpected argument";
        return ParseResult::kError;
    }
    return ParseResult::kRun;
}

// One config file line as an option value; false with `error` for an unknown key or a
// value a key cannot take. A flag set to false adds nothing (every flag is off unless given).
bool take_entry(const ConfigEntry& e, const std::string& where, std::vector<Given>* out,
                std::string* error) {
    const struct option* o = option_named(e.key);
    if (!o) {
        *error = where + ": unknown key '" + e.key + "'";
        return false;
    }
    if (o->has_arg == required_argument && e.value.empty()) {
        *error = where + ": '" + e.key + "' needs a value";
        return false;
    }
    if (o->has_arg == no_argument && e.value != "true" && e.value != "false") {
        *error = where + ": '" + e.key + "' takes true or false, not '" + e.value + "'";
        return false;
    }
    if (o->has_arg == required_argument || e.value == "true")
        out->push_back({o->val, e.value, where});
    return true;
}

// Adds `problem` unless it is there already (a file value is checked twice).
void add_problem(std::vector<std::string>* problems, std::string problem) {
    if (std::find(problems->begin(), problems->end(), problem) == problems->end()) {
        problems->push_back(std::move(problem));
    }
}

// Each line's problem is collected, so that a check lists all of them at once.
void read_config(const std::string& path, std::vector<Given>* out,
                 std::vector<std::string>* problems) {
    std::vector<ConfigEntry> entries;
    std::string error;
    if (!read_config_file(path, &entries, &error)) return add_problem(problems, error);
    for (const ConfigEntry& e : entries) {
        if (!take_entry(e, path + ":" + std::to_string(e.line), out, &error)) {
            add_problem(problems, error);
        }
    }
}

// "FILE:LINE" for a config file value, "--NAME" for a command-line one.
std::string where_of(const Given& g) {
    return g.where.empty() ? std::string("--") + option_name(g.id) : g.where;
}

void apply_all(const std::vector<Given>& values, ServerConfig* config,
               std::vector<std::string>* problems) {
    for (const Given& g : values) {
        std::string why;
        if (apply_option(g.id, g.arg.c_str(), config, &why)) continue;
        // The access file's own problems name that file and its line.
        add_problem(problems, g.id == kAccess ? why : where_of(g) + ": " + why);
    }
}

// Several nodes share their tables, which only a database server can hold: a SQLite file
// in one node's state folder is not the others', and one file shared over the network
// would be written by several machines at once.
void check_node_options(const Settings& s, std::vector<std::string>* problems) {
    const ServerConfig& c = s.config;
    if (c.nodes <= 1 || c.tables_file.empty() || !c.tables_db.empty()) return;
    add_problem(problems, s.where.at("node") + ": " + std::to_string(c.node) + "/" +
                              std::to_string(c.nodes) +
                              " with --tables needs --tables-db postgresql://... (SQLite in a " +
                              "state folder cannot be shared between nodes)");
}

// The TLS options work only together: a certificate needs its key and the other way
// round, and client certificates can only be asked for over TLS.
void check_tls_options(const Settings& s, std::vector<std::string>* problems) {
    const ServerConfig& c = s.config;
    const auto at = [&](const char* key) { return s.where.at(key) + ": "; };
    if (!c.tls_cert.empty() && c.tls_key.empty()) {
        add_problem(problems, at("tls-cert") + "needs --tls-key (the certificate's private key)");
    } else if (c.tls_cert.empty() && !c.tls_key.empty()) {
        add_problem(problems, at("tls-key") + "needs --tls-cert (the certificate it belongs to)");
    } else if (c.tls_cert.empty() && !c.tls_client_ca.empty()) {
        add_problem(problems, at("tls-client-ca") +
                                  "needs --tls-cert and --tls-key (client certificates "
                                  "come with TLS only)");
    }
}

// The file's values for the options the command line leaves alone, then the command line's.
std::vector<Given> merge(const std::vector<Given>& file, const std::vector<Given>& command_line) {
    std::set<int> overridden;
    for (const Given& g : command_line) overridden.insert(g.id);
    std::vector<Given> merged;
    for (const Given& g : file) {
        if (overridden.count(g.id) == 0) merged.push_back(g);
    }
    merged.insert(merged.end(), command_line.begin(), command_line.end());
    return merged;
}

}  // namespace

ParseResult parse_settings(int argc, char** argv, Settings* out, std::string* error) {
    std::vector<Given> command_line, file;
    const ParseResult r =
        read_command_line(argc, argv, &command_line, &out->config_file, &out->check_only, error);
    if (r != ParseResult::kRun) return r;
    std::vector<std::string> problems;
    if (!out->config_file.empty()) {
        // Every file value is checked, also those the command line replaces.
        ServerConfig scratch;
        read_config(out->config_file, &file, &problems);
        apply_all(file, &scratch, &problems);
    }
    const std::vector<Given> merged = merge(file, command_line);
    apply_all(merged, &out->config, &problems);
    for (const Given& g : merged) {
        out->given[option_name(g.id)].push_back(g.arg);
        out->where[option_name(g.id)] = where_of(g);
    }
    check_tls_options(*out, &problems);
    check_node_options(*out, &problems);
    if (problems.empty()) return ParseResult::kRun;
    error->clear();
    for (const std::string& p : problems) error->append(error->empty() ? "" : "\n").append(p);
    return ParseResult::kError;
}

ParseResult parse_options(int argc, char** argv, ServerConfig* config, std::string* error) {
    Settings settings;
    settings.config = *config;
    const ParseResult r = parse_settings(argc, argv, &settings, error);
    *config = settings.config;
    return r;
}

std::string usage_text() {
    return "Usage: gavo-server [options]\n"
           "Serves the files under a root folder to GAVO_Client hosts in working mode 2.\n"
           "\n"
           "  --listen HOST:PORT     address to listen on (default 127.0.0.1:7100);\n"
           "                         port 0 picks a free port, printed in the log\n"
           "  --root DIR             folder whose files are served; created if missing\n"
           "                         (default ./gavo-root)\n"
           "  --allow CIDR           accept clients from this address block only;\n"
           "                         repeatable (default: anyone who can reach the socket)\n"
           "  --proxy-from CIDR      connections from this address block (a load balancer)\n"
           "                         begin with a PROXY v2 header whose source address is\n"
           "                         the client's; repeatable (default: none)\n"
           "  --access FILE          confine each client to a folder of the root, read-only\n"
           "                         or not, with the tables it may write, by the rules in\n"
           "                         FILE (see docs/server.md); clients no rule names are\n"
           "                         refused (default: no rules)\n"
           "  --node N/M             serve the root as node N of M servers sharing it\n"
           "                         (each with its own --state; M > 1 needs --tables-db\n"
           "                         for tables; default: a single server)\n"
           "  --read-only            refuse every request that would change the root\n"
           "  --allow-hard-links     serve files that have more than one link (another\n"
           "                         link may lie outside the root; refused by default)\n"
           "  --no-sync              do not fsync on close, rename and remove (faster,\n"
           "                         but answered changes may be lost in a power cut)\n"
           "  --handle-grace SEC     keep a handle open this long after the connection that\n"
           "                         used it last ends (default 60)\n"
           "  --max-handles N        open handles per client host (default 1024)\n"
           "  --max-connections N    connections held at once (default 1024)\n"
           "  --max-connections-per-host N\n"
           "                         connections per client host: IPv4 address or\n"
           "                         IPv6 /64 (default 8)\n"
           "  --max-descriptors-per-host N\n"
           "                         descriptors of a host's open files; a new file\n"
           "                         holds two until closed (default: an eighth of the\n"
           "                         descriptor limit less its reserve)\n"
           "  --stall-timeout SEC    close a connection whose request stops moving for\n"
           "                         this long (default 30)\n"
           "  --min-rate BYTES       close a connection whose request moves fewer bytes\n"
           "                         per second than this over the stall time-out\n"
           "                         (default 1024; 0: a request may wait at most the\n"
           "                         stall time-out in all)\n"
           "  --max-pending-bytes N  bytes held at once for table records still\n"
           "                         arriving, over all connections; past it the newest\n"
           "                         such request's connection is closed (default\n"
           "                         67108864, at least 1048576)\n"
           "  --max-threads N        threads that blocking work (a wait for a client\n"
           "                         mid-request, a TLS handshake, an fsync, a table\n"
           "                         commit) may take at once; beyond it such work is\n"
           "                         refused (default: 64 per core, less with low\n"
           "                         descriptor or process limits)\n"
           "  --tables FILE          serve the tables declared in FILE (names and record\n"
           "                         framing; see docs/server.md); without it, no tables\n"
           "  --state DIR            folder of the handle numbering and the tables\n"
           "                         database, outside the root\n"
           "                         (default: the root's path with \".state\" added)\n"
           "  --tables-db URL        store records in PostgreSQL (postgresql://...)\n"
           "                         instead of SQLite in the state folder\n"
           "  --no-group-commit      commit each record on its own (for measurements)\n"
           "  --tls-cert FILE        serve the file port over TLS (1.3) with this PEM\n"
           "                         certificate (chain); needs --tls-key (default:\n"
           "                         plain text)\n"
           "  --tls-key FILE         the PEM private key of --tls-cert\n"
           "  --tls-client-ca FILE   require a client certificate issued by an authority\n"
           "                         in this PEM file; a client is then known by its\n"
           "                         certificate's subject commonName (default: no\n"
           "                         client certificates, clients known by address)\n"
           "  --config FILE          read options from FILE, one 'key = value' a line,\n"
           "                         the key being the long option's name ('allow =\n"
           "                         10.0.0.0/8', 'no-sync = true'); options on the\n"
           "                         command line replace the file's\n"
           "  --log-file FILE        append log lines to FILE (default: standard error)\n"
           "  --log-level LEVEL      error, warn, info (default: connections, start,\n"
           "                         stop) or debug (also each request)\n"
           "  --admin HOST:PORT      serve /healthz, /metrics and /handles over HTTP here\n"
           "                         (off by default; loopback and --allow peers only)\n"
           "  --admin-token-file FILE\n"
           "                         ask admin requests beyond /healthz for the bearer\n"
           "                         token in FILE (default: no token)\n"
           "  --check-config         read and check everything a start would (files,\n"
           "                         folders, ports), print what would be served, and\n"
           "                         exit: 0 when all is well, 2 with each problem on a\n"
           "                         line of its own (FILE:LINE: why, or --OPTION: why)\n"
           "  --help                 show this text\n"
           "  --version              show the version\n"
           "\n"
           "SIGTERM or SIGINT stops the server cleanly. SIGHUP opens the log file again\n"
           "(after a log rotation), reloads the allow-list and the log level from the\n"
           "config file, the declarations of the tables file, the access rules and, over\n"
           "TLS, the certificate, key and client authority files (for new connections); other\n"
           "settings need a restart.\n";
}

}  // namespace gavo::server
