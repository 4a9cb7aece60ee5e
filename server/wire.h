// The wire's opcodes, and its integer encoding (16- and 32-bit integers, most significant
// byte first), shared with the library's transport.
#pragma once

#include <cstdint>

#include "net/codec.h"  // the integer encoding: gavo::codec::get16, put16, get32, put32

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

}  // namespace gavo::server
