// Writing stored records as text: JSON lines or CSV, the record's bytes in base64 (the
// bytes are whatever clients sent, so they are never written raw).
#pragma once

#include <string>
#include <string_view>

#include "server/table_store.h"

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

}  // namespace gavo::server
