// gavo-tables-export: writes the records of the server's tables to standard output as
// JSON lines or CSV, or copies every table of the SQLite store into PostgreSQL (--to).
// See docs/server.md.
#include <getopt.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "server/tables/export.h"
#include "server/tables/table_service.h"
#include "server/tables/table_store.h"
#include "server/tables/tables.h"

namespace {

using namespace gavo::server;

const char kUsage[] =
    "Usage: gavo-tables-export (--state DIR | --tables-db URL) [--table NAME]\n"
    "                          [--format jsonl|csv]\n"
    "       gavo-tables-export --state DIR --to URL [--batch N] [--limit N]\n"
    "Writes stored table records to standard output, oldest first, one per line, the\n"
    "record's bytes in base64; or, with --to, copies every table of the SQLite store into\n"
    "a PostgreSQL database, continuing where an earlier copy of the store stopped.\n"
    "\n"
    "  --state DIR        the server's state folder (SQLite database DIR/tables.db)\n"
    "  --tables-db URL    a PostgreSQL database (postgresql://...) instead\n"
    "  --table NAME       only this table (default: every table)\n"
    "  --format FORMAT    jsonl (default) or csv\n"
    "  --to URL           copy into this PostgreSQL database (postgresql://...)\n"
    "  --batch N          records per transaction of the copy (default 256)\n"
    "  --limit N          copy at most N records in this run (default: all)\n"
    "  --version          show the version\n";

struct Args {
    std::string state, db, table, to;
    ExportFormat format = ExportFormat::kJsonLines;
    bool format_given = false;
    CopyLimits limits;
};

// A count from 1 to 2^40 into `out`.
bool parse_count(const std::string& text, uint64_t* out) {
    char* end = nullptr;
    const unsigned long long n = strtoull(text.c_str(), &end, 10);
    if (text.empty() || text[0] == '-' || *end != '\0' || n == 0 || n > (1ULL << 40)) {
        return false;
    }
    *out = n;
    return true;
}

// A copy reads the SQLite store and writes whole tables: no --tables-db, --table or
// --format beside --to.
bool combination_valid(const Args& a) {
    if (a.to.empty()) return a.state.empty() != a.db.empty();
    return !a.state.empty() && a.db.empty() && a.table.empty() && !a.format_given;
}

// 0: run; 1: help shown; 2: bad command line (message written).
int parse(int argc, char** argv, Args* args) {
    static const struct option kOptions[] = {
        {"state", required_argument, nullptr, 's'}, {"tables-db", required_argument, nullptr, 'd'},
        {"table", required_argument, nullptr, 't'}, {"format", required_argument, nullptr, 'f'},
        {"to", required_argument, nullptr, 'o'},    {"batch", required_argument, nullptr, 'b'},
        {"limit", required_argument, nullptr, 'l'}, {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'v'},     {nullptr, 0, nullptr, 0}};
    int c;
    uint64_t batch = args->limits.batch;
    while ((c = getopt_long(argc, argv, "", kOptions, nullptr)) != -1) {
        const std::string arg = optarg ? optarg : "";
        if (c == 's') args->state = arg;
        else if (c == 'd') args->db = arg;
        else if (c == 't') args->table = arg;
        else if (c == 'o') args->to = arg;
        else if (c == 'b' && parse_count(arg, &batch) && batch <= 100000)
            args->limits.batch = batch;
        else if (c == 'l' && parse_count(arg, &args->limits.limit)) continue;
        else if (c == 'f' && (arg == "jsonl" || arg == "csv")) {
            args->format = arg == "csv" ? ExportFormat::kCsv : ExportFormat::kJsonLines;
            args->format_given = true;
        } else if (c == 'h') return fputs(kUsage, stdout), 1;
        else if (c == 'v') return puts("gavo-tables-export " GAVO_VERSION), 1;
        else return fputs(kUsage, stderr), 2;
    }
    if (optind < argc || !combination_valid(*args) ||
        (!args->table.empty() && !valid_table_name(args->table))) {
        fputs(kUsage, stderr);
        return 2;
    }
    return 0;
}

// The PostgreSQL store `url` names (`option` says where it came from), or null with a
// message.
std::unique_ptr<TableStore> pg_store(const std::string& url, const char* option) {
    if (is_pg_url(url) && !pg_store_built()) {
        fprintf(stderr, "gavo-tables-export: %s\n", kNoPgStoreText);
        return nullptr;
    }
    if (is_pg_url(url)) return make_pg_store(url);
    fprintf(stderr, "gavo-tables-export: %s takes a postgresql:// URL\n", option);
    return nullptr;
}

std::unique_ptr<TableStore> open_source(const Args& args) {
    if (!args.db.empty()) return pg_store(args.db, "--tables-db");
    const std::string path = args.state + "/" + kTablesDbName;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        fprintf(stderr, "gavo-tables-export: no tables database at %s\n", path.c_str());
        return nullptr;
    }
    return make_sqlite_store(path, false);
}

// Opens `store`, or writes why not.
bool open_store(TableStore& store) {
    StoreError error;
    if (store.open(&error)) return true;
    fprintf(stderr, "gavo-tables-export: %s: %s\n", store.describe().c_str(), error.text.c_str());
    return false;
}

// --to: copies every table of the SQLite store into the PostgreSQL database.
int copy(const Args& args) {
    std::unique_ptr<TableStore> target = pg_store(args.to, "--to");
    std::unique_ptr<TableStore> source = target ? open_source(args) : nullptr;
    if (!source || !open_store(*source) || !open_store(*target)) return 1;
    CopyOutcome outcome;
    StoreError error;
    const bool ok = copy_store(*source, *target, args.limits, &outcome, &error);
    printf("gavo-tables-export: copied %llu records from %s into %s\n",
           static_cast<unsigned long long>(outcome.copied), source->describe().c_str(),
           target->describe().c_str());
    if (!ok) {
        fprintf(stderr, "gavo-tables-export: copy stopped: %s\n", error.text.c_str());
        return 1;
    }
    puts(outcome.complete ? "gavo-tables-export: the copy is complete"
                          : "gavo-tables-export: stopped at --limit; run again to copy the rest");
    return fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Args args;
    if (const int rc = parse(argc, argv, &args); rc != 0) return rc == 1 ? 0 : 2;
    if (!args.to.empty()) return copy(args);
    std::unique_ptr<TableStore> store = open_source(args);
    if (!store) return 1;
    StoreError error;
    bool ok = store->open(&error);
    if (ok) {
        fputs(export_header(args.format).c_str(), stdout);
        ok = store->scan(
            args.table,
            [&](const StoredRecord& r) { fputs(export_line(r, args.format).c_str(), stdout); },
            &error);
    }
    if (!ok) {
        fprintf(stderr, "gavo-tables-export: %s\n", error.text.c_str());
        return 1;
    }
    return fflush(stdout) == 0 ? 0 : 1;
}
