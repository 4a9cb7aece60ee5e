// The fixture of the transport tests: the fault platform with three extras (a hook after
// each receive, a cap on the bytes of one send, and service names of its own), and a
// connection to a scripted loopback peer.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "net/netconn.h"
#include "tests/byte_peer.h"
#include "tests/test_support.h"

namespace gavo::test {

class NetPlatform : public FaultPlatform {
public:
    using FaultPlatform::FaultPlatform;

    // Runs after every receive, with the receive's result.
    std::function<void(ssize_t)> after_recv;
    // At most this many bytes per send (0: no cap), as a platform with short sends does.
    size_t max_send = 0;
    // Sends move nothing and report 0, as no blocking socket should.
    bool zero_sends = false;
    // Service names known beside the system's, with their ports in host order.
    std::map<std::string, uint16_t> services;

    // The port (host order) of the last connect asked for, failed or not.
    uint16_t last_connect_port = 0;

    int connect(int fd, const struct sockaddr* addr, socklen_t len) override {
        last_connect_port = ntohs(reinterpret_cast<const sockaddr_in*>(addr)->sin_port);
        return FaultPlatform::connect(fd, addr, len);
    }
    ssize_t recv(int fd, void* buf, size_t n) override {
        ssize_t r = FaultPlatform::recv(fd, buf, n);
        if (after_recv) after_recv(r);
        return r;
    }
    ssize_t send(int fd, const void* buf, size_t n) override {
        if (zero_sends) return 0;
        return FaultPlatform::send(fd, buf, max_send != 0 && n > max_send ? max_send : n);
    }
    int lookup_service(const char* name, const char* proto, uint16_t* port_net) override {
        // The system's answer first, so that the call is counted and faults apply.
        if (FaultPlatform::lookup_service(name, proto, port_net) == 0) return 0;
        auto it = services.find(name);
        if (it == services.end()) return -1;
        *port_net = htons(it->second);
        return 0;
    }
};

class NetTest : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        delete platform_;
        net_ = new NetPlatform(dir_);
        platform_ = net_;
        set_platform(platform_);
    }

    // A connection to `peer` as the library opens its channels; the peer's script runs.
    NetConn* connect(BytePeer& peer) {
        peer.start();
        return net_open_client("127.0.0.1", peer.port_text().c_str(), "tcp", 0, 0);
    }
    // The trace log with every "[YYYY-MM-DD HH:MM:SS]" time stamp taken out.
    std::string trace_text() const {
        static const std::string shape = "[dddd-dd-dd dd:dd:dd]";
        std::string text = trace_log(), out;
        for (size_t i = 0; i < text.size();) {
            if (is_stamp(text, i, shape)) {
                i += shape.size();
            } else {
                out += text[i++];
            }
        }
        return out;
    }
    static bool is_stamp(const std::string& text, size_t at, const std::string& shape) {
        if (text.size() - at < shape.size()) return false;
        for (size_t k = 0; k < shape.size(); ++k) {
            char c = text[at + k];
            if (shape[k] == 'd' ? (c < '0' || c > '9') : c != shape[k]) return false;
        }
        return true;
    }
    int sends() const { return platform_->calls(Call::Send); }
    int recvs() const { return platform_->calls(Call::Recv); }

    NetPlatform* net_ = nullptr;
};

// The bytes given as a list of values, for byte-exact comparisons.
inline std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s.push_back(static_cast<char>(v));
    return s;
}

}  // namespace gavo::test
