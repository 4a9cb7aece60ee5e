// The PROXY v2 header: what is accepted, and why the rest is refused.
#include "proto/proxy_header.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string header(int ver_cmd, int family, const std::string& body, size_t stated) {
    std::string h("\r\n\r\n\0\r\nQUIT\n", 12);
    h += static_cast<char>(ver_cmd);
    h += static_cast<char>(family);
    h += static_cast<char>(stated >> 8);
    h += static_cast<char>(stated & 0xFF);
    return h + body;
}
std::string header(int ver_cmd, int family, const std::string& body) {
    return header(ver_cmd, family, body, body.size());
}

const std::string kV4("\x0A\x00\x00\x07\x7F\x00\x00\x01\x1F\x90\x1B\xBC", 12);  // 10.0.0.7:8080

TEST(ProxyHeaderTest, AcceptsTcpOverIpv4AndIpv6AndLocal) {
    const std::string v6 = std::string("\x20\x01\x0d\xb8", 4) + std::string(11, '\0') + "\x05" +
                           std::string(16, '\0') +
                           std::string("\x01\xBB\x00\x50", 4);  // [2001:db8::5]:443
    struct Case {
        std::string bytes;
        bool local, v6;
        unsigned char first, last;
        uint16_t port;
    } cases[] = {
        {header(0x21, 0x11, kV4), false, false, 10, 7, 8080},
        {header(0x21, 0x11, kV4 + std::string("\x04\x00\x01X", 4)), false, false, 10, 7,
         8080},  // TLV ignored
        {header(0x21, 0x21, v6), false, true, 0x20, 5, 443},
        {header(0x20, 0x00, ""), true, false, 0, 0, 0},
        {header(0x20, 0x11, kV4), true, false, 0, 0, 0},  // LOCAL's addresses are ignored
    };
    for (const Case& c : cases) {
        const auto* p = reinterpret_cast<const unsigned char*>(c.bytes.data());
        const char* why = "";
        ASSERT_EQ(gavo::proxy_header_size(p, &why), c.bytes.size()) << why;
        gavo::ProxyHeader h;
        ASSERT_TRUE(gavo::parse_proxy_header(p, c.bytes.size(), &h, &why)) << why;
        EXPECT_EQ(h.local, c.local);
        EXPECT_EQ(h.v6, c.v6);
        EXPECT_EQ(h.source[0], c.first);
        EXPECT_EQ(h.source[c.v6 ? 15 : 3], c.last);
        EXPECT_EQ(h.source_port, c.port);
    }
}

TEST(ProxyHeaderTest, RefusesWhatNamesNoTcpClient) {
    std::string bad_signature = header(0x21, 0x11, kV4);
    bad_signature[4] = 'X';
    struct Case {
        std::string bytes;
        bool size_ok;  // the fixed part passes; the parse then refuses
        const char* why;
    } cases[] = {
        {bad_signature, false, "signature"},
        {"PROXY TCP4 10.0.0.7 127.0.0.1 8080 7100\r\n", false, "signature"},  // version 1
        {header(0x11, 0x11, kV4), false, "version"},
        {header(0x22, 0x11, kV4), false, "command"},
        {header(0x21, 0x11, kV4, gavo::kProxyMaxSize), false, "too long"},
        {header(0x21, 0x11, kV4.substr(0, 8)), true, "too short"},
        {header(0x21, 0x12, kV4), true, "not TCP"},  // UDP
        {header(0x21, 0x00, ""), true, "not TCP"},   // PROXY without an address
        {header(0x21, 0x31, std::string(216, 'u')), true, "not TCP"},
    };
    for (const Case& c : cases) {
        const auto* p = reinterpret_cast<const unsigned char*>(c.bytes.data());
        const char* why = "";
        const size_t size = gavo::proxy_header_size(p, &why);
        if (c.size_ok) {
            ASSERT_EQ(size, c.bytes.size());
            gavo::ProxyHeader h;
            EXPECT_FALSE(gavo::parse_proxy_header(p, size, &h, &why));
        } else {
            EXPECT_EQ(size, 0u);
        }
        EXPECT_NE(std::string(why).find(c.why), std::string::npos) << why;
    }
}

}  // namespace
