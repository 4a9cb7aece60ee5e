// Turning a client's name into a path relative to the served root, with no I/O.
//
// A name is relative to the root: '\' and '/' both separate components, leading and
// repeated separators are dropped, "." components are dropped and ".." removes the
// component before it (as the client's own platform resolves names, by text). The result
// never contains "." or "..", never starts with a separator, and is what the resolver
// then opens beneath the root.
#pragma once

#include <cstddef>
#include <string>

#include "proto/names.h"

namespace gavo::server {

// The server's own file in the root (node_lock.h), refused to clients as a first component.
constexpr const char* kNodeLockName = ".gavo-nodes";

using gavo::kMaxNameBytes;
using gavo::kNameFieldKeep;

struct ClientName {
    bool ok = false;
    std::string path;    // on success: components joined by '/'
    std::string reason;  // on failure: why the name was refused, for the log
};

// `field` holds the first min(`length`, kNameFieldKeep) bytes of a name field whose
// 16-bit length was `length` (counting the terminating zero). Refused: an empty field,
// a name over kMaxNameBytes, a field whose last byte is not the zero, a zero before the
// end, a drive-letter prefix ("C:"), ".." above the root, a name that is only the root
// itself, and one in or under kNodeLockName.
ClientName parse_client_name(const char* field, size_t length);

}  // namespace gavo::server
