// gavo-tables-export: writes the records of the server's tables to standard output as
// JSON lines or CSV. See docs/server.md.
#include <getopt.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "server/export.h"
#include "server/table_service.h"
#include "server/table_store.h"
#include "server/tables.h"

namespace {

using namespace gavo::server;

const char kUsage[] =
    "Usage: gavo-tables-export (--state DIR | --tables-db URL) [--table NAME]\n"
    "                          [--format jsonl|csv]\n"
    "Writes stored table records to standard output, oldest first, one per line, the\n"
    "record's bytes in base64.\n"
    "\n"
    "  --state DIR        the server's state folder (SQLite database DIR/tables.db)\n"
    "  --tables-db URL    a PostgreSQL database (postgresql://...) instead\n"
    "  --table NAME       only this table (default: every table)\n"
    "  --format FORMAT    jsonl (default) or csv\n"
    "  --version          show the version\n";

struct Args {
    std::string state, db, table;
    ExportFormat format = ExportFormat::kJsonLines;
};

// 0: run; 1: help shown; 2: bad command line (message written).
int parse(int argc, char** argv, Args* args) {
    static const struct option kOptions[] = {{"state", required_argument, nullptr, 's'},
                                             {"tables-db", required_argument, nullptr, 'd'},
                                             {"table", required_argument, nullptr, 't'},
                                             {"format", required_argument, nullptr, 'f'},
                                             {"help", no_argument, nullptr, 'h'},
                                             {"version", no_argument, nullptr, 'v'},
                                             {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "", kOptions, nullptr)) != -1) {
        const std::string arg = optarg ? optarg : "";
        if (c == 's') args->state = arg;
        else if (c == 'd') args->db = arg;
        else if (c == 't') args->table = arg;
        else if (c == 'f' && (arg == "jsonl" || arg == "csv"))
            args->format = arg == "csv" ? ExportFormat::kCsv : ExportFormat::kJsonLines;
        else if (c == 'h') return fputs(kUsage, stdout), 1;
        else if (c == 'v') return puts("gavo-tables-export " GAVO_VERSION), 1;
        else return fputs(kUsage, stderr), 2;
    }
    const bool one_source = args->state.empty() != args->db.empty();
    if (optind < argc || !one_source || (!args->table.empty() && !valid_table_name(args->table))) {
        fputs(kUsage, stderr);
        return 2;
    }
    return 0;
}

std::unique_ptr<TableStore> open_source(const Args& args) {
    if (!args.db.empty()) {
        if (is_pg_url(args.db) && !pg_store_built()) {
            fprintf(stderr, "gavo-tables-export: %s\n", kNoPgStoreText);
            return nullptr;
        }
        if (is_pg_url(args.db)) return make_pg_store(args.db);
        fputs("gavo-tables-export: --tables-db takes a postgresql:// URL\n", stderr);
        return nullptr;
    }
    const std::string path = args.state + "/" + kTablesDbName;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        fprintf(stderr, "gavo-tables-export: no tables database at %s\n", path.c_str());
        return nullptr;
    }
    return make_sqlite_store(path, false);
}

}  // namespace

int main(int argc, char** argv) {
    Args args;
    if (const int rc = parse(argc, argv, &args); rc != 0) return rc == 1 ? 0 : 2;
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
