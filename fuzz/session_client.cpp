#include "fuzz/session_client.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "fuzz/common.h"

namespace gavo::fuzz {

namespace {

constexpr int kWaitMs = 20000;

}  // namespace

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

bool WireExchange::receive_some(int wait_ms) {
    char buf[65536];
    struct pollfd pfd = {fd_, POLLIN, 0};
    int r;
    do {
        r = ::poll(&pfd, 1, wait_ms);
    } while (r < 0 && errno == EINTR);
    if (r == 0 && wait_ms > 0) die("server gave no reply for %d ms", wait_ms);
    if (r <= 0) return true;
    const ssize_t got = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
    if (got > 0) inbox_.append(buf, static_cast<size_t>(got));
    return got > 0 || (got < 0 && (errno == EAGAIN || errno == EINTR));
}

bool WireExchange::send(const std::string& request) {
    size_t sent = 0;
    while (sent < request.size()) {
        struct pollfd pfd = {fd_, POLLOUT | POLLIN, 0};
        if (::poll(&pfd, 1, kWaitMs) == 0) die("server reads no request bytes");
        if ((pfd.revents & (POLLIN | POLLHUP)) && !receive_some(0)) return false;
        if (pfd.revents & POLLOUT) {
            const ssize_t w = ::send(fd_, request.data() + sent, request.size() - sent,
                                     MSG_DONTWAIT | MSG_NOSIGNAL);
            if (w < 0 && errno != EAGAIN && errno != EINTR) return false;
            if (w > 0) sent += static_cast<size_t>(w);
        }
    }
    return true;
}

bool WireExchange::need(size_t n) {
    while (inbox_.size() - at_ < n) {
        if (!receive_some(kWaitMs)) return false;
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

void WireExchange::finish() {
    ::shutdown(fd_, SHUT_WR);
    while (receive_some(kWaitMs)) {
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
