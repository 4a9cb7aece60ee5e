// The wire's opcodes: the first 16-bit field of every request. Archive-channel requests
// are 1-8, log-channel requests 16-19.
#pragma once

#include <cstdint>

namespace gavo::wire {

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

}  // namespace gavo::wire
