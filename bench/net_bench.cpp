// Throughput and latency of the stream primitives over a socketpair, with a peer thread
// at the other end that drains, streams or answers. For comparing changes, not for tests.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

#include "net/netconn.h"

namespace {

// A connection over one end of a socketpair, shaped as net_open_client leaves it, with a
// peer thread running `peer` on the other end until the connection closes.
class Pair {
public:
    explicit Pair(std::function<void(int)> peer) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) std::abort();
        conn_ = static_cast<NetConn*>(std::calloc(1, sizeof(NetConn)));
        conn_->sockfd = fds[0];
        conn_->bufbase = static_cast<unsigned char*>(std::malloc(kNetBufferSize));
        conn_->bufptr = conn_->bufbase;
        conn_->bufsize = kNetBufferSize;
        peer_fd_ = fds[1];
        thread_ = std::thread([peer, fd = fds[1]] { peer(fd); });
    }
    ~Pair() {
        net_close(conn_);
        thread_.join();
        close(peer_fd_);
    }
    NetConn* conn() { return conn_; }

private:
    NetConn* conn_;
    int peer_fd_;
    std::thread thread_;
};

void drain(int fd) {
    std::vector<char> buf(1 << 16);
    while (recv(fd, buf.data(), buf.size(), 0) > 0) {
    }
}

void stream(int fd) {
    std::vector<char> buf(1 << 16, 'x');
    while (send(fd, buf.data(), buf.size(), MSG_NOSIGNAL) > 0) {
    }
}

// Answers every 12-byte request with a 2-byte reply.
void answer(int fd) {
    char req[12];
    const char reply[2] = {0, 1};
    for (;;) {
        size_t got = 0;
        while (got < sizeof req) {
            ssize_t r = recv(fd, req + got, sizeof req - got, 0);
            if (r <= 0) return;
            got += static_cast<size_t>(r);
        }
        if (send(fd, reply, sizeof reply, MSG_NOSIGNAL) != sizeof reply) return;
    }
}

// One request of three integers and its 16-bit reply: a round trip.
void BM_RequestReply(benchmark::State& state) {
    Pair pair(answer);
    for (auto _ : state) {
        net_putlong(1, pair.conn());
        net_putshort(2, pair.conn());
        net_putlong(3, pair.conn());
        net_putshort(4, pair.conn());
        benchmark::DoNotOptimize(net_getshort(pair.conn()));
    }
}
BENCHMARK(BM_RequestReply);

void BM_Write(benchmark::State& state) {
    Pair pair(drain);
    std::vector<char> data(static_cast<size_t>(state.range(0)), 'd');
    for (auto _ : state) net_write(data.data(), 1, static_cast<int>(data.size()), pair.conn());
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Write)->Arg(16)->Arg(4096)->Arg(65536);

void BM_Read(benchmark::State& state) {
    Pair pair(stream);
    std::vector<char> data(static_cast<size_t>(state.range(0)));
    for (auto _ : state) net_read(data.data(), 1, static_cast<int>(data.size()), pair.conn());
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Read)->Arg(16)->Arg(4096)->Arg(65536);

void BM_PutLong(benchmark::State& state) {
    Pair pair(drain);
    for (auto _ : state) net_putlong(0x01020304, pair.conn());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PutLong);

void BM_GetLong(benchmark::State& state) {
    Pair pair(stream);
    for (auto _ : state) benchmark::DoNotOptimize(net_getlong(pair.conn()));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetLong);

}  // namespace

BENCHMARK_MAIN();
