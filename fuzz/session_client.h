// The client side of the session fuzz target: a blocking exchange of requests and
// replies with the in-process server over a socket pair, and a decoder that turns fuzz
// bytes into choices. Every wait gives up after 20 seconds: a server that stops
// answering is a finding, never a hung fuzzer.
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

    // Sends `request` whole, keeping whatever arrives meanwhile; false when the server
    // has closed the connection.
    bool send(const std::string& request);
    // Waits until `n` reply bytes are here; false when the server closed first.
    bool need(size_t n);
    // The next reply integer (need() it first).
    int take16();      // 0..65535
    int32_t take32();  // signed
    void drop(size_t n);
    // Shuts the sending side and reads until the server closes.
    void finish();

private:
    bool receive_some(int wait_ms);

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
