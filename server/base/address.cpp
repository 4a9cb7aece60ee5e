#include "server/base/address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace gavo::server {

namespace {

constexpr uint8_t kV4Prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

void set_v4(const void* four, HostAddr* out) {
    memcpy(out->bytes.data(), kV4Prefix, 12);
    memcpy(out->bytes.data() + 12, four, 4);
}

}  // namespace

bool HostAddr::is_v4() const { return memcmp(bytes.data(), kV4Prefix, 12) == 0; }

// An IPv4 address's handle-table key is made on every request; glibc's inet_ntop goes
// through sprintf for it, this writes the four numbers itself (at most 15 characters,
// which std::string keeps without an allocation).
std::string HostAddr::to_string() const {
    if (is_v4()) {
        std::string text;
        for (size_t i = 12; i < 16; ++i) {
            if (i > 12) text += '.';
            const unsigned n = bytes[i];
            if (n >= 100) text += static_cast<char>('0' + n / 100);
            if (n >= 10) text += static_cast<char>('0' + n / 10 % 10);
            text += static_cast<char>('0' + n % 10);
        }
        return text;
    }
    char text[INET6_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET6, bytes.data(), text, sizeof text);
    return text;
}

bool host_from_sockaddr(const struct sockaddr* sa, HostAddr* out) {
    if (sa->sa_family == AF_INET) {
        set_v4(&reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, out);
        return true;
    }
    if (sa->sa_family == AF_INET6) {
        memcpy(out->bytes.data(), &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, 16);
        return true;
    }
    return false;
}

bool parse_host_addr(const std::string& text, HostAddr* out) {
    unsigned char buf[16];
    if (inet_pton(AF_INET, text.c_str(), buf) == 1) {
        set_v4(buf, out);
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), buf) == 1) {
        memcpy(out->bytes.data(), buf, 16);
        return true;
    }
    return false;
}

bool Cidr::contains(const HostAddr& host) const {
    int bits = prefix_bits;
    for (size_t i = 0; i < 16 && bits > 0; ++i, bits -= 8) {
        const int mask = bits >= 8 ? 0xFF : (0xFF << (8 - bits)) & 0xFF;
        if ((host.bytes[i] & mask) != (base.bytes[i] & mask)) return false;
    }
    return true;
}

bool parse_cidr(const std::string& text, Cidr* out) {
    const size_t slash = text.find('/');
    HostAddr base;
    if (!parse_host_addr(text.substr(0, slash), &base)) return false;
    const int width = base.is_v4() ? 32 : 128;
    int bits = width;
    if (slash != std::string::npos) {
        const std::string digits = text.substr(slash + 1);
        if (digits.empty() || digits.size() > 3 ||
            digits.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        bits = atoi(digits.c_str());
        if (bits > width) return false;
    }
    out->base = base;
    out->prefix_bits = bits + (128 - width);
    return true;
}

int bind_tcp(const std::string& host, int port, std::string* error, int* err) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    struct addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0) {
        *error = "cannot resolve " + host + ": " + gai_strerror(rc);
        *err = 0;
        return -1;
    }
    int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd < 0 || bind(fd, found->ai_addr, found->ai_addrlen) != 0) {
        *err = errno;
        *error = "cannot listen on " + host + ":" + service + ": " + strerror(errno);
        if (fd >= 0) close(fd);
        fd = -1;
    }
    freeaddrinfo(found);
    return fd;
}

}  // namespace gavo::server
