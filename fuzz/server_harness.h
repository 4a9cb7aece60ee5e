// The file server in-process for the server fuzz targets: one Session at a time over a
// socket pair, served on the fuzzing thread itself (a hand-off to another thread costs a
// wake-up per request, which on a small virtual machine caps fuzzing at a few hundred
// inputs a second), on a root that every input finds in the same state, placed beside a
// canary folder that no request may reach.
//
// Layout of the work folder (one per process):
//   root/         served: a.txt, d/b.txt, d/sub/, a FIFO, links leading out to the canary
//   canary/       secret.txt and inner/x.txt, checked unchanged after every input
//   tables.conf   the tables: "events" (lines of at most 256 bytes), "fixed8" (8-byte
//                 records), any other valid name 4-byte records
//   state/        the SQLite database of the tables, kept for the whole process
//
// Usage per input: begin() gives the client's end of a socket pair whose buffers hold
// whole requests (megabytes for a packet pair), so that requests can be written before
// the session reads them and replies wait until the client reads them; the target then alternates writing
// requests, session().serve_next() and reading replies, closes its end, and calls end(),
// which closes every handle the session left open (as the server does when a host's
// grace period ends) and checks the invariants: canary unchanged, nothing new beside
// the root, every file released, descriptors and heap back where they were.
//
// Cost per input matters (the fuzzer should run thousands a second), so the harness
// watches the server's file calls through its seam: the root is laid out again only
// after an input that changed something in it. The canary and the work folder carry
// modification times set far in the past, so that any change at all gives them a new
// one: a few lstat calls check them after every input, and a full comparison of the
// canary's names and contents runs after every input that changed the root and after
// every 64th input.
#pragma once

#include <memory>
#include <string>

#include "fuzz/common.h"
#include "server/base/log.h"
#include "server/base/sys.h"
#include "server/files/files.h"
#include "server/files/handles.h"
#include "server/files/resolver.h"
#include "server/session.h"
#include "server/tables/table_service.h"

namespace gavo::fuzz {

class ServerHarness {
public:
    // The process's harness, made on first use.
    static ServerHarness& get();

    // Lays out a fresh root and starts a session on a socket pair of `type`
    // (SOCK_STREAM or SOCK_SEQPACKET); returns the client's end, which the caller closes.
    int begin(int type);
    server::Session& session() { return *session_; }
    // Serves requests until the connection ends.
    void serve_to_end();
    // Ends the session and checks the invariants; a broken one is a finding.
    void end(const char* target);

    // Bytes each end of the socket pair may hold (forced beyond the system's default
    // limit where the process may; otherwise as much as it allows).
    static constexpr int kSocketBuffer = 32 * 1024 * 1024;

private:
    // The server's file calls, passed on unchanged; notes any that may change the root.
    class WatchedSys : public server::Sys {
    public:
        bool changed = false;
        int openat2(int dir, const char* path, const struct open_how* how, size_t size) override;
        int openat(int dir, const char* path, int flags, mode_t mode) override;
        ssize_t write(int fd, const void* buf, size_t n) override;
        int ftruncate(int fd, off_t length) override;
        int mkdirat(int dir, const char* path, mode_t mode) override;
        int renameat2(int from_dir, const char* from, int to_dir, const char* to,
                      unsigned int flags) override;
        int unlinkat(int dir, const char* path, int flags) override;
    };

    ServerHarness();
    void lay_out_root();
    // Kind, size, node and times of the canary's entries and of the work folder.
    std::string stamps() const;

    std::string work_;    // the work folder, ends in '/'
    std::string root_;    // work_ + "root/"
    std::string canary_;  // work_ + "canary/"
    std::string canary_snapshot_;
    std::string stamps_;         // stamps() when the harness was made
    bool root_changed_ = false;  // the last input changed the root: lay it out again
    unsigned long inputs_ = 0;
    WatchedSys sys_;
    server::ServerConfig config_;
    server::Logger log_;
    server::RootDir root_dir_;
    server::HostAddr host_;
    server::TableService tables_;
    server::PendingBytes pending_{config_.max_pending_bytes, log_};
    std::unique_ptr<server::FileService> files_;
    server::HostLimits limits_{log_, 8, server::size_descriptor_limits(1024, 16, 0)};
    std::unique_ptr<server::HandleTable> handles_;
    std::unique_ptr<server::ServerContext> ctx_;
    std::unique_ptr<server::Session> session_;
    int session_fd_ = -1;
    // The slack also covers the growth of SQLite's page cache as the database grows.
    ResourceCheck check_{128 * 1024};
};

// Sends as much of `data` as the socket takes without waiting (all of it with the
// harness's buffers), in sends of at most `chunk` bytes; the count sent.
size_t send_chunks(int fd, const unsigned char* data, size_t n, size_t chunk);
// Reads and drops whatever has arrived on `fd`, without waiting.
void drain(int fd);

}  // namespace gavo::fuzz
