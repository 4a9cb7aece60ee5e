// A scripted file-server peer on loopback for the working-mode-2 tests.
//
// It listens on 127.0.0.1 at a free port, accepts connections in order (channel 0 is
// the first, the archive channel of a start-up; channel 1 the second, the log channel),
// records every byte that arrives on each, and answers with bytes the test gave in
// advance: a scripted reply goes out once its channel has received the request bytes
// that precede it; bytes beyond the scripted requests close the channel. A responder
// function may answer instead, for tests whose request order is not known in advance. The peer uses the sockets directly, never the
// library's platform seam, so fault injection in the library does not touch it.
// With use_tls it speaks TLS: each accepted connection first runs the server side of the
// handshake, and the scripts see the bytes inside.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/tls_certs.h"

struct ssl_st;
struct ssl_ctx_st;

namespace gavo::test {

class FakeServer {
public:
    // Given the bytes received on a channel and not yet answered, returns how many of
    // them form the next complete request (0: not complete yet) and puts its reply in
    // `reply`; returning SIZE_MAX closes the channel (a request it cannot understand).
    using Responder = std::function<size_t(const std::string& pending, std::string* reply)>;

    FakeServer();
    ~FakeServer();
    FakeServer(const FakeServer&) = delete;
    FakeServer& operator=(const FakeServer&) = delete;

    int port() const { return port_; }
    std::string port_text() const { return std::to_string(port_); }

    // Sends `reply` on `channel` once it has received `request_size` more bytes than
    // the previous scripted step of that channel asked for.
    void reply(int channel, size_t request_size, const std::string& reply);
    // Closes `channel` once it has received `request_size` more bytes.
    void close_after(int channel, size_t request_size);
    // Answers every request of `channel` through `responder`.
    void respond(int channel, Responder responder);

    // Waits until `channel` has received at least `count` bytes in all, or has closed;
    // gives everything received so far.
    std::string received(int channel, size_t count);
    // Everything received on `channel` so far, without waiting.
    std::string received_now(int channel);
    // Waits until `count` connections have been accepted; the number accepted.
    int wait_accepted(int count);
    // From now on every accepted connection is a TLS server with `files`, requiring a
    // client certificate from `client_ca` when given; one whose handshake fails is closed
    // (it still counts as accepted). Call before the client connects.
    void use_tls(const TlsFiles& files, const std::string& client_ca = "");

private:
    struct Step {
        size_t at_total;  // send once this many bytes have arrived in all
        std::string bytes;
        bool close;
    };
    struct Channel {
        int fd = -1;
        ssl_st* ssl = nullptr;  // the TLS session of a TLS connection, owned
        bool closed = false;
        std::string received;
        size_t answered = 0;  // bytes of `received` already handed to the responder
        size_t scripted = 0;  // total request bytes of the scripted steps so far
        std::deque<Step> steps;
        Responder responder;
    };

    Channel& channel(int index);  // creates it when needed; mutex_ held
    void run();
    void accept_one();
    void serve(int index);
    void answer(Channel& ch);
    void shut(Channel& ch);

    int listen_fd_ = -1;
    int wake_[2] = {-1, -1};
    int port_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Channel> channels_;
    int accepted_ = 0;
    ssl_ctx_st* tls_ = nullptr;  // set before clients connect, then only read
    std::thread thread_;
};

// A loopback port where nothing accepts connections: connects to it are refused.
// Holds the port (bound, not listening) for its lifetime so no other test takes it.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    std::string port_text() const { return std::to_string(port_); }

private:
    int fd_ = -1;
    int port_ = 0;
};

// Big-endian encodings, for scripting replies and checking requests.
std::string be16(int value);
std::string be32(int value);
// A string field: its 16-bit length counting the zero, then the bytes and the zero.
std::string wire_string(const std::string& text);

}  // namespace gavo::test
