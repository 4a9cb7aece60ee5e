// Serving one connection: reads each request, answers it, and ends the connection on a
// transport failure, a stalled request, an unknown opcode or an impossible field.
//
// Requests (all integers big-endian; a name is a 16-bit length counting its terminating
// zero, then the bytes with the zero):
//   1 open      flags16 name        -> handle16 or code16
//   2 close     handle16            -> 0 or code16
//   3 read      handle16 count32    -> n32 then n bytes, or code32
//   4 write     handle16 count32 data -> count32 or code32
//   5 open-ex   flags16 name        -> handle16 then length32, or code16
//   6 rename    name name           -> 0 or code32
//   7 remove    name                -> 0 or code32
//   8 exists    name                -> 1, 0 or code32
//  16 table open  name              -> handle16 or code16    (session_tables.cpp)
//  17 table close handle16          -> as close
//  19 table write handle16 record   -> byte count32 or code32 (the table frames the record)
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "server/address.h"
#include "server/config.h"
#include "server/conn.h"
#include "server/files.h"
#include "server/handles.h"
#include "server/limits.h"
#include "server/log.h"
#include "server/names.h"
#include "server/pending.h"

namespace gavo::server {

class OpenTable;
class TableService;

// What every session shares; owned by the Server.
struct ServerContext {
    const ServerConfig& config;
    Logger& log;
    FileService& files;
    HandleTable& handles;
    TableService& tables;
    PendingBytes& pending;
    HostLimits& limits;
};

class Session {
public:
    // `label` names the connection in log lines ("conn 7 127.0.0.1:40212").
    Session(ServerContext& ctx, int fd, const HostAddr& host, std::string label, int stop_fd);

    // Serves requests until the connection ends; returns why it ended.
    std::string run();
    // Waits for the next request and serves it; false once the connection has ended
    // (end_reason() then says why). run() is this in a loop.
    bool serve_next();
    std::string end_reason() const;

    // Bytes moved through the file per step of a read or write.
    static constexpr size_t kDataChunk = 64 * 1024;

private:
    bool serve_one();
    bool do_open(bool extended);
    bool do_close();
    bool do_read();
    bool do_write();
    bool do_rename();
    bool do_remove();
    bool do_exists();
    bool do_table_open();
    bool do_table_write();
    bool read_record(const OpenTable& table, std::string* bytes);
    bool read_fixed(const OpenTable& table, PendingBytes::Request& held, std::string* bytes);

    // Reads a name field whole (however long) and judges it; false only on a
    // connection failure.
    bool read_name(ClientName* name);
    // The open file of `handle` for this host; null with `code` set (and a log line)
    // when the handle is unknown, another host's, or not a file.
    std::shared_ptr<OpenFile> file_for(int handle, const char* op, int* code);
    bool stream_read(OpenFile& file, int32_t count);
    bool stream_write(OpenFile& file, int32_t count);
    unsigned char* data_buffer();
    // Logs a refused or failed request.
    void refuse(const char* op, int code, const std::string& what, const std::string& why);
    // As refuse() with -1, for a host at one of its limits: rate-limited per host and kind.
    void refuse_limited(Refusal kind, const char* op, const std::string& what,
                        const std::string& why);
    bool reply16(int value) { return conn_.put16(value) && conn_.flush(); }
    bool reply32(int32_t value) { return conn_.put32(value) && conn_.flush(); }

    ServerContext& ctx_;
    Conn conn_;
    const HostAddr host_;
    const std::string label_;
    std::unique_ptr<unsigned char[]> data_;  // kDataChunk bytes, from the first data request
};

}  // namespace gavo::server
