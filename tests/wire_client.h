// A small blocking client that speaks the file server's wire protocol byte by byte, for
// the server tests. Every receive gives up after 20 seconds, so a server that fails to
// answer fails the test instead of hanging it. A subclass may carry the bytes another way
// (over TLS) by replacing send_some() and recv_some().
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace gavo::test {

// The 2 big-endian bytes of `v`'s low 16 bits.
inline std::string be16(int v) {
    return std::string{static_cast<char>((v >> 8) & 0xFF), static_cast<char>(v & 0xFF)};
}
// The 4 big-endian bytes of `v`.
inline std::string be32(int32_t v) {
    const uint32_t u = static_cast<uint32_t>(v);
    return std::string{static_cast<char>(u >> 24), static_cast<char>(u >> 16),
                       static_cast<char>(u >> 8), static_cast<char>(u)};
}
// A name field: its length with the terminating zero, the bytes, the zero.
inline std::string name_field(const std::string& name) {
    return be16(static_cast<int>(name.size() + 1)) + name + std::string(1, '\0');
}

constexpr int kNoReply = -100000;  // what the helpers return when no reply arrived

class WireClient {
public:
    WireClient() = default;
    virtual ~WireClient() { close(); }
    WireClient(const WireClient&) = delete;
    WireClient& operator=(const WireClient&) = delete;

    // Connects to 127.0.0.1:`port`, from `local_ip` (another loopback address stands
    // for another client host) when given.
    bool connect(int port, const char* local_ip = nullptr) {
        close();
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) return false;
        struct timeval tv = {20, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        struct sockaddr_in a;
        memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        if (local_ip != nullptr) {
            inet_pton(AF_INET, local_ip, &a.sin_addr);
            if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
        }
        inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        a.sin_port = htons(static_cast<uint16_t>(port));
        return ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int fd() const { return fd_; }

    bool send_raw(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = send_some(bytes.data() + done, bytes.size() - done);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    bool recv_exact(void* buf, size_t n) {
        char* p = static_cast<char*>(buf);
        while (n > 0) {
            const ssize_t got = recv_some(p, n);
            if (got <= 0) return false;
            p += got;
            n -= static_cast<size_t>(got);
        }
        return true;
    }
    // The next n reply bytes, or fewer when the connection ended.
    std::string recv_bytes(size_t n) {
        std::string out(n, '\0');
        size_t done = 0;
        while (done < n) {
            const ssize_t got = recv_some(&out[done], n - done);
            if (got <= 0) break;
            done += static_cast<size_t>(got);
        }
        out.resize(done);
        return out;
    }
    // A 16-bit reply taken as signed, or kNoReply.
    int recv16() {
        unsigned char b[2];
        if (!recv_exact(b, 2)) return kNoReply;
        return static_cast<int16_t>((b[0] << 8) | b[1]);
    }
    // A 32-bit reply, or kNoReply.
    int64_t recv32() {
        unsigned char b[4];
        if (!recv_exact(b, 4)) return kNoReply;
        return static_cast<int32_t>((uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) |
                                    (uint32_t{b[2]} << 8) | b[3]);
    }
    // True when the server closes the connection (end of stream) within 20 seconds.
    bool closed_by_peer() {
        char c;
        for (;;) {
            const ssize_t n = recv_some(&c, 1);
            if (n == 0) return true;
            if (n < 0) return errno == ECONNRESET;
        }
    }

    // The requests, each sending its bytes and decoding the reply.
    int open(int flags, const std::string& name) {
        return send_raw(be16(1) + be16(flags) + name_field(name)) ? recv16() : kNoReply;
    }
    int open_ex(int flags, const std::string& name, int64_t* length) {
        if (!send_raw(be16(5) + be16(flags) + name_field(name))) return kNoReply;
        const int h = recv16();
        if (h >= 0) *length = recv32();
        return h;
    }
    int close_handle(int handle) { return send_raw(be16(2) + be16(handle)) ? recv16() : kNoReply; }
    int64_t read(int handle, int32_t count, std::string* data) {
        if (!send_raw(be16(3) + be16(handle) + be32(count))) return kNoReply;
        const int64_t n = recv32();
        if (n > 0) *data = recv_bytes(static_cast<size_t>(n));
        return n;
    }
    int64_t write(int handle, const std::string& data) {
        if (!send_raw(be16(4) + be16(handle) + be32(static_cast<int32_t>(data.size())) + data)) {
            return kNoReply;
        }
        return recv32();
    }
    int64_t rename(const std::string& from, const std::string& to) {
        return send_raw(be16(6) + name_field(from) + name_field(to)) ? recv32() : kNoReply;
    }
    int64_t remove(const std::string& name) {
        return send_raw(be16(7) + name_field(name)) ? recv32() : kNoReply;
    }
    int64_t exists(const std::string& name) {
        return send_raw(be16(8) + name_field(name)) ? recv32() : kNoReply;
    }
    // The listing extension. list() appends a page's entries to `out` as "name:kind:size"
    // and returns the entry count (or a code); `more` tells whether pages follow.
    int64_t list(const std::string& folder, const std::string& after, std::vector<std::string>* out,
                 bool* more) {
        if (!send_raw(be16(0x0101) + name_field(folder) + name_field(after))) return kNoReply;
        const int64_t n = recv32();
        if (n < 0) return n;
        *more = recv16() == 1;
        for (int64_t i = 0; i < n; ++i) {
            const std::string fixed = recv_bytes(18);
            const int length = recv16();
            if (fixed.size() != 18 || length <= 0) return kNoReply;
            std::string entry = recv_bytes(static_cast<size_t>(length));
            entry.pop_back();  // its zero
            const auto byte = [&](size_t at) { return static_cast<unsigned char>(fixed[at]); };
            out->push_back(entry + ":" + std::to_string(byte(1)) + ":" +
                           std::to_string(byte(8) << 8 | byte(9)));
        }
        return n;
    }
    // 0 with `kind` set, or a code.
    int64_t stat(const std::string& name, int* kind) {
        if (!send_raw(be16(0x0102) + name_field(name))) return kNoReply;
        const int64_t code = recv32();
        const std::string entry = code == 0 ? recv_bytes(18) : "";
        if (code == 0) *kind = entry.size() == 18 ? static_cast<unsigned char>(entry[1]) : -1;
        return code;
    }
    int64_t rmdir(const std::string& name) {
        return send_raw(be16(0x0103) + name_field(name)) ? recv32() : kNoReply;
    }
    // The log channel's requests; a record write carries no count.
    int table_open(const std::string& name) {
        return send_raw(be16(16) + name_field(name)) ? recv16() : kNoReply;
    }
    int table_close(int handle) { return send_raw(be16(17) + be16(handle)) ? recv16() : kNoReply; }
    int64_t table_write(int handle, const std::string& record) {
        return send_raw(be16(19) + be16(handle) + record) ? recv32() : kNoReply;
    }

protected:
    // One send or receive as send(2) and recv(2) do it: a count, 0 at the end, -1.
    virtual ssize_t send_some(const char* p, size_t n) { return ::send(fd_, p, n, MSG_NOSIGNAL); }
    virtual ssize_t recv_some(char* p, size_t n) { return ::recv(fd_, p, n, 0); }

private:
    int fd_ = -1;
};

}  // namespace gavo::test
