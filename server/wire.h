// The wire's integer encoding, as pure functions over bytes: 16- and 32-bit integers travel
// most significant byte first. No I/O here, so the codec is tested by bytes alone.
#pragma once

#include <cstdint>

namespace gavo::server {

// Opcodes of the requests this server answers.
enum Opcode : uint16_t {
    kOpOpen = 1,
    kOpClose = 2,
    kOpRead = 3,
    kOpWrite = 4,
    kOpOpenEx = 5,
    kOpRename = 6,
    kOpRemove = 7,
    kOpExists = 8,
    kOpTableOpen = 16,
    kOpTableClose = 17,
    kOpTableWrite = 19,
};

// Writes the low 16 bits of `v` at `p`.
inline void put_be16(unsigned char* p, int v) {
    p[0] = static_cast<unsigned char>((v >> 8) & 0xFF);
    p[1] = static_cast<unsigned char>(v & 0xFF);
}

// Writes the 32 bits of `v` at `p`.
inline void put_be32(unsigned char* p, int32_t v) {
    const uint32_t u = static_cast<uint32_t>(v);
    p[0] = static_cast<unsigned char>(u >> 24);
    p[1] = static_cast<unsigned char>(u >> 16);
    p[2] = static_cast<unsigned char>(u >> 8);
    p[3] = static_cast<unsigned char>(u);
}

// The 16-bit value at `p`, unsigned (0..65535).
inline int get_be16(const unsigned char* p) { return (p[0] << 8) | p[1]; }

// The 32-bit value at `p`, signed.
inline int32_t get_be32(const unsigned char* p) {
    const uint32_t u = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) |
                       uint32_t{p[3]};
    return static_cast<int32_t>(u);
}

}  // namespace gavo::server
