#include "server/tables/tables.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>

namespace gavo::server {

namespace {

std::string_view trim(std::string_view s) {
    const char* space = " \t\r";
    const size_t first = s.find_first_not_of(space);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(space) - first + 1);
}

// A whole decimal number in [1, kMaxRecordBytes].
bool parse_size(std::string_view text, size_t* out) {
    if (text.empty() || text.size() > 8) return false;
    size_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<size_t>(c - '0');
    }
    if (v < 1 || v > kMaxRecordBytes) return false;
    *out = v;
    return true;
}

}  // namespace

bool valid_table_name(std::string_view name) {
    if (name.empty() || name.size() > kMaxTableName) return false;
    for (char c : name) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '-';
        if (!ok) return false;
    }
    return true;
}

bool parse_table_field(const char* field, size_t length, std::string* name, std::string* why) {
    if (length < 2) {
        *why = "empty name";
        return false;
    }
    if (length > kTableFieldKeep) {
        *why = "name longer than " + std::to_string(kMaxTableName) + " bytes";
        return false;
    }
    if (field[length - 1] != '\0') {
        *why = "name field does not end in a zero byte";
        return false;
    }
    const std::string_view text(field, length - 1);
    if (!valid_table_name(text)) {
        *why = "name holds bytes other than A-Z a-z 0-9 _ . -";
        return false;
    }
    *name = std::string(text);
    return true;
}

std::string Framing::to_string() const {
    return (kind == kFixed ? "fixed:" : "line:") + std::to_string(bytes);
}

bool parse_framing(std::string_view text, Framing* out) {
    Framing f;
    if (text == "line") {
        *out = f;
        return true;
    }
    if (text.substr(0, 5) == "line:") {
        f.kind = Framing::kLine;
        if (!parse_size(text.substr(5), &f.bytes)) return false;
    } else if (text.substr(0, 6) == "fixed:") {
        f.kind = Framing::kFixed;
        if (!parse_size(text.substr(6), &f.bytes)) return false;
    } else {
        return false;
    }
    *out = f;
    return true;
}

bool TableCatalog::parse_line(std::string_view line, std::string* error) {
    line = trim(line.substr(0, line.find('#')));
    if (line.empty()) return true;
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
        *error = "expected 'NAME = FRAMING'";
        return false;
    }
    const std::string_view name = trim(line.substr(0, eq));
    const std::string_view value = trim(line.substr(eq + 1));
    Framing framing;
    if (!parse_framing(value, &framing)) {
        *error = "bad framing '" + std::string(value) +
                 "' (want fixed:N or line or line:N, N from 1 to 1048576)";
        return false;
    }
    if (name == "*") {
        if (default_) {
            *error = "second default framing";
            return false;
        }
        default_ = framing;
        return true;
    }
    if (!valid_table_name(name)) {
        *error = "bad table name '" + std::string(name) + "' (1-64 of A-Z a-z 0-9 _ . -)";
        return false;
    }
    if (!tables_.emplace(std::string(name), framing).second) {
        *error = "table '" + std::string(name) + "' declared twice";
        return false;
    }
    return true;
}

bool TableCatalog::parse(std::string_view text, std::string* error) {
    int number = 0;
    while (!text.empty()) {
        ++number;
        const size_t nl = text.find('\n');
        const std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
        std::string why;
        if (!parse_line(line, &why)) {
            *error = "line " + std::to_string(number) + ": " + why;
            return false;
        }
    }
    return true;
}

bool TableCatalog::load(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read the tables file " + path;
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (!parse(text.str(), error)) {
        // "line 3: why" as "PATH:3: why", the form of the config and access files.
        if (error->rfind("line ", 0) == 0) error->replace(0, 5, path + ":");
        else *error = path + ": " + *error;
        return false;
    }
    return true;
}

std::optional<Framing> TableCatalog::find(const std::string& name) const {
    auto it = tables_.find(name);
    if (it != tables_.end()) return it->second;
    return default_;
}

std::string TableCatalog::framing_change(const TableCatalog& next) const {
    const auto changed = [](const std::optional<Framing>& a, const std::optional<Framing>& b) {
        return a && b && !(*a == *b);
    };
    if (changed(default_, next.default_)) {
        return "the default framing would change from " + default_->to_string() + " to " +
               next.default_->to_string();
    }
    for (const auto* names : {&tables_, &next.tables_}) {
        for (const auto& [name, unused] : *names) {
            const std::optional<Framing> was = find(name), will = next.find(name);
            if (changed(was, will)) {
                return "table " + name + " would change its framing from " + was->to_string() +
                       " to " + will->to_string();
            }
        }
    }
    return {};
}

// Formatted by hand: gmtime_r takes the C library's time-zone lock and strftime reads
// the locale, once for every record stored.
std::string utc_text(int64_t micros) {
    if (micros < 0) {  // before 1970: not a time a record arrives at
        const time_t secs = static_cast<time_t>(micros / 1000000);
        struct tm tm;
        gmtime_r(&secs, &tm);
        char text[48];
        const size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
        snprintf(text + n, sizeof text - n, ".%06dZ", static_cast<int>(micros % 1000000));
        return text;
    }
    const int64_t secs = micros / 1000000, day_secs = secs % 86400;
    // The civil date of a day count (H. Hinnant's algorithm, in 400-year eras from
    // 0000-03-01, so that a leap day ends its year).
    const int64_t z = secs / 86400 + 719468, era = z / 146097, doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1, month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2);
    std::string text = "0000-00-00T00:00:00.000000Z";
    auto put = [&text](size_t end, int64_t value, size_t digits) {
        for (size_t i = 0; i < digits; ++i, value /= 10) {
            text[end - 1 - i] = static_cast<char>('0' + value % 10);
        }
    };
    if (year > 9999) return "9999-12-31T23:59:59.999999Z";  // beyond the format's width
    put(4, year, 4);
    put(7, month, 2);
    put(10, day, 2);
    put(13, day_secs / 3600, 2);
    put(16, day_secs / 60 % 60, 2);
    put(19, day_secs % 60, 2);
    put(26, micros % 1000000, 6);
    return text;
}

int64_t now_micros() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace gavo::server
