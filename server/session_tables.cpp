// The log channel's requests: table open (16) and record write (19). Table close (17)
// is an ordinary close of the one handle space (see session.cpp).
#include <algorithm>
#include <cstring>

#include "server/session.h"
#include "server/tables/table_service.h"
#include "server/tables/tables.h"

namespace gavo::server {

namespace {

using Event = wire::RequestDecoder::Event;

// A refused name for the log (which escapes what is not printable): at most 64 bytes.
std::string shown(const char* field, size_t n) {
    std::string out(field, std::min(n, kTableFieldKeep));
    while (!out.empty() && out.back() == '\0') out.pop_back();
    return out;
}

// A table name in quotes for the log. Built by appending: GCC 12 at -O3 sees a false
// overlap (-Wrestrict) in the `"literal" + std::string&&` form.
std::string quoted(const std::string& name) {
    std::string out(1, '\'');
    return out.append(name).append(1, '\'');
}

}  // namespace

bool Session::do_table_open(const Header& req) {
    const wire::NameField& field = req.names[0];
    const size_t keep = std::min(field.length, kTableFieldKeep);
    std::string name, why;
    if (!parse_table_field(field.kept, field.length, &name, &why)) {
        refuse("table open", kCodeBadPath, quoted(shown(field.kept, keep)), why);
        return reply16(kCodeBadPath);
    }
    const std::optional<Framing> framing = ctx_.tables.framing(name);
    if (!framing) {
        refuse("table open", kCodeNotFound, quoted(name),
               ctx_.tables.enabled() ? "not declared in the tables file"
                                     : "tables are not served (no --tables file)");
        return reply16(kCodeNotFound);
    }
    const std::string refusal = table_refusal(name);
    if (!refusal.empty()) {
        refuse("table open", kCodeAccessDenied, quoted(name), refusal);
        return reply16(kCodeAccessDenied);
    }
    const int handle =
        ctx_.handles.add(who_, std::make_shared<OpenTable>(name, *framing), &why, id_);
    if (handle < 0) {
        refuse_limited(Refusal::kHandles, "table open", quoted(name), why);
        return reply16(kCodeRefused);
    }
    return reply16(handle);
}

// Reads one record as `table` frames it, its bytes counted against the server-wide cap
// while it arrives. False (after a log line) when the connection failed, the framing
// broke or the cap ended the request: the connection then ends and nothing is stored.
bool Session::read_record(const OpenTable& table, std::string* bytes) {
    PendingBytes::Request held(ctx_.pending, conn_.fd(), label_);
    if (table.framing.kind == Framing::kFixed) return read_fixed(table, held, bytes);
    return read_line(table, held, bytes);
}

bool Session::read_line(const OpenTable& table, PendingBytes::Request& held, std::string* bytes) {
    const size_t max = table.framing.bytes;
    decoder_.expect_line(max);
    Step step;
    for (;;) {
        if (!next(&step) || step.event != Event::kRecord) break;
        bytes->append(reinterpret_cast<const char*>(step.data), step.size);
        if (!held.hold(bytes->size())) break;
    }
    if (held.cut()) return conn_.fail_instead(ConnFailure::kRequest, "pending-bytes cap reached");
    if (step.event == Event::kEnd) return true;
    const std::string why = step.event == Event::kMalformed
                                ? "has no line feed within " + std::to_string(max) + " bytes"
                                : "was cut off before its line feed";
    ctx_.log.linef(LogLevel::kWarn, "%s: record for %s %s; not stored, closing the connection",
                   label_.c_str(), table.describe().c_str(), why.c_str());
    return conn_.fail(ConnFailure::kRequest, "table record framing broken");
}

// The buffer grows with the bytes that came (doubling, from 4 KiB), never to the declared
// length ahead of them: a client that sends only a record's header costs next to nothing.
bool Session::read_fixed(const OpenTable& table, PendingBytes::Request& held, std::string* bytes) {
    const size_t want = table.framing.bytes;
    decoder_.expect_fixed(want);
    Step step;
    for (size_t done = 0; done < want;) {
        if (done == bytes->size()) {
            bytes->resize(std::min(want, std::max<size_t>(4096, 2 * done)));
            if (!held.hold(bytes->size()))
                return conn_.fail_instead(ConnFailure::kRequest, "pending-bytes cap reached");
        }
        unsigned char* dest = reinterpret_cast<unsigned char*>(&(*bytes)[done]);
        if (!next(&step, dest, bytes->size() - done)) {
            if (held.cut())
                return conn_.fail_instead(ConnFailure::kRequest, "pending-bytes cap reached");
            ctx_.log.linef(LogLevel::kWarn,
                           "%s: record for %s cut off after %zu of %zu bytes; not stored",
                           label_.c_str(), table.describe().c_str(), done, want);
            return false;
        }
        if (step.data != dest) memcpy(dest, step.data, step.size);
        done += step.size;
    }
    return next(&step);  // the record's end needs no bytes
}

bool Session::do_table_write(const Header& req) {
    const int handle = req.handle;
    Lookup found;
    auto table = std::dynamic_pointer_cast<OpenTable>(ctx_.handles.find(handle, who_, &found, id_));
    if (!table) {
        // Only a table knows its record length: without one the stream cannot be kept
        // in step, so the connection ends.
        ctx_.log.linef(LogLevel::kWarn,
                       "%s: table write through handle %d (%s): record length unknown, "
                       "closing the connection",
                       label_.c_str(), handle,
                       found == Lookup::kFound ? "not a table" : lookup_failure(found));
        return conn_.fail(ConnFailure::kRequest, "table write without a table");
    }
    Record record;
    if (!read_record(*table, &record.bytes)) return false;
    const size_t wire_bytes = record.bytes.size() + (table->framing.kind == Framing::kLine);
    if (conn_.input_pending()) {
        ctx_.log.linef(LogLevel::kWarn,
                       "%s: write to %s carried more than one %s record; nothing stored, "
                       "closing the connection",
                       label_.c_str(), table->describe().c_str(),
                       table->framing.to_string().c_str());
        return conn_.fail(ConnFailure::kRequest, "table record framing broken");
    }
    const std::string refusal = table_refusal(table->name);
    if (!refusal.empty()) {
        // Opened before a reload took the table from this client.
        refuse("table write", kCodeAccessDenied, table->describe(), refusal);
        return reply32(kCodeAccessDenied);
    }
    record.table = table->name;
    record.client = host_text_;
    record.received_micros = now_micros();
    if (may_park_) {  // on the loop: answered by answer_record() after the commit
        parked_ = Parked{std::move(record), table->describe(), wire_bytes, 0};
        return true;
    }
    // The store waits for the record's commit.
    if (!leave_loop("table write", table->describe())) return reply32(kCodeRefused);
    return answer_table_write(ctx_.tables.store(std::move(record)), table->describe(), wire_bytes);
}

Record Session::take_parked_record() { return std::move(parked_->record); }

bool Session::answer_record() {
    const Parked parked = std::move(*parked_);
    parked_.reset();
    const bool open = parked.answered
                          ? conn_.flush()
                          : answer_table_write(parked.code, parked.table, parked.wire_bytes);
    count_request();
    return open;
}

// Only a plain connection's success answer: a TLS session sends in records of its own,
// and a failure has its log line written where the connection is served.
bool Session::answer_record_now() {
    if (parked_->code != 0 || conn_.tls()) return false;
    result_ = static_cast<int32_t>(parked_->wire_bytes);
    const wire::ReplyBytes reply = wire::encode_long(result_);
    parked_->answered = true;
    if (!conn_.send_now(reply.bytes, reply.size)) return false;
    parked_.reset();
    count_request();
    return true;
}

bool Session::answer_table_write(int code, const std::string& table, size_t wire_bytes) {
    if (code != 0) {
        refuse("table write", code, table, "the database did not store it");
        return reply32(code);
    }
    return reply32(static_cast<int32_t>(wire_bytes));
}

}  // namespace gavo::server
