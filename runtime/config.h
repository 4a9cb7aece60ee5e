// Reading "gavo.ini" the way the platform's profile reader does.
#pragma once

#include <string>

namespace gavo {

// Values longer than this are cut, as a 512-byte profile buffer would cut them.
constexpr size_t kIniValueMax = 511;

// The value of `key` in `section` of the INI text `text`, or `def` when the section or
// key is missing. Section and key names match without regard to case; blanks around
// names and values and one pair of matching quotes around a value are removed.
std::string profile_value(const std::string& text, const char* section, const char* key,
                          const char* def);

// As profile_value, reading the file at `path`; a missing or unreadable file gives `def`.
std::string read_profile_string(const std::string& path, const char* section, const char* key,
                                const char* def);

// Decimal conversion of a setting: leading blanks, an optional sign, the digits that
// follow; 0 when there are none. Values beyond the int range are clamped.
int decimal_value(const char* text);

}  // namespace gavo
