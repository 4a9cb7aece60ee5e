#include "server/session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "proto/listing.h"
#include "proto/os_error.h"
#include "proto/wire.h"
#include "server/base/sys.h"
#include "server/files/file_io.h"
#include "server/net/event_loop.h"

namespace gavo::server {

using namespace wire;
using Event = RequestDecoder::Event;

namespace {

// Up to 80 bytes of a refused name for the log (which escapes what is not printable).
std::string printable(const char* field, size_t n) {
    return std::string(field, strnlen(field, std::min(n, size_t{80})));
}

// A name field judged; a refused name keeps its printable front for the log.
ClientName client_name(const NameField& field, bool root_ok = false) {
    ClientName name = parse_client_name(field.kept, field.length, root_ok);
    if (!name.ok) name.path = printable(field.kept, field.kept_size());
    return name;
}

}  // namespace

Session::Session(ServerContext& ctx, int fd, const Identity& who, std::string label, int stop_fd,
                 ConnId id)
    : ctx_(ctx),
      conn_(fd, ctx.config.stall_timeout, ctx.config.min_rate, stop_fd),
      who_(who),
      host_(who.addr),
      host_text_(host_.to_string()),
      label_(std::move(label)),
      id_(id) {}

void Session::set_cert_name(const std::string& name) {
    who_ = Identity(who_.addr, name);
    label_ += " CN=" + name;
}

std::string Session::run() {
    while (serve_next()) {
    }
    return end_reason();
}

bool Session::serve_next() { return conn_.wait_request() && serve_counted(); }

bool Session::serve_ready(bool socket_ready) {
    may_park_ = true;
    bool open = true;
    for (bool first = socket_ready; open && !parked_ && conn_.request_ready(first); first = false) {
        open = serve_counted();
    }
    may_park_ = false;
    return open && !conn_.failed();
}

bool Session::serve_counted() {
    result_ = kNoReply;
    op_ = 0;
    const bool served = serve_one();
    if (!parked_) count_request();  // a parked record's request is counted when answered
    return served;
}

void Session::count_request() {
    const auto [received, sent] = conn_.take_counts();
    if (op_ < 0) {
        metrics().malformed(received);
    } else {
        metrics().request(op_, result_, received, sent);  // op 0: bytes only
    }
}

std::string Session::end_reason() const { return conn_.error().empty() ? "closed" : conn_.error(); }

bool Session::refresh_access() {
    if (!ctx_.access || ctx_.access->generation() == access_generation_) return true;
    access_generation_ = ctx_.access->generation();
    access_ = ctx_.access->current();
    grant_ = access_ ? access_->grant(who_) : AccessState::Grant{};
    if (grant_.rule) return true;
    ctx_.log.linef(LogLevel::kWarn, "%s: no access rule for %s any more, closing the connection",
                   label_.c_str(), who_.key().c_str());
    return conn_.fail(ConnFailure::kRequest, "no access rule");
}

FileArea Session::area() const {
    return grant_.folder ? FileArea{grant_.folder, grant_.rule->read_only} : ctx_.files.whole();
}

std::string Session::table_refusal(const std::string& name) const {
    if (ctx_.config.read_only) return "read-only server";
    if (!grant_.rule || grant_.rule->may_write_table(name)) return "";
    return grant_.rule->read_only ? "read-only access"
                                  : "not among the tables this client may write";
}

bool Session::serve_one() {
    if (!refresh_access()) return false;
    Step step;
    if (!next(&step)) return false;
    if (step.event == Event::kMalformed) return malformed();
    const Header& req = decoder_.header();
    op_ = req.op();
    if (!has_body(*req.message) && !next(&step)) return false;  // its end needs no bytes
    if (ctx_.log.enabled(LogLevel::kDebug)) ctx_.log.line(LogLevel::kDebug, describe(req));
    switch (req.op()) {
    case kOpOpen:
    case kOpOpenEx: return do_open(req);
    case kOpClose: return do_close(req);
    case kOpRead: return do_read(req);
    case kOpWrite: return do_write(req);
    case kOpRename: return do_rename(req);
    case kOpRemove: return do_remove(req);
    case kOpExists: return do_exists(req);
    case kOpTableOpen: return do_table_open(req);
    case kOpTableClose: return do_close(req);  // one handle space: closes whatever it names
    case kOpTableWrite: return do_table_write(req);
    case kOpList: return do_list(req);
    case kOpStat: return do_stat(req);
    case kOpRemoveFolder: return do_remove_folder(req);
    }
    return conn_.fail(ConnFailure::kRequest, "no handler for opcode " + std::to_string(req.op()));
}

std::string Session::describe(const Header& req) const {
    std::string text = label_ + ": " + req.message->name;
    const bool open = req.op() == kOpOpen || req.op() == kOpOpenEx;
    size_t names = 0;
    for (size_t i = 0; i < req.message->field_count; ++i) {
        switch (req.message->fields[i]) {
        case Field::kShort:
            text += open ? " flags " + std::to_string(req.flags)
                         : " handle " + std::to_string(req.handle);
            break;
        case Field::kLong: text += " count " + std::to_string(req.count); break;
        case Field::kName: {
            const NameField& name = req.names[names++];
            text.append(" '").append(printable(name.kept, name.kept_size())).append("'");
            break;
        }
        case Field::kData:
        case Field::kRecord: break;
        }
    }
    return text;
}

bool Session::next(Step* step, unsigned char* direct, size_t room) {
    const size_t limit = direct ? room : SIZE_MAX;
    for (;;) {
        *step = decoder_.feed(conn_.buffered(), std::min(conn_.buffered_size(), limit));
        conn_.consume(step->used);
        if (step->event != Event::kNeedMore) return true;
        // A large body skips the buffer: one receive takes what the socket holds.
        const size_t want = static_cast<size_t>(std::min<uint64_t>(room, decoder_.body_left()));
        if (direct && want >= Conn::kBufferSize) {
            const size_t got = conn_.receive_into(direct, want);
            if (got == 0) return false;
            *step = decoder_.feed(direct, got);
            return true;
        }
        if (!conn_.receive_more()) return false;
    }
}

bool Session::drop_body() {
    Step step;
    do {
        if (!next(&step)) return false;
    } while (step.event != Event::kEnd);
    return true;
}

bool Session::malformed() {
    op_ = -1;
    const long long value = static_cast<long long>(decoder_.error_value());
    if (decoder_.error() == RequestDecoder::Error::kNegativeCount) {
        // The data length is unknowable: the stream cannot be kept in step.
        ctx_.log.linef(LogLevel::kWarn,
                       "%s: write with impossible byte count %lld, closing the connection",
                       label_.c_str(), value);
        return conn_.fail(ConnFailure::kRequest, "impossible write count");
    }
    // A TLS client at a plain-text port: its handshake record begins 0x16 0x03.
    constexpr long long kTlsHandshakeOpcode = 0x1603;
    ctx_.log.linef(
        LogLevel::kWarn, "%s: unknown opcode %lld%s, closing the connection", label_.c_str(), value,
        value == kTlsHandshakeOpcode ? " (a TLS handshake: this port serves plain text)" : "");
    return conn_.fail(ConnFailure::kRequest, "unknown opcode " + std::to_string(value));
}

// Refusals of one kind from one host beyond a few in a row are counted, not written (a
// client looping on a failing request would otherwise fill the disk with the log).
void Session::refuse(const char* op, int code, const std::string& what, const std::string& why) {
    const std::string kind = std::string(op) + " refused with " + std::to_string(code);
    if (!ctx_.log.enabled(LogLevel::kInfo) || !ctx_.log.admit_repeat(host_.to_string(), kind)) {
        return;
    }
    ctx_.log.linef("%s: %s %s refused with %d: %s", label_.c_str(), op, what.c_str(), code,
                   why.c_str());
}

// The one door from the handlers to the event loop's bound (transport waits have theirs
// in Conn): blocking file and table calls leave the loop here first.
bool Session::leave_loop(const char* op, const std::string& what) {
    if (EventLoop::offload(Blocking::kLocal)) return true;
    refuse(op, kCodeRefused, what,
           "server busy (every thread for blocking work is taken: --max-threads)");
    return false;
}

// A large transfer leaves the loop when a thread is free; otherwise it begins on the loop,
// and its first wait for the client asks again (see Conn).
void Session::leave_loop_for_transfer() { static_cast<void>(EventLoop::offload(Blocking::kPeer)); }

void Session::refuse_limited(Refusal kind, const char* op, const std::string& what,
                             const std::string& why) {
    ctx_.limits.refused(host_, kind, label_ + ": " + op + " " + what + " refused with -1: " + why);
}

bool Session::do_open(const Header& req) {
    const bool extended = req.op() == kOpOpenEx;
    const char* op = req.message->name;
    const int flags = req.flags;
    const ClientName name = client_name(req.names[0]);
    if (!name.ok) {
        refuse(op, kCodeBadPath, "'" + name.path + "'", name.reason);
        return reply16(kCodeBadPath);
    }
    std::string why;
    // A new file holds two descriptors (the file and its folder), so two are asked for.
    DescriptorCharge charge;
    if (!ctx_.limits.take_descriptors(host_, 2, &charge, &why)) {
        refuse_limited(Refusal::kDescriptors, op, "'" + name.path + "'", why);
        return reply16(kCodeRefused);
    }
    if (ctx_.opens_may_block && !leave_loop(op, "'" + name.path + "'")) {
        return reply16(kCodeRefused);
    }
    OpenResult opened = ctx_.files.open(area(), name.path, static_cast<unsigned>(flags), &why);
    if (opened.code != 0) {
        refuse(op, opened.code, "'" + name.path + "'", why);
        return reply16(opened.code);
    }
    {
        MutexLock lock(opened.file->mutex);
        charge.shrink_to(1 + (opened.file->dir_fd >= 0));
        opened.file->charge = std::move(charge);
    }
    // The open that reserves the next handle positions syncs the mark twice: off the loop
    // when a thread is free, so that the loop's other connections do not wait for the disk.
    if (ctx_.handles.add_may_sync()) static_cast<void>(EventLoop::offload(Blocking::kLocal));
    const int handle = ctx_.handles.add(who_, opened.file, &why, id_);
    if (handle < 0) {
        // Its fsync runs off the loop when a thread is free (rare: a host at its quota).
        if (opened.file->close_blocks()) static_cast<void>(EventLoop::offload(Blocking::kLocal));
        opened.file->close();
        refuse_limited(Refusal::kHandles, op, "'" + name.path + "'", why);
        return reply16(kCodeRefused);
    }
    const ReplyBytes reply =
        extended ? encode_handle_and_length(handle, static_cast<uint32_t>(opened.length))
                 : encode_short(handle);
    result_ = handle;
    return put(reply) && conn_.flush();
}

bool Session::do_close(const Header& req) {
    const int handle = req.handle;
    Lookup found;
    if (ctx_.config.sync) {
        std::shared_ptr<OpenObject> obj = ctx_.handles.find(handle, who_, &found, id_);
        if (obj && obj->close_blocks() && !leave_loop("close", obj->describe())) {
            return reply16(kCodeRefused);
        }
    }
    std::shared_ptr<OpenObject> obj = ctx_.handles.remove(handle, who_, &found);
    if (!obj) {
        refuse("close", kCodeNotFound, "handle " + std::to_string(handle), lookup_failure(found));
        return reply16(kCodeNotFound);
    }
    const int code = obj->close();
    if (code != 0) refuse("close", code, obj->describe(), "flush failed");
    return reply16(code);
}

std::shared_ptr<OpenFile> Session::file_for(int handle, const char* op, int* code) {
    Lookup found;
    std::shared_ptr<OpenObject> obj = ctx_.handles.find(handle, who_, &found, id_);
    auto file = std::dynamic_pointer_cast<OpenFile>(obj);
    if (file) return file;
    *code = obj ? kCodeAccessDenied : kCodeNotFound;
    refuse(op, *code, "handle " + std::to_string(handle),
           obj ? "not a file" : lookup_failure(found));
    return nullptr;
}

// Per thread, not per connection: a request is served by one thread from its start to
// its end, and idle connections then hold no chunk.
unsigned char* Session::data_buffer() {
    thread_local std::unique_ptr<unsigned char[]> chunk;
    if (!chunk) chunk.reset(new unsigned char[kDataChunk]);
    return chunk.get();
}

bool Session::do_read(const Header& req) {
    const int handle = req.handle;
    const int32_t count = req.count;
    int code = 0;
    std::shared_ptr<OpenFile> file = file_for(handle, "read", &code);
    if (file && !file->may_read) {
        code = kCodeAccessDenied;
        refuse("read", code, file->describe(), "not opened for reading");
    } else if (file && count < 0) {
        code = kCodeRefused;
        refuse("read", code, file->describe(), "negative byte count");
    }
    if (code != 0) return reply32(code);
    if (count > static_cast<int32_t>(kDataChunk)) leave_loop_for_transfer();
    MutexLock lock(file->mutex);
    if (file->fd < 0) {
        refuse("read", kCodeNotFound, file->describe(), "closed meanwhile");
        return reply32(kCodeNotFound);
    }
    return stream_read(*file, count);
}

// Announces the bytes between the position and the end of the file (at most `count`),
// then sends them chunk by chunk. The first chunk is read before the answer, so an
// early read error is still answered with a code; a failure after the count has gone
// out can only end the connection (the client sees the short data).
bool Session::stream_read(OpenFile& file, int32_t count) {
    struct stat st;
    const int64_t pos = file.pos;
    if (sys().fstat(file.fd, &st) != 0) {
        const int err = errno;
        refuse("read", nfile_code_from_errno(err), file.describe(), strerror(err));
        return reply32(nfile_code_from_errno(err));
    }
    const int64_t avail = std::max<int64_t>(0, static_cast<int64_t>(st.st_size) - pos);
    const int64_t total = std::min<int64_t>(count, avail);
    unsigned char* buf = data_buffer();
    const size_t want = static_cast<size_t>(std::min<int64_t>(total, kDataChunk));
    const ssize_t first = read_full(file.fd, buf, want, &file.pos);
    if (first < 0) {
        const int err = static_cast<int>(-first);
        refuse("read", nfile_code_from_errno(err), file.describe(), strerror(err));
        return reply32(nfile_code_from_errno(err));
    }
    // A first chunk cut short means the file shrank meanwhile: announce only that.
    const int64_t announced = static_cast<size_t>(first) < want ? first : total;
    result_ = static_cast<int>(announced);
    if (!put(encode_long(static_cast<int32_t>(announced))) ||
        !conn_.put_bytes(buf, static_cast<size_t>(first))) {
        return false;
    }
    for (int64_t left = announced - first; left > 0;) {
        const size_t step = static_cast<size_t>(std::min<int64_t>(left, kDataChunk));
        const ssize_t got = read_full(file.fd, buf, step, &file.pos);
        if (got <= 0) {
            ctx_.log.linef(LogLevel::kError,
                           "%s: read of %s failed after its count was sent; closing",
                           label_.c_str(), file.describe().c_str());
            return conn_.fail(ConnFailure::kIo, "file read failed mid-reply");
        }
        if (!conn_.put_bytes(buf, static_cast<size_t>(got))) return false;
        left -= got;
    }
    return conn_.flush();
}

bool Session::do_write(const Header& req) {
    const int handle = req.handle;
    const int32_t count = req.count;  // never negative: the decoder refuses that
    int code = 0;
    std::shared_ptr<OpenFile> file = file_for(handle, "write", &code);
    if (file && !file->may_write) {
        code = kCodeAccessDenied;
        refuse("write", code, file->describe(), "not opened for writing");
    } else if (file && area().read_only) {
        // Opened before a reload made the access read-only.
        code = kCodeAccessDenied;
        refuse("write", code, file->describe(), "read-only access");
    }
    if (code != 0) return drop_body() && reply32(code);
    if (count > static_cast<int32_t>(kDataChunk)) leave_loop_for_transfer();
    MutexLock lock(file->mutex);
    if (file->fd < 0) {
        refuse("write", kCodeNotFound, file->describe(), "closed meanwhile");
        return drop_body() && reply32(kCodeNotFound);
    }
    return stream_write(*file, count);
}

// Moves the data from the connection to the file chunk by chunk. After a failed file
// write the rest of the data is still read (and dropped), so the answer is in step; a
// write that fails, or whose data stop coming, is taken back (see undo_write).
bool Session::stream_write(OpenFile& file, int32_t count) {
    unsigned char* buf = data_buffer();
    WriteStart start;
    int err = 0;
    if (count > 0) {
        MutexLock lock(file.writes->mutex);
        start.size = size_before_write(file);
        start.count = file.writes->count;
    }
    int64_t written = 0;
    for (;;) {
        Step step;
        if (!next(&step, buf, kDataChunk)) {
            const Undo undone = take_back(file, start, written);
            if (undone == Undo::kFailed) {
                ctx_.log.linef(LogLevel::kError,
                               "%s: cannot take back the %lld bytes of a cut-off write to %s",
                               label_.c_str(), static_cast<long long>(written),
                               file.describe().c_str());
            } else if (undone == Undo::kKept || undone == Undo::kKeptOutside) {
                ctx_.log.linef(LogLevel::kWarn,
                               "%s: kept the %lld bytes of a cut-off write to %s: %s",
                               label_.c_str(), static_cast<long long>(written),
                               file.describe().c_str(), kept_why(undone));
            }
            return false;
        }
        if (step.event == Event::kEnd) break;
        if (err == 0) {
            file.dirty = true;
            MutexLock lock(file.writes->mutex);
            const int64_t before = written;
            err = write_all(sys(), file.fd, step.data, step.size, &written);
            file.pos += written - before;
            file.writes->size = std::max(file.writes->size, file.pos);
            ++file.writes->count;
            ++start.chunks;
            // After the chunk that completes the write no take-back can follow.
            if (err == 0 && written == count) {
                file.writes->note_own_change_later();
            } else {
                file.writes->note_own_change(file.fd);
            }
        }
    }
    if (err == 0) return reply32(count);
    const int code = nfile_code_from_errno(err);
    std::string why = strerror(err);
    const Undo undone = take_back(file, start, written);
    if (undone == Undo::kFailed) why += "; its written part could not be taken back";
    if (undone == Undo::kKept || undone == Undo::kKeptOutside)
        why += std::string("; its written part was kept: ") + kept_why(undone);
    refuse("write", code, file.describe(), why);
    return reply32(code);
}

bool Session::do_rename(const Header& req) {
    const ClientName from = client_name(req.names[0]);
    const ClientName to = client_name(req.names[1]);
    for (const ClientName* n : {&from, &to}) {
        if (!n->ok) {
            refuse("rename", kCodeBadPath, "'" + n->path + "'", n->reason);
            return reply32(kCodeBadPath);
        }
    }
    if (ctx_.config.sync && !leave_loop("rename", "'" + from.path + "' to '" + to.path + "'")) {
        return reply32(kCodeRefused);
    }
    std::string why;
    const int code = ctx_.files.rename(area(), from.path, to.path, &why);
    if (code != 0) refuse("rename", code, "'" + from.path + "' to '" + to.path + "'", why);
    return reply32(code);
}

bool Session::do_remove(const Header& req) {
    const ClientName name = client_name(req.names[0]);
    if (!name.ok) {
        refuse("remove", kCodeBadPath, "'" + name.path + "'", name.reason);
        return reply32(kCodeBadPath);
    }
    if (ctx_.config.sync && !leave_loop("remove", "'" + name.path + "'")) {
        return reply32(kCodeRefused);
    }
    std::string why;
    const int code = ctx_.files.remove(area(), name.path, &why);
    if (code != 0) refuse("remove", code, "'" + name.path + "'", why);
    return reply32(code);
}

bool Session::do_exists(const Header& req) {
    const ClientName name = client_name(req.names[0]);
    if (!name.ok) {
        refuse("exists", kCodeBadPath, "'" + name.path + "'", name.reason);
        return reply32(kCodeBadPath);
    }
    std::string why;
    const int answer = ctx_.files.exists(area(), name.path, &why);
    if (answer < 0) refuse("exists", answer, "'" + name.path + "'", why);
    return reply32(answer);
}

// A listing page's reply is at most kListMaxReply bytes; the folder is read on a thread
// of its own when one is free, so a large folder does not hold up the loop's other
// clients (at the loop's bound the page is still served: its work is bounded).
bool Session::do_list(const Header& req) {
    const ClientName folder = client_name(req.names[0], true);
    const NameField& cursor = req.names[1];
    const size_t cursor_size = cursor.length > 0 ? cursor.length - 1 : 0;
    std::string why = folder.reason;
    if (folder.ok &&
        (cursor.length == 0 || cursor.length > kEntryNameMax + 1 ||
         cursor.kept[cursor_size] != '\0' || strnlen(cursor.kept, cursor_size) != cursor_size)) {
        why = "bad cursor name";
    }
    if (!why.empty()) {
        refuse("list", kCodeBadPath, "'" + folder.path + "'", why);
        return reply32(kCodeBadPath);
    }
    static_cast<void>(EventLoop::offload(Blocking::kLocal));
    std::vector<ListedEntry> page;
    bool more = false;
    const int code = ctx_.files.list(area(), folder.path, std::string(cursor.kept, cursor_size),
                                     &page, &more, &why, &list_cursors_);
    if (code != 0) {
        refuse("list", code, "'" + folder.path + "'", why);
        return reply32(code);
    }
    result_ = static_cast<int>(page.size());
    unsigned char head[kListHeadBytes];
    encode_list_head(head, static_cast<int32_t>(page.size()), more);
    if (!conn_.put_bytes(head, sizeof head)) return false;
    for (const ListedEntry& entry : page) {
        unsigned char fixed[kEntryInfoBytes + 2];
        encode_entry_info(fixed, entry.info);
        codec::put16(fixed + kEntryInfoBytes, static_cast<int>(entry.name.size() + 1));
        if (!conn_.put_bytes(fixed, sizeof fixed) ||
            !conn_.put_bytes(reinterpret_cast<const unsigned char*>(entry.name.c_str()),
                             entry.name.size() + 1)) {
            return false;
        }
    }
    return conn_.flush();
}

bool Session::do_stat(const Header& req) {
    const ClientName name = client_name(req.names[0], true);
    if (!name.ok) {
        refuse("stat", kCodeBadPath, "'" + name.path + "'", name.reason);
        return reply32(kCodeBadPath);
    }
    std::string why;
    EntryInfo info;
    const int code = ctx_.files.stat(area(), name.path, &info, &why);
    if (code != 0) {
        refuse("stat", code, "'" + name.path + "'", why);
        return reply32(code);
    }
    unsigned char bytes[kEntryInfoBytes];
    encode_entry_info(bytes, info);
    result_ = 0;
    return put(encode_long(0)) && conn_.put_bytes(bytes, sizeof bytes) && conn_.flush();
}

bool Session::do_remove_folder(const Header& req) {
    const ClientName name = client_name(req.names[0]);
    if (!name.ok) {
        refuse("rmdir", kCodeBadPath, "'" + name.path + "'", name.reason);
        return reply32(kCodeBadPath);
    }
    if (ctx_.config.sync && !leave_loop("rmdir", "'" + name.path + "'")) {
        return reply32(kCodeRefused);
    }
    std::string why;
    const int code = ctx_.files.remove_folder(area(), name.path, &why);
    if (code != 0) refuse("rmdir", code, "'" + name.path + "'", why);
    return reply32(code);
}

}  // namespace gavo::server
