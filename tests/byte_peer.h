// A scripted TCP peer on loopback for byte-exact transport tests. It listens on
// 127.0.0.1 with an ephemeral port, accepts one connection and runs its script on its own
// thread: receive a number of bytes, answer with given bytes, wait for the test to open a
// gate, close or reset. It records every byte it receives and the size of each receive.
//
// Every wait of the peer gives up after ten seconds, so a faulty client makes a test fail
// instead of hanging it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace gavo::test {

class BytePeer {
public:
    BytePeer();  // listens at once; the script starts with start()
    ~BytePeer();
    BytePeer(const BytePeer&) = delete;
    BytePeer& operator=(const BytePeer&) = delete;

    uint16_t port() const { return port_; }
    std::string port_text() const { return std::to_string(port_); }

    // Script steps, run in the order given.
    BytePeer& expect(size_t n);                 // receive until n more bytes have arrived
    BytePeer& reply(const std::string& bytes);  // send these bytes
    BytePeer& wait_gate();  // wait for an open_gate() call not yet used by an earlier gate
    BytePeer& close();      // FIN, then receive until the client closes
    BytePeer& reset();      // abortive close (RST); ends the script

    // Accepts one connection and runs the script on the peer's thread.
    void start();
    void open_gate();
    // Waits for the end of the script. A script that did not close the connection first
    // receives until the client closes, so everything the client sent is recorded.
    void finish();

    // What the peer received, and the size of each receive that brought bytes.
    std::string received() const;
    std::vector<size_t> recv_sizes() const;

private:
    struct Step {
        enum Kind { Expect, Reply, Gate, Close, Reset } kind;
        size_t count = 0;
        std::string bytes;
    };
    void run();
    bool wait_readable(int fd);
    bool receive_some(int fd);
    bool run_step(int fd, const Step& step);

    int listen_fd_ = -1;
    uint16_t port_ = 0;
    std::vector<Step> script_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable gate_cv_;
    int gates_opened_ = 0;  // open_gate() calls so far
    int gates_passed_ = 0;  // gate steps passed so far
    bool stop_ = false;
    std::string received_;
    std::vector<size_t> recv_sizes_;
};

}  // namespace gavo::test
