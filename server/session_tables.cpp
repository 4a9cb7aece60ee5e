// The log channel's requests: table open (16) and record write (19). Table close (17)
// is an ordinary close of the one handle space (see session.cpp).
#include <algorithm>

#include "server/session.h"
#include "server/table_service.h"
#include "server/tables.h"

namespace gavo::server {

namespace {

// A refused name for the log: at most 64 bytes, control bytes and non-ASCII as '?'.
std::string shown(const char* field, size_t n) {
    std::string out(field, std::min(n, kTableFieldKeep));
    while (!out.empty() && out.back() == '\0') out.pop_back();
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7F) c = '?';
    }
    return out;
}

}  // namespace

bool Session::do_table_open() {
    int length = 0;
    if (!conn_.get16(&length)) return false;
    char field[kTableFieldKeep];
    const size_t keep = std::min(static_cast<size_t>(length), kTableFieldKeep);
    // An over-long name is read to its end all the same, so the stream stays in step.
    if (!conn_.get_bytes(field, keep) || !conn_.skip(static_cast<size_t>(length) - keep)) {
        return false;
    }
    std::string name, why;
    if (!parse_table_field(field, static_cast<size_t>(length), &name, &why)) {
        refuse("table open", kCodeBadPath, "'" + shown(field, keep) + "'", why);
        return reply16(kCodeBadPath);
    }
    const std::optional<Framing> framing = ctx_.tables.framing(name);
    if (!framing) {
        refuse("table open", kCodeNotFound, "'" + name + "'",
               ctx_.tables.enabled() ? "not declared in the tables file"
                                     : "tables are not served (no --tables file)");
        return reply16(kCodeNotFound);
    }
    if (ctx_.config.read_only) {
        refuse("table open", kCodeAccessDenied, "'" + name + "'", "read-only server");
        return reply16(kCodeAccessDenied);
    }
    const int handle =
        ctx_.handles.add(host_, std::make_shared<OpenTable>(name, *framing), &why);
    if (handle < 0) {
        refuse_limited(Refusal::kHandles, "table open", "'" + name + "'", why);
        return reply16(kCodeRefused);
    }
    return reply16(handle);
}

// Reads one record as `table` frames it. False (after a log line) when the connection
// failed or the framing broke: the connection then ends and nothing is stored.
bool Session::read_record(const OpenTable& table, std::string* bytes) {
    const Framing& f = table.framing;
    if (f.kind == Framing::kLine) {
        const Conn::Until got = conn_.get_until('\n', f.bytes, bytes);
        if (got == Conn::Until::kFound) return true;
        const std::string why =
            got == Conn::Until::kTooLong
                ? "has no line feed within " + std::to_string(f.bytes) + " bytes"
                : "was cut off before its line feed";
        ctx_.log.linef("%s: record for %s %s; not stored, closing the connection",
                       label_.c_str(), table.describe().c_str(), why.c_str());
        return conn_.fail("table record framing broken");
    }
    bytes->resize(f.bytes);
    for (size_t done = 0; done < f.bytes;) {
        const size_t got = conn_.get_some(&(*bytes)[done], f.bytes - done);
        if (got == 0) {
            ctx_.log.linef("%s: record for %s cut off after %zu of %zu bytes; not stored",
                           label_.c_str(), table.describe().c_str(), done, f.bytes);
            return false;
        }
        done += got;
    }
    return true;
}

bool Session::do_table_write() {
    int handle = 0;
    if (!conn_.get16(&handle)) return false;
    Lookup found;
    auto table = std::dynamic_pointer_cast<OpenTable>(ctx_.handles.find(handle, host_, &found));
    if (!table) {
        // Only a table knows its record length: without one the stream cannot be kept
        // in step, so the connection ends.
        ctx_.log.linef("%s: table write through handle %d (%s): record length unknown, "
                       "closing the connection", label_.c_str(), handle,
                       found == Lookup::kFound       ? "not a table"
                       : found == Lookup::kOtherHost ? "handle of another host"
                                                     : "unknown handle");
        return conn_.fail("table write without a table");
    }
    Record record;
    if (!read_record(*table, &record.bytes)) return false;
    const size_t wire_bytes = record.bytes.size() + (table->framing.kind == Framing::kLine);
    if (conn_.input_pending()) {
        ctx_.log.linef("%s: write to %s carried more than one %s record; nothing stored, "
                       "closing the connection", label_.c_str(), table->describe().c_str(),
                       table->framing.to_string().c_str());
        return conn_.fail("table record framing broken");
    }
    record.table = table->name;
    record.client = host_.to_string();
    record.received_micros = now_micros();
    const int code = ctx_.tables.store(std::move(record));
    if (code != 0) {
        refuse("table write", code, table->describe(), "the database did not store it");
        return reply32(code);
    }
    return reply32(static_cast<int32_t>(wire_bytes));
}

}  // namespace gavo::server
