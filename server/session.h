// Serving one connection: receives what is there (one receive into the connection's
// buffer at a time, within its time limits), feeds it to the request decoder, calls the
// request's handler with the decoded header (write data and table records follow as
// pieces, handed on as they arrive), encodes the reply and sends it. The connection ends
// on a transport failure, a stalled request, or malformed input (an unknown opcode, an
// impossible field, a record that breaks its table's framing).
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
#include <optional>
#include <string>
#include <vector>

#include "proto/reply.h"
#include "proto/request.h"
#include "server/access.h"
#include "server/base/address.h"
#include "server/base/config.h"
#include "server/base/identity.h"
#include "server/base/limits.h"
#include "server/base/log.h"
#include "server/base/metrics.h"
#include "server/files/files.h"
#include "server/files/handles.h"
#include "server/files/names.h"
#include "server/net/conn.h"
#include "server/tables/pending.h"
#include "server/tables/table_store.h"

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
    // The access rules in use (--access); null: every client may do everything.
    AccessControl* access = nullptr;
    // The root lies on a network or FUSE file system: opens leave the event loop first.
    bool opens_may_block = false;
};

class Session {
public:
    // `label` names the connection in log lines ("conn 7 127.0.0.1:40212"); `id` is its
    // number, which the handles it uses remember (0: none). `who` owns the handles the
    // session opens and, with access rules, decides what it may do; the per-host limits
    // go by its address.
    Session(ServerContext& ctx, int fd, const Identity& who, std::string label, int stop_fd,
            ConnId id = 0);

    // Serves requests until the connection ends; returns why it ended.
    std::string run();
    // Waits for the next request and serves it; false once the connection has ended
    // (end_reason() then says why). run() is this in a loop.
    bool serve_next();
    // Serves, without waiting for one, every request that is here (with `socket_ready`,
    // after one receive from the socket); false once the connection has ended. A table
    // record stops it early: its commit is not waited for here, the record is parked
    // (see record_parked()) and the connection holds no thread until it is answered.
    bool serve_ready(bool socket_ready);
    // After serve_ready(): a table record waits to be queued for its commit; take it,
    // queue it, and once its commit ends call set_record_outcome() and then answer_record().
    bool record_parked() const { return parked_.has_value(); }
    Record take_parked_record();
    // The outcome of the parked record's commit: 0, or the store's code.
    void set_record_outcome(int code) { parked_->code = code; }
    // Answers the parked record (its wire byte count, or the code with a log line) and
    // counts its request; false once the connection has ended.
    bool answer_record();
    // As answer_record(), for the thread that saw the commit end, which must not wait:
    // true when the record committed and its answer went out whole (the record is then
    // no longer parked); otherwise answer_record() finishes the answer later (what did
    // not fit in the socket is buffered).
    bool answer_record_now();
    std::string end_reason() const;

    // The connection, for the TLS handshake before the first request.
    Conn& conn() { return conn_; }
    // After a handshake with a verified client certificate: the name it gives; the log
    // lines then name it after the address ("conn 7 10.0.0.5:40212 CN=host-a").
    void set_cert_name(const std::string& name);
    const Identity& identity() const { return who_; }

    // Bytes moved through the file per step of a read or write.
    static constexpr size_t kDataChunk = 64 * 1024;

private:
    using Header = wire::RequestHeader;
    using Step = wire::RequestDecoder::Step;

