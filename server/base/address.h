// Client addresses: a host is identified by its IP address alone (IPv4 addresses, also
// when they arrive IPv4-mapped on an IPv6 socket, are kept in their IPv4 form), and the
// allow-list holds CIDR blocks of either family.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <string>

namespace gavo::server {

// An IPv4 or IPv6 address as 16 bytes (IPv4 as ::ffff:a.b.c.d internally).
struct HostAddr {
    std::array<uint8_t, 16> bytes{};

    bool is_v4() const;
    // "127.0.0.1" or "::1".
    std::string to_string() const;
    bool operator<(const HostAddr& o) const { return bytes < o.bytes; }
    bool operator==(const HostAddr& o) const { return bytes == o.bytes; }
};

// The host of a socket address (AF_INET or AF_INET6); false for other families.
bool host_from_sockaddr(const struct sockaddr* sa, HostAddr* out);
// Parses "a.b.c.d" or an IPv6 literal; false when it is neither.
bool parse_host_addr(const std::string& text, HostAddr* out);

// One allow-list entry: "10.0.0.0/8", "::1/128", or a bare address (a single host).
struct Cidr {
    HostAddr base;
    int prefix_bits = 0;  // over the 16-byte form: an IPv4 /8 is stored as /104

    bool contains(const HostAddr& host) const;
};

// Parses a CIDR text; false with nothing changed when it is malformed.
bool parse_cidr(const std::string& text, Cidr* out);

// A TCP socket (close-on-exec, SO_REUSEADDR) bound to `host`:`port` and not yet
// listening; -1 with `error` ("cannot listen on HOST:PORT: why") and `err` (the errno,
// 0 for a name that does not resolve) on failure.
int bind_tcp(const std::string& host, int port, std::string* error, int* err);

}  // namespace gavo::server
