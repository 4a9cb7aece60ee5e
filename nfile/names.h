// Limits on the names that hosts pass to the file object.
#pragma once

#include <cstring>

// m_szFilePathname holds 499 characters and the terminator.
constexpr size_t kMaxNameLength = 499;

// True for a non-null name of at most 499 characters.
inline bool nfile_name_fits(const char* name) {
    return name != nullptr && strnlen(name, kMaxNameLength + 1) <= kMaxNameLength;
}

// Names travel with a 16-bit length that counts their zero.
static_assert(kMaxNameLength + 1 <= 0xFFFF, "a name's length must fit its 16-bit field");