    bool serve_one();
    // serve_one() with the bookkeeping around it.
    bool serve_counted();
    // With access rules: takes the rules in use when a reload changed them since the
    // last request. False (the connection ends, with a log line) when no rule admits
    // the client any more.
    bool refresh_access();
    // Where names resolve for this client, and whether it may change things there.
    FileArea area() const;
    // Why the client may not write to table `name` (empty: it may).
    std::string table_refusal(const std::string& name) const;
    // The request for a debug line: "conn 7 10.0.0.5:40212: open flags 10 'a.txt'".
    std::string describe(const Header& req) const;
    // Receives and decodes until the request in progress has its next step (never
    // kNeedMore); false on a connection failure. Counted body bytes may be received
    // straight into `direct` (room for `room` bytes, at least a buffer's worth) when
    // nothing is buffered; a piece is then at most `room` bytes.
    bool next(Step* step, unsigned char* direct = nullptr, size_t room = 0);
    // Reads and drops the rest of the request's body; false on a connection failure.
    bool drop_body();
    bool malformed();
    bool do_open(const Header& req);
    bool do_close(const Header& req);
    bool do_read(const Header& req);
    bool do_write(const Header& req);
    bool do_rename(const Header& req);
    bool do_remove(const Header& req);
    bool do_exists(const Header& req);
    bool do_list(const Header& req);
    bool do_stat(const Header& req);
    bool do_remove_folder(const Header& req);
    bool do_table_open(const Header& req);
    bool do_table_write(const Header& req);
    bool read_record(const OpenTable& table, std::string* bytes);
    bool read_line(const OpenTable& table, PendingBytes::Request& held, std::string* bytes);
    bool read_fixed(const OpenTable& table, PendingBytes::Request& held, std::string* bytes);
    // The answer to a table write whose commit ended with `code`.
    bool answer_table_write(int code, const std::string& table, size_t wire_bytes);

    // The open file of `handle` for this host; null with `code` set (and a log line)
    // when the handle is unknown, another host's, or not a file.
    std::shared_ptr<OpenFile> file_for(int handle, const char* op, int* code);
    bool stream_read(OpenFile& file, int32_t count) GAVO_REQUIRES(file.mutex);
    bool stream_write(OpenFile& file, int32_t count) GAVO_REQUIRES(file.mutex);
    unsigned char* data_buffer();
    // Leaves the event loop before a call that may block (an fsync, a table commit, an
    // open on a network file system; see EventLoop::offload). False at the loop's bound,
    // after logging the refusal of `op` on `what`: the caller answers kCodeRefused.
    bool leave_loop(const char* op, const std::string& what);
    void leave_loop_for_transfer();
    // Logs a refused or failed request.
    void refuse(const char* op, int code, const std::string& what, const std::string& why);
    // As refuse() with -1, for a host at one of its limits: rate-limited per host and kind.
    void refuse_limited(Refusal kind, const char* op, const std::string& what,
                        const std::string& why);
    bool put(const wire::ReplyBytes& reply) { return conn_.put_bytes(reply.bytes, reply.size); }
    bool reply16(int value) {
        result_ = value;
        return put(wire::encode_short(value)) && conn_.flush();
    }
    bool reply32(int32_t value) {
        result_ = value;
        return put(wire::encode_long(value)) && conn_.flush();
    }
    // Counts the request just served (or cut off) and its bytes in metrics().
    void count_request();

    ServerContext& ctx_;
    Conn conn_;
    wire::RequestDecoder decoder_;
    Identity who_;                 // the client certificate's name is added after the handshake
    const HostAddr host_;          // who_'s address: the per-host limits go by it
    const std::string host_text_;  // host_ as text, for every table record's client
    std::string label_;
    const ConnId id_;
    int result_ = 0;  // the reply of the request in progress; kNoReply until one is sent
    int op_ = 0;      // its opcode; 0 before its header, -1 when malformed
    // With access rules: the rules taken at the last request, when they were set, and
    // what they grant this client.
    std::shared_ptr<const AccessState> access_;
    uint64_t access_generation_ = 0;
    AccessState::Grant grant_;
    ListCursors list_cursors_;  // the folders this connection pages through
    // A table record parked by serve_ready() (a record that would wait for its commit on
    // a loop thread), from its arrival until answer_record().
    struct Parked {
        Record record;      // moved out by take_parked_record()
        std::string table;  // its table, for the log
        size_t wire_bytes = 0;
        int code = 0;
        bool answered = false;  // its answer is begun: the rest is buffered in conn_
    };
    std::optional<Parked> parked_;
    bool may_park_ = false;  // in serve_ready(): a table record is parked, not stored here
};

}  // namespace gavo::server
