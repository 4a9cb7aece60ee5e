// The client side of every measurement. Each function runs in a forked child (see
// util.h) and returns what it timed; a failed operation makes the result invalid
// (ok == false) rather than a misleading figure.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bench/peers.h"

namespace bench {

struct Timing {
    bool ok = false;
    double ops = 0;      // cycles, records or bytes moved
    double seconds = 0;  // wall time they took
    std::vector<double> pack() const { return {ok ? 1.0 : 0.0, ops, seconds}; }
    static Timing unpack(const std::vector<double>& v);
    double rate() const { return ok && seconds > 0 ? ops / seconds : 0; }
};

constexpr size_t kSmallData = 1024;        // the small file's contents
constexpr size_t kBulkCall = 1024 * 1024;  // bytes per library / POSIX call

// The name of the small file number `i` of client `client`: fixed width, so that every
// open request has the same size.
std::string small_name(int client, long i);
// The three exchanges of one small-file cycle on the wire (open, write 1 KiB, close),
// for the raw ping-pong peer that mirrors them.
std::vector<Exchange> small_cycle_script();

// The library: `ini` is the gavo.ini to start it with (in this process).
bool library_start(const std::string& ini);
void library_stop();
// Working mode 2 or 1 settings (BASE_DIR for mode 1).
std::string ini_text_remote(int port);
std::string ini_text_local(const std::string& base_dir);

// Small-file cycles (open with create, write 1 KiB, close) for `seconds`.
Timing library_small_cycles(int client, double seconds);
// The same bytes against the raw ping-pong peer, on a new connection or on `fd`.
Timing raw_small_cycles(int port, double seconds);
Timing raw_small_cycles_on(int fd, double seconds);
// The same files under `dir` (dir/small/cNNN/fNNNNNNN) with open/write/close.
Timing posix_small_cycles(const std::string& dir, int client, double seconds);
// As above, made durable the way gavo-server does before it answers a close: fsync of
// the file and of its (new) file's folder.
Timing posix_durable_small_cycles(const std::string& dir, int client, double seconds);

// Bulk: `bytes` written in 1 MiB calls to a new file (open, writes, close timed), or
// read back the same way. Bytes moved per second via Timing::rate.
Timing library_bulk_write(const std::string& name, uint64_t bytes);
Timing library_bulk_read(const std::string& name, uint64_t bytes);
// `durable`: fsync before the close, as gavo-server does when it closes a written file.
Timing posix_bulk_write(const std::string& path, uint64_t bytes, bool durable = false);
Timing posix_bulk_read(const std::string& path, uint64_t bytes);
// Raw TCP against RawPeer::kBulk, 4 KiB sends / receives.
Timing raw_bulk_write(int port, uint64_t bytes);
Timing raw_bulk_read(int port, uint64_t bytes);
// HTTP with libcurl: PUT (WebDAV) and GET of `url`.
Timing http_put(const std::string& url, uint64_t bytes);
Timing http_get(const std::string& url, uint64_t bytes);

// Table records of `record_size` bytes through the library (flags 0x100), each
// acknowledged before the next, for `seconds`.
Timing library_table_writes(const std::string& table, size_t record_size, double seconds);
// The same records inserted straight into an SQLite database laid out like the
// server's (WAL; synchronous=FULL with `sync`, else NORMAL), `rows_per_commit` records
// per transaction; ops counts records.
Timing sqlite_direct_writes(const std::string& db, size_t record_size, double seconds,
                            size_t rows_per_commit = 1, bool sync = true);
// Creates that database (once, before the writers start).
bool sqlite_prepare(const std::string& db);

}  // namespace bench
