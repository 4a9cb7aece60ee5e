// The servers the harness measures against: gavo-server itself, raw TCP peers that do
// nothing but move the same bytes (the physical floor), floor peers that speak the same
// protocol with the same file calls and nothing else (the floor of the protocol), and
// nginx as an HTTP peer. Each runs in its own process, started and stopped by the harness.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace bench {

// The nice value that every server and peer started after this call runs at (0 by
// default). Below 0 the serving process wins the cores from the clients that share them,
// as on a machine of its own: a server with a thread per connection otherwise gets a
// larger share of a crowded machine than one with a few event loops.
void set_serving_nice(int nice);

// With `pin`, the harness and the clients it forks after this call run on the first half
// of the cores and every server and peer on the other half, as if each had a machine of
// its own (on loopback the kernel otherwise often queues a woken process behind its
// waker on one core while the other core idles). False, with nothing changed, where there
// are fewer than two cores or the affinity cannot be set.
bool set_pinned(bool pin);

// One message exchange of a raw ping-pong cycle: the peer receives `request` bytes and
// answers `reply` bytes.
struct Exchange {
    size_t request;
    size_t reply;
};

// A raw TCP peer on loopback, one thread per connection (like gavo-server), with
// TCP_NODELAY on its sockets (like gavo-server). Mode kPingPong plays `script` in a
// loop on each connection. Mode kBulk serves one request per connection: 'W' + 8-byte
// size: receives that many bytes in 4 KiB receives and answers 4 bytes; 'R' + size:
// sends that many bytes in 4 KiB sends.
class RawPeer {
public:
    enum Mode { kPingPong, kBulk };
    RawPeer(Mode mode, std::vector<Exchange> script = {});
    ~RawPeer();
    int port() const { return port_; }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

// The least a server can do for the small-file cycle on the same wire: it answers open,
// write, close and exists requests on 127.0.0.1 with the file calls they need (openat
// beneath a folder descriptor of `root`, O_CREAT|O_EXCL first, then O_TRUNC on an
// existing file; write; close; fstatat) and nothing else: no checks, no logging,
// a handle table of a few slots per connection. Requests are decoded by the server's own
// decoder and answered with its reply encoder. Missing folders of a new file are made
// (once per folder). Any other request, or a malformed one, closes the connection.
// kThreads: a thread per connection, blocking receives and sends. kEpoll: one epoll loop
// per core, each with its own SO_REUSEPORT listener, non-blocking sockets, each request
// served to completion in its loop. The library connects to it as to gavo-server.
// kBare opens with openat alone. kSharing adds the calls gavo-server must make for an
// open under the sharing rules between processes: openat2 resolving beneath the root, the
// fstat whose device and inode key the sharing table, the byte-range marks set and tested
// (proto/share_locks.h), and an existing file cut only once admitted. A new file's write
// needs no look for the take-back in either (gavo-server takes none for it either).
class FloorPeer {
public:
    enum Model { kThreads, kEpoll };
    enum Calls { kBare, kSharing };
    FloorPeer(Model model, const std::string& root, Calls calls = kBare);
    ~FloorPeer();
    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    bool ok() const { return pid_ > 0 && port_ > 0; }

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

// gavo-server on 127.0.0.1 with a free port, a root folder and extra options.
class GavoServer {
public:
    GavoServer(const std::string& binary, const std::string& root, const std::string& log,
               const std::vector<std::string>& extra);
    ~GavoServer();  // SIGTERM, then waits (the server closes and syncs its files)
    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    bool ok() const { return port_ > 0; }

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

// nginx serving `root` on a free loopback port, with WebDAV PUT for uploads, run as the
// current user with everything (config, temp files, logs, pid) under `prefix`.
class Nginx {
public:
    Nginx(const std::string& binary, const std::string& prefix, const std::string& root);
    ~Nginx();
    int port() const { return port_; }
    bool ok() const { return port_ > 0; }
    const std::string& error() const { return error_; }

private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string error_;
};

}  // namespace bench
