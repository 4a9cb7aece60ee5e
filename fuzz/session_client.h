// The client side of the session fuzz target: requests written whole into a socket
// pair whose buffers hold them, replies read back once the session (on the same thread)
// has served the request, and a decoder that turns fuzz bytes into choices. Nothing
// here waits: a reply that is not there once its request was served is missing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace gavo::fuzz {

// Reads the fuzz input as a sequence of choices; past its end every read gives 0.
class Decoder {
public:
    Decoder(const uint8_t* data, size_t size) : p_(data), left_(size) {}
    bool done() const { return left_ == 0; }
    uint8_t byte();
    int u16();
    int32_t s32();
    // Up to `n` raw bytes (fewer at the end of the input).
    std::string bytes(size_t n);

private:
    const uint8_t* p_;
    size_t left_;
};

class WireExchange {
public:
    explicit WireExchange(int fd) : fd_(fd) {}

    // Sends `n` bytes, then `body_n` bytes of `body`, whole and in one call (the buffers
    // hold them: a short send is a harness failure).
    void send(const char* bytes, size_t n, const char* body = nullptr, size_t body_n = 0);
    // True when `n` reply bytes are here.
    bool need(size_t n);
    // The next reply integer (need() it first).
    int take16();      // 0..65535
    int32_t take32();  // signed
    void drop(size_t n);

private:
    int fd_;
    std::string inbox_;
    size_t at_ = 0;
};

// Big-endian request fields.
std::string be16(int value);
std::string be32(int32_t value);
// A name field: length with the zero, the bytes, the zero.
std::string name_field(const std::string& name);

}  // namespace gavo::fuzz
