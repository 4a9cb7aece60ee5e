// A TCP proxy on loopback that stands between the library and a server and injects
// faults into the byte streams of the connections it carries: after a chosen number of
// bytes in one direction it cuts the connection (FIN), resets it (RST), stalls that
// direction (nothing more is forwarded, the connection stays open) or drops that
// direction (bytes are read and thrown away, the connection stays open).
//
// Connections are numbered in the order the proxy accepts them, from 0 (for the library:
// 0 the archive channel and 1 the log channel of the start-up, 2 and 3 those of the
// first reconnection, ...). A stall or a drop lasts until the test resets the
// connection or either end closes it. The proxy uses the sockets directly, never the
// library's platform seam. Thread-safe.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace gavo::test {

class FaultProxy {
public:
    enum class Dir { ToServer = 0, ToClient = 1 };
    enum class Fault { Close, Reset, Stall, Drop };

    // Listens on a free loopback port and forwards each connection to 127.0.0.1:`port`.
    explicit FaultProxy(int server_port);
    ~FaultProxy();
    FaultProxy(const FaultProxy&) = delete;
    FaultProxy& operator=(const FaultProxy&) = delete;

    int port() const { return port_; }

    // Arms `fault` on connection `conn` (accepted or still to come) in direction `dir`:
    // it strikes once `after` more bytes have passed in that direction (counted from the
    // connection's start when it is not accepted yet). Replaces an earlier rule.
    void arm(int conn, Dir dir, size_t after, Fault fault);
    // Resets every open connection; ends stalls and drops.
    void reset_all();
    // Closes every open connection in order (FIN); ends stalls and drops.
    void close_all();

    // Bytes forwarded so far on `conn` in `dir`.
    size_t forwarded(int conn, Dir dir);
    // Waits (up to 30 s, a safety limit) until `conn` has forwarded `count` bytes in `dir`
    // or has ended; true when the count was reached.
    bool wait_forwarded(int conn, Dir dir, size_t count);
    // Waits (up to 30 s) until the proxy holds no open connection; true when it does not.
    bool wait_idle();
    // Connections accepted so far.
    int accepted();
    // Waits (up to 30 s) until `count` connections have been accepted; true when they were.
    bool wait_accepted(int count);

private:
    struct Rule {
        bool armed = false;
        size_t left = 0;
        Fault fault = Fault::Close;
    };
    struct Side {
        std::string pending;  // read from the source, waiting for the destination
        size_t passed = 0;
        Rule rule;
        bool stalled = false;
        bool dropping = false;
        bool eof = false;   // the source closed; shut the destination once flushed
        bool shut = false;  // the destination was shut for writing
    };
    struct Pair {
        int fd[2] = {-1, -1};  // client side, server side
        Side side[2];          // indexed by Dir
        bool ending = false;   // close (or reset) once every pending byte is out
        bool reset = false;
    };

    void run();
    void wake();
    void end_all(bool reset);
    void accept_one();
    void pump(Pair& p, int d, short src_events, short dst_events);
    void take(Pair& p, int d, const char* data, size_t n);
    void strike(Pair& p, int d);
    void end_pair(Pair& p, bool reset);
    bool open(const Pair& p) const { return p.fd[0] >= 0; }

    int server_port_;
    int listen_fd_ = -1;
    int port_ = 0;
    int wake_[2] = {-1, -1};
    bool stopping_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<int, Pair> pairs_;
    std::map<int, std::array<Rule, 2>> rules_;  // rules of connections not accepted yet
    int accepted_ = 0;
    std::thread thread_;
};

}  // namespace gavo::test
