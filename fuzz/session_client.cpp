#include "fuzz/session_client.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>

#include "fuzz/common.h"

namespace gavo::fuzz {

uint8_t Decoder::byte() {
    if (left_ == 0) return 0;
    --left_;
    return *p_++;
}

int Decoder::u16() { return (byte() << 8) | byte(); }

int32_t Decoder::s32() {
    const uint32_t hi = static_cast<uint32_t>(u16());
    return static_cast<int32_t>((hi << 16) | static_cast<uint32_t>(u16()));
}

std::string Decoder::bytes(size_t n) {
    if (n > left_) n = left_;
    std::string out(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    left_ -= n;
    return out;
}

void WireExchange::send(const char* bytes, size_t n, const char* body, size_t body_n) {
    iovec parts[2] = {{const_cast<char*>(bytes), n}, {const_cast<char*>(body), body_n}};
    msghdr msg{};
    msg.msg_iov = parts;
    msg.msg_iovlen = body_n > 0 ? 2 : 1;
    ssize_t w;
    do {
        w = ::sendmsg(fd_, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (w < 0 && errno == EINTR);
    if (w != static_cast<ssize_t>(n + body_n)) {
        die("request of %zu bytes does not fit the socket buffers", n + body_n);
    }
}

bool WireExchange::need(size_t n) {
    char buf[64 * 1024];
    while (inbox_.size() - at_ < n) {
        const ssize_t got = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        inbox_.append(buf, static_cast<size_t>(got));
    }
    return true;
}

int WireExchange::take16() {
    const auto* p = reinterpret_cast<const unsigned char*>(inbox_.data() + at_);
    at_ += 2;
    return (p[0] << 8) | p[1];
}

int32_t WireExchange::take32() {
    const auto* p = reinterpret_cast<const unsigned char*>(inbox_.data() + at_);
    at_ += 4;
    return static_cast<int32_t>((uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) |
                                (uint32_t{p[2]} << 8) | uint32_t{p[3]});
}

void WireExchange::drop(size_t n) {
    at_ += n;
    if (at_ == inbox_.size()) {
        inbox_.clear();
        at_ = 0;
    }
}

std::string be16(int value) {
    return std::string{static_cast<char>((value >> 8) & 0xFF), static_cast<char>(value & 0xFF)};
}

std::string be32(int32_t value) {
    const auto u = static_cast<uint32_t>(value);
    return std::string{static_cast<char>(u >> 24), static_cast<char>(u >> 16),
                       static_cast<char>(u >> 8), static_cast<char>(u)};
}

std::string name_field(const std::string& name) {
    return be16(static_cast<int>(name.size() + 1)) + name + std::string(1, '\0');
}

}  // namespace gavo::fuzz
