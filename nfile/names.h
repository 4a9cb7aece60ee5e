// Limits on the names that hosts pass to the file object.
#pragma once

#include <cstring>

// m_szFilePathname holds 499 characters and the terminator.
constexpr size_t kMaxNameLength = 499;

// True for a non-null name of at most 499 characters.
inline bool nfile_name_fits(const char* name) {
    return name != nullptr && strnlen(name, kMaxNameLength + 1) <= kMaxNameLength;
}
