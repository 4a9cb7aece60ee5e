// The PROXY v2 header: what is accepted, and why the rest is refused.
#include "proto/proxy_header.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string header(int ver_cmd, int family, const std::string& body, size_t stated = 0) {
    stated = stated ? stated : body.size();
    return std::string("\r\n\r\n\0\r\nQUIT\n", 12) + static_cast<char>(ver_cmd) +
           static_cast<char>(family) + static_cast<char>(stated >> 8) +
           static_cast<char>(stated & 0xFF) + body;
}

TEST(ProxyHeaderTest, AcceptsOnlyHeadersThatNameATcpClientOrAreLocal) {
    const std::string v4("\x0A\0\0\x07\x7F\0\0\x01\x1F\x90\x1B\xBC", 12);  // 10.0.0.7:8080
    const std::string v6 = std::string("\x20\x01", 2) + std::string(30, '\0') +
                           std::string("\x01\xBB\0\x50", 4);  // [2001::]:443
    const struct {
        std::string bytes;
        const char* why;  // null: accepted
        int port;         // of an accepted PROXY header (-1: LOCAL)
    } cases[] = {
        {header(0x21, 0x11, v4 + std::string("\x04\0\x01X", 4)), nullptr, 8080},  // TLV skipped
        {header(0x21, 0x21, v6), nullptr, 443},
        {header(0x20, 0x00, ""), nullptr, -1},
        {"PROXY TCP4 10.0.0.7 127.0.0.1 8080 7100\r\n", "signature", 0},  // version 1
        {header(0x11, 0x11, v4), "version", 0},
        {header(0x22, 0x11, v4), "command", 0},
        {header(0x21, 0x11, v4, gavo::kProxyMaxSize), "too long", 0},
        {header(0x21, 0x11, v4.substr(0, 8)), "too short", 0},
        {header(0x21, 0x12, v4), "not TCP", 0},  // UDP
        {header(0x21, 0x00, ""), "not TCP", 0},  // PROXY without an address
    };
    for (const auto& c : cases) {
        const auto* p = reinterpret_cast<const unsigned char*>(c.bytes.data());
        const char* why = "";
        const size_t size = gavo::proxy_header_size(p, &why);
        gavo::ProxyHeader h;
        const bool ok = size == c.bytes.size() && gavo::parse_proxy_header(p, size, &h, &why);
        ASSERT_EQ(ok, c.why == nullptr) << c.bytes.size() << " " << why;
        if (ok) {
            EXPECT_EQ(h.local ? -1 : h.source_port, c.port);
        } else {
            EXPECT_NE(std::string(why).find(c.why), std::string::npos) << why;
        }
    }
}

}  // namespace
