// The PROXY protocol version 2 header, as a load balancer in TCP mode (HAProxy's
// `send-proxy-v2`) puts it before a client's first byte: a 16-byte fixed part (the
// signature, version and command, address family, and the length of what follows),
// then the addresses and optional extensions. Pure parsing; the server reads the bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace gavo {

constexpr size_t kProxyFixedSize = 16;
// The most a header may take here: the addresses of two IPv6 ends leave room for a few
// extensions; a longer one is refused rather than read.
constexpr size_t kProxyMaxSize = 536;

struct ProxyHeader {
    bool local = false;       // LOCAL: the proxy's own connection (a health check)
    bool v6 = false;          // the source below is IPv6 (else IPv4, in its first 4 bytes)
    uint8_t source[16] = {};  // network order
    uint16_t source_port = 0;
};

// From the fixed part (kProxyFixedSize bytes): the whole header's size, or 0 with `why`
// (bad signature, version or command, or longer than kProxyMaxSize).
size_t proxy_header_size(const unsigned char* fixed, const char** why);

// The whole header of `size` bytes (as proxy_header_size() gave it). For PROXY only TCP
// over IPv4 or IPv6 is accepted: any other family leaves the client without an address.
bool parse_proxy_header(const unsigned char* p, size_t size, ProxyHeader* out, const char** why);

}  // namespace gavo
