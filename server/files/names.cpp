#include "server/files/names.h"

#include <cstring>
#include <vector>

namespace gavo::server {

namespace {

ClientName refuse(const char* reason) {
    ClientName n;
    n.reason = reason;
    return n;
}

bool is_separator(char c) { return c == '/' || c == '\\'; }

bool has_drive_prefix(const char* s, size_t n) {
    const char c = s[0];
    return n >= 2 && s[1] == ':' && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'));
}

// Splits on both separators and folds "." and ".."; false when ".." climbs above the root.
bool fold_components(const char* s, size_t n, std::vector<std::string>* parts) {
    size_t i = 0;
    while (i < n) {
        while (i < n && is_separator(s[i])) ++i;
        const size_t start = i;
        while (i < n && !is_separator(s[i])) ++i;
        const std::string part(s + start, i - start);
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (parts->empty()) return false;
            parts->pop_back();
            continue;
        }
        parts->push_back(part);
    }
    return true;
}

}  // namespace

ClientName parse_client_name(const char* field, size_t length) {
    if (length == 0) return refuse("empty name field (no terminating zero)");
    if (length > kNameFieldKeep) return refuse("name too long");
    const size_t n = length - 1;
    if (field[n] != '\0') return refuse("name not terminated by a zero byte");
    if (memchr(field, '\0', n) != nullptr) return refuse("zero byte inside the name");
    if (has_drive_prefix(field, n)) return refuse("drive-letter name");
    std::vector<std::string> parts;
    if (!fold_components(field, n, &parts)) return refuse("'..' leaves the root");
    if (parts.empty()) return refuse("name of the root itself");
    if (parts.front() == kNodeLockName) return refuse("the server's own file");
    ClientName out;
    out.ok = true;
    for (const std::string& part : parts) {
        if (!out.path.empty()) out.path += '/';
        out.path += part;
    }
    return out;
}

}  // namespace gavo::server
