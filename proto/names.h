// The limit on the names that hosts pass and that travel in a request's name field.
#pragma once

#include <cstddef>
#include <cstring>

namespace gavo {

// The longest name, without its terminating zero: m_szFilePathname holds 499 characters
// and the terminator, and the server accepts exactly what a host can pass.
constexpr size_t kMaxNameBytes = 499;
// Bytes of a name field worth keeping: the name and its zero.
constexpr size_t kNameFieldKeep = kMaxNameBytes + 1;

// Names travel with a 16-bit length that counts their zero.
static_assert(kNameFieldKeep <= 0xFFFF, "a name's length must fit its 16-bit field");

// True for a non-null name of at most kMaxNameBytes characters.
inline bool name_fits(const char* name) {
    return name != nullptr && strnlen(name, kMaxNameBytes + 1) <= kMaxNameBytes;
}

}  // namespace gavo
