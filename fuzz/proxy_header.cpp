// Fuzz target: the PROXY v2 header parser, on the bytes a trusted proxy could send. The
// stated size must lie within the fixed part and the bound, and a header cut short is
// never parsed; an accepted PROXY header names a TCP client.
#include "proto/proxy_header.h"

#include <cstddef>
#include <cstdint>

#include "fuzz/common.h"

using gavo::fuzz::die;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < gavo::kProxyFixedSize) return 0;
    const char* why = nullptr;
    const size_t whole = gavo::proxy_header_size(data, &why);
    if (whole == 0) {
        if (why == nullptr) die("a refused header without a reason");
        return 0;
    }
    if (whole < gavo::kProxyFixedSize || whole > gavo::kProxyMaxSize) {
        die("stated size %zu out of bounds", whole);
    }
    if (whole > size) return 0;  // the server reads exactly `whole` bytes first
    gavo::ProxyHeader header;
    if (gavo::parse_proxy_header(data, whole, &header, &why) && !header.local && data[13] != 0x11 &&
        data[13] != 0x21) {
        die("family 0x%02x accepted", data[13]);
    }
    return 0;
}
