#include "proto/proxy_header.h"

#include <cstring>

namespace gavo {

namespace {

constexpr unsigned char kSignature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                          0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
constexpr unsigned char kTcp4 = 0x11, kTcp6 = 0x21;
constexpr size_t kTcp4Size = 12, kTcp6Size = 36;  // both addresses, both ports

}  // namespace

size_t proxy_header_size(const unsigned char* fixed, const char** why) {
    if (std::memcmp(fixed, kSignature, sizeof kSignature) != 0) {
        *why = "no PROXY v2 signature";
        return 0;
    }
    const unsigned version = fixed[12] >> 4, command = fixed[12] & 0x0Fu;
    if (version != 2) {
        *why = "PROXY header version is not 2";
        return 0;
    }
    if (command > 1) {
        *why = "PROXY header command is neither LOCAL nor PROXY";
        return 0;
    }
    const size_t size = kProxyFixedSize + (static_cast<size_t>(fixed[14]) << 8 | fixed[15]);
    if (size > kProxyMaxSize) {
        *why = "PROXY header too long";
        return 0;
    }
    return size;
}

bool parse_proxy_header(const unsigned char* p, size_t size, ProxyHeader* out, const char** why) {
    *out = ProxyHeader();
    if ((p[12] & 0x0Fu) == 0) {  // LOCAL: the address block, if any, is ignored
        out->local = true;
        return true;
    }
    const size_t body = size - kProxyFixedSize;
    const unsigned char* a = p + kProxyFixedSize;
    if (p[13] == kTcp4 && body >= kTcp4Size) {
        std::memcpy(out->source, a, 4);
        out->source_port = static_cast<uint16_t>(a[8] << 8 | a[9]);
        return true;
    }
    if (p[13] == kTcp6 && body >= kTcp6Size) {
        out->v6 = true;
        std::memcpy(out->source, a, 16);
        out->source_port = static_cast<uint16_t>(a[32] << 8 | a[33]);
        return true;
    }
    *why = (p[13] == kTcp4 || p[13] == kTcp6) ? "PROXY header address block too short"
                                              : "PROXY header is not TCP over IPv4 or IPv6";
    return false;
}

}  // namespace gavo
