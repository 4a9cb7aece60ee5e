#include "server/files/names.h"

#include <cstring>

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

// Splits on both separators and folds "." and ".." straight into `path` (components
// joined by '/'), without a list of components: a name is parsed on every open. False
// when ".." climbs above the root.
bool fold_components(const char* s, size_t n, std::string* path) {
    path->reserve(n);
    size_t i = 0;
    while (i < n) {
        while (i < n && is_separator(s[i])) ++i;
        const size_t start = i;
        while (i < n && !is_separator(s[i])) ++i;
        const size_t len = i - start;
        if (len == 0 || (len == 1 && s[start] == '.')) continue;
        if (len == 2 && s[start] == '.' && s[start + 1] == '.') {
            if (path->empty()) return false;
            const size_t slash = path->rfind('/');
            path->resize(slash == std::string::npos ? 0 : slash);
            continue;
        }
        if (!path->empty()) *path += '/';
        path->append(s + start, len);
    }
    return true;
}

// True when `path` is kNodeLockName or lies beneath it.
bool in_node_lock(const std::string& path) {
    const size_t n = strlen(kNodeLockName);
    return path.compare(0, n, kNodeLockName) == 0 && (path.size() == n || path[n] == '/');
}

}  // namespace

ClientName parse_client_name(const char* field, size_t length, bool root_ok) {
    if (length == 0) return refuse("empty name field (no terminating zero)");
    if (length > kNameFieldKeep) return refuse("name too long");
    const size_t n = length - 1;
    if (field[n] != '\0') return refuse("name not terminated by a zero byte");
    if (memchr(field, '\0', n) != nullptr) return refuse("zero byte inside the name");
    if (has_drive_prefix(field, n)) return refuse("drive-letter name");
    ClientName out;
    if (!fold_components(field, n, &out.path)) return refuse("'..' leaves the root");
    if (out.path.empty() && !root_ok) return refuse("name of the root itself");
    if (in_node_lock(out.path)) return refuse("the server's own file");
    out.ok = true;
    return out;
}

}  // namespace gavo::server
