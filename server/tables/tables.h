// Server tables: the names clients may open, how each table's records are framed on the
// wire, and the handle object of an open table.
//
// A table-write request carries no byte count, so the server must know each table's
// record length by itself. The tables file (`--tables FILE`) declares it, one table a
// line:
//
//     # comment (also after a declaration)
//     events   = line           records end at a line feed, at most 65536 bytes before it
//     audit    = line:1024      the same, at most 1024 bytes before the line feed
//     readings = fixed:48       every record is exactly 48 bytes
//     *        = line           framing of every table not declared above
//
// Without a `*` line, only declared tables can be opened.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "server/files/handles.h"

namespace gavo::server {

// Table names: 1 to 64 bytes of A-Z a-z 0-9 '_' '.' '-'; case matters.
constexpr size_t kMaxTableName = 64;
bool valid_table_name(std::string_view name);
// Bytes of a table-name field worth keeping: the longest name and its zero.
constexpr size_t kTableFieldKeep = kMaxTableName + 1;
// `field` holds the first min(`length`, kTableFieldKeep) bytes of a name field whose
// 16-bit length was `length` (counting the terminating zero). True with `name` set when
// the field is a valid name followed by its zero; otherwise `why` says what is wrong.
bool parse_table_field(const char* field, size_t length, std::string* name, std::string* why);

// Largest fixed record and longest line allowed in the tables file.
constexpr size_t kMaxRecordBytes = 1024 * 1024;
// Longest line before its line feed when `line` gives no maximum.
constexpr size_t kDefaultMaxLine = 64 * 1024;

struct Framing {
    enum Kind { kFixed, kLine };
    Kind kind = kLine;
    // kFixed: the record length; kLine: the most bytes before the line feed.
    size_t bytes = kDefaultMaxLine;

    std::string to_string() const;  // "fixed:48", "line:65536"
    bool operator==(const Framing& o) const { return kind == o.kind && bytes == o.bytes; }
};

// The declared tables, with the default framing if any. Immutable once loaded.
class TableCatalog {
public:
    // Parses the text of a tables file; false with `error` ("line 3: ...") on a mistake.
    bool parse(std::string_view text, std::string* error);
    // Reads and parses the file at `path`.
    bool load(const std::string& path, std::string* error);

    // The framing of `name` (declared or default); nullopt when the table is unknown.
    std::optional<Framing> find(const std::string& name) const;
    size_t declared() const { return tables_.size(); }
    bool has_default() const { return default_.has_value(); }

    // Why `next` cannot replace this catalog while the server runs: some table name that
    // both frame (declared or by default) would change its framing, and records of one
    // table would then arrive in two framings. Empty when `next` may replace it.
    std::string framing_change(const TableCatalog& next) const;

private:
    bool parse_line(std::string_view line, std::string* error);

    std::map<std::string, Framing, std::less<>> tables_;
    std::optional<Framing> default_;
};

// Parses "fixed:N", "line" or "line:N"; false when malformed or out of range.
bool parse_framing(std::string_view text, Framing* out);

// A table opened by a client: nothing is buffered (each record is committed before it is
// acknowledged), so closing has nothing to flush.
class OpenTable : public OpenObject {
public:
    OpenTable(std::string table_name, Framing table_framing)
        : name(std::move(table_name)), framing(table_framing) {}
    int close() override { return 0; }
    std::string describe() const override { return "table " + name; }
    Info info() const override { return {"table", name, "append"}; }

    const std::string name;
    const Framing framing;
};

// `t` (microseconds since the epoch) as "YYYY-MM-DDTHH:MM:SS.ffffffZ" in UTC.
std::string utc_text(int64_t micros_since_epoch);
// The current time in microseconds since the epoch.
int64_t now_micros();

}  // namespace gavo::server
