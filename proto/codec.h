// The wire's integer encoding: 16-, 32- and 64-bit integers, most significant byte first
// (network byte order). Pure functions over bytes, no I/O, so they are tested by bytes.
#pragma once

#include <cstdint>

namespace gavo::codec {

// Writes the low 16 bits of `value` into out[0..1]; higher bits are dropped.
inline void put16(unsigned char* out, int value) {
    uint32_t v = static_cast<uint32_t>(value);
    out[0] = static_cast<unsigned char>(v >> 8);
    out[1] = static_cast<unsigned char>(v);
}

// Writes the 32 bits of `value` into out[0..3].
inline void put32(unsigned char* out, int value) {
    uint32_t v = static_cast<uint32_t>(value);
    out[0] = static_cast<unsigned char>(v >> 24);
    out[1] = static_cast<unsigned char>(v >> 16);
    out[2] = static_cast<unsigned char>(v >> 8);
    out[3] = static_cast<unsigned char>(v);
}

// The 16-bit value in in[0..1], unsigned: 0 to 65535.
inline int get16(const unsigned char* in) { return (in[0] << 8) | in[1]; }

// The 32-bit value in in[0..3], signed (two's complement).
inline int32_t get32(const unsigned char* in) {
    uint32_t v = (uint32_t{in[0]} << 24) | (uint32_t{in[1]} << 16) | (uint32_t{in[2]} << 8) |
                 uint32_t{in[3]};
    return static_cast<int32_t>(v);
}

// Writes the 64 bits of `value` into out[0..7] (the handle numbering's state file).
inline void put64(unsigned char* out, uint64_t value) {
    put32(out, static_cast<int>(static_cast<uint32_t>(value >> 32)));
    put32(out + 4, static_cast<int>(static_cast<uint32_t>(value)));
}

// The 64-bit value in in[0..7], unsigned.
inline uint64_t get64(const unsigned char* in) {
    return (uint64_t{static_cast<uint32_t>(get32(in))} << 32) |
           static_cast<uint32_t>(get32(in + 4));
}

}  // namespace gavo::codec
