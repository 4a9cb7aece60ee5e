// Writing stored records as text: JSON lines or CSV, the record's bytes in base64 (the
// bytes are whatever clients sent, so they are never written raw).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "server/tables/table_store.h"

namespace gavo::server {

enum class ExportFormat { kJsonLines, kCsv };

// Standard base64 (RFC 4648) with padding.
std::string base64(std::string_view bytes);

// The first line of the output ("seq,table,received_utc,client,record_base64\n" for CSV;
// nothing for JSON lines).
std::string export_header(ExportFormat format);

// One record as one line, ending in '\n':
//   {"seq":1,"table":"events","received_utc":"...Z","client":"127.0.0.1","record_base64":"..."}
//   1,events,...Z,127.0.0.1,aGVsbG8=
std::string export_line(const StoredRecord& record, ExportFormat format);

// Copying every table of one store into another (SQLite into PostgreSQL).
struct CopyLimits {
    size_t batch = 256;  // records per transaction in the target
    uint64_t limit = 0;  // stop after this many records (0: copy everything)
};

struct CopyOutcome {
    uint64_t copied = 0;    // records appended by this run
    bool complete = false;  // the target now holds every record the source had
};

// Appends to `to`, in seq order, the records of `from` after the last one a previous
// copy of `from` left there (its copy mark), one batch per transaction, each moving the
// mark with it: running it again copies nothing twice, and a copy cut short continues
// where it stopped. Refuses a source that does not hold the record its mark names (an
// older backup, written to since). `from` and `to` are open.
bool copy_store(TableStore& from, TableStore& to, const CopyLimits& limits, CopyOutcome* outcome,
                StoreError* error);

}  // namespace gavo::server
