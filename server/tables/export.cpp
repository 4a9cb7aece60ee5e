#include "server/tables/export.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace gavo::server {

namespace {

// A JSON string literal of `text`.
std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", u);
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// A CSV field, quoted when it holds a separator, a quote or a line break.
std::string csv_field(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

}  // namespace

std::string base64(std::string_view bytes) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t v = (uint32_t{static_cast<unsigned char>(bytes[i])} << 16) |
                           (uint32_t{static_cast<unsigned char>(bytes[i + 1])} << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6) out += kAlphabet[(v >> shift) & 63];
    }
    const size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t v = uint32_t{static_cast<unsigned char>(bytes[i])} << 16;
        if (rest == 2) v |= uint32_t{static_cast<unsigned char>(bytes[i + 1])} << 8;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string export_header(ExportFormat format) {
    return format == ExportFormat::kCsv ? "seq,table,received_utc,client,record_base64\n" : "";
}

std::string export_line(const StoredRecord& r, ExportFormat format) {
    if (format == ExportFormat::kCsv) {
        return std::to_string(r.seq) + "," + csv_field(r.table) + "," + csv_field(r.received_utc) +
               "," + csv_field(r.client) + "," + base64(r.bytes) + "\n";
    }
    return "{\"seq\":" + std::to_string(r.seq) + ",\"table\":" + json_string(r.table) +
           ",\"received_utc\":" + json_string(r.received_utc) +
           ",\"client\":" + json_string(r.client) + ",\"record_base64\":\"" + base64(r.bytes) +
           "\"}\n";
}

namespace {

// True when `from` still holds the record `mark` names, as it was copied.
bool holds_mark(TableStore& from, const CopyMark& mark, StoreError* error) {
    StoredRecord found;
    if (!from.scan_after(
            mark.seq - 1, 1, [&](const StoredRecord& r) { found = r; }, error)) {
        return false;
    }
    if (found.seq == mark.seq && found.received_utc == mark.received_utc) return true;
    error->text = "the target holds records of this store up to seq " + std::to_string(mark.seq) +
                  ", which this store has " +
                  (found.seq == mark.seq ? "with another received_utc" : "not") +
                  " (a backup older than the copy, written to since?); copy it into a "
                  "database of its own";
    return false;
}

}  // namespace

bool copy_store(TableStore& from, TableStore& to, const CopyLimits& limits, CopyOutcome* outcome,
                StoreError* error) {
    const std::string source = from.store_id();
    CopyMark mark;
    if (source.empty()) {
        error->text = from.describe() + " has no store_id to copy it by";
        return false;
    }
    if (!to.copy_mark(source, &mark, error)) return false;
    if (mark.seq > 0 && !holds_mark(from, mark, error)) return false;
    std::vector<StoredRecord> rows;
    const auto keep = [&](const StoredRecord& r) { rows.push_back(r); };
    for (;;) {
        uint64_t want = limits.batch;
        if (limits.limit > 0) want = std::min(want, limits.limit - outcome->copied);
        rows.clear();
        // At the limit, one more record read says whether any are left.
        if (!from.scan_after(mark.seq, want > 0 ? want : 1, keep, error)) return false;
        if (rows.empty() || want == 0) break;
        if (!to.append_copy(source, mark, rows, error)) return false;
        mark = {rows.back().seq, rows.back().received_utc};
        outcome->copied += rows.size();
    }
    outcome->complete = rows.empty();
    return true;
}

}  // namespace gavo::server
