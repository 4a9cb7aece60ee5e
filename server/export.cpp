#include "server/export.h"

#include <cstdio>

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

}  // namespace gavo::server
