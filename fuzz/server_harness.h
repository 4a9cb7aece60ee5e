// The file server in-process for the server fuzz targets: one Session at a time over a
// socket pair, served on a worker thread, on a root laid out afresh for every input and
// placed beside a canary folder that no request may reach.
//
// Layout of the work folder (one per process):
//   root/    served: a.txt, d/b.txt, d/sub/, a FIFO, links leading out to the canary
//   canary/  secret.txt and inner/x.txt, checked unchanged after every input
//
// Usage per input: begin() gives the peer's end of the socket pair; the target talks to
// the server through it, closes it, and calls end(), which waits for the session to
// finish, closes every handle the session left open (as the server does when a host's
// grace period ends), and checks the invariants: canary unchanged, nothing new beside
// the root, every file released, descriptors and heap back where they were.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "fuzz/common.h"
#include "server/files.h"
#include "server/handles.h"
#include "server/log.h"
#include "server/resolver.h"
#include "server/session.h"

namespace gavo::fuzz {

class ServerHarness {
public:
    // The process's harness, made on first use.
    static ServerHarness& get();

    // Lays out a fresh root and starts a session on a socket pair of `type`
    // (SOCK_STREAM or SOCK_SEQPACKET); returns the peer's end, which the caller closes.
    int begin(int type);
    // Waits for the session's end and checks the invariants; a broken one is a finding.
    void end(const char* target);

    // A stall time-out short enough that a server waiting for bytes that never come is
    // noticed, long enough never to fire on a busy machine.
    static constexpr int kStallMs = 5000;

private:
    ServerHarness();
    void lay_out_root();
    void worker_loop();

    std::string work_;    // the work folder, ends in '/'
    std::string root_;    // work_ + "root/"
    std::string canary_;  // work_ + "canary/"
    std::string canary_snapshot_;
    std::string work_listing_;
    server::ServerConfig config_;
    server::Logger log_;
    server::RootDir root_dir_;
    server::HostAddr host_;
    std::unique_ptr<server::FileService> files_;
    std::unique_ptr<server::HandleTable> handles_;
    ResourceCheck check_{64 * 1024};

    std::mutex mutex_;  // guards the three fields below
    std::condition_variable changed_;
    int job_fd_ = -1;   // the session's end, while a session is wanted or running
    bool busy_ = false;
    std::thread worker_;
};

// Sends `n` bytes on `fd` in writes of at most `chunk` bytes, while reading (and
// dropping, or appending to `inbox` when given) whatever the server answers; then shuts
// the sending side down and reads until the server closes. A server that neither reads
// nor answers for 20 seconds is a finding (a hang).
void pump_all(int fd, const unsigned char* data, size_t n, size_t chunk,
              std::string* inbox = nullptr);

}  // namespace gavo::fuzz
