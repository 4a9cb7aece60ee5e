// The plain C interface of include/gavo_client_c.h over CNFile. Each open file is a
// CNFile owned by a slot of one locked table; the host holds a number naming the slot
// and the slot's generation, so that numbers that were never given out, or were closed,
// are recognised and refused instead of reaching freed memory. Every function catches
// everything the C++ interface throws and turns it into a code and the host's record.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "include/GAVO_Client.h"
#include "include/gavo_client_c.h"
#include "net/messages.h"
#include "proto/codes.h"
#include "proto/os_error.h"
#include "runtime/report.h"

static_assert(GAVO_E_REFUSED == gavo::kCodeRefused &&
                  GAVO_E_NO_CONNECTION == gavo::kCodeNoConnection &&
                  GAVO_E_PEER_CLOSED == gavo::kCodePeerClosed &&
                  GAVO_E_NOT_SENT == gavo::kCodeNotSent &&
                  GAVO_E_NOT_FOUND == gavo::kCodeNotFound &&
                  GAVO_E_MAKE_DIRS == gavo::kCodeMakeDirs &&
                  GAVO_E_INIT_FAILED == gavo::kCodeInitFailed &&
                  GAVO_E_UNKNOWN_MODE == gavo::kCodeUnknownMode &&
                  GAVO_E_BAD_HANDLE == gavo::kCodeBadHandle && GAVO_E_BUSY == gavo::kCodeHandleBusy,
              "the C interface's codes are the library's");
static_assert(GAVO_READ == NFILE_READ && GAVO_CREATE == NFILE_CREATE &&
                  GAVO_DENY_WRITE == NFILE_DENY_WRITE && GAVO_TABLE_WRITE == NFILE_TABLE_WRITE &&
                  GAVO_TABLE_OPEN == NFILE_TABLE_OPEN,
              "the C interface's open flags are the library's");

namespace {

// A CNFile with the record its failures are thrown with, and access to its last code
// (the one trace a failed server close leaves).
struct HandleFile : CNFile {
    CNFileException record;
    int last_code() const { return m_nLastErrCode; }
    void clear_last_code() { m_nLastErrCode = 0; }
};

// A handle is (generation << 16) | (slot index + 1): positive, and never 0.
constexpr uint32_t kMaxSlots = 0xFFFF;
constexpr uint32_t kGenerations = 0x8000;
constexpr uint32_t kNone = UINT32_MAX;

struct Slot {
    HandleFile* file = nullptr;  // owned; null while free or while an open is under way
    uint32_t generation = 0;
    uint32_t next_free = kNone;
    bool busy = false;  // a call is using the file, or an open is filling the slot
};

// The slots, and the free ones in a queue threaded through them (the longest free first,
// so that a number comes back as late as possible). Only a new slot allocates.
struct Table {
    std::mutex mutex;
    std::vector<Slot> slots;
    uint32_t free_head = kNone;
    uint32_t free_tail = kNone;

    // Empties slot `index` under a new generation and queues it.
    void free_slot(uint32_t index) {
        Slot& slot = slots[index];
        slot.file = nullptr;
        slot.busy = false;
        slot.generation = (slot.generation + 1) % kGenerations;
        slot.next_free = kNone;
        if (free_tail == kNone) free_head = index;
        else slots[free_tail].next_free = index;
        free_tail = index;
    }
};

// Never destroyed: files still open when the process ends are not closed by a static
// destructor that could run after the library state it needs is gone.
Table& table() {
    static Table* t = new Table;
    return *t;
}

// Serialises the start-ups and the shutdown of the C interface.
std::mutex& start_mutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}

// Fills the host's record, when it gave one: cleared at the start of every call, set by
// a failure.
class Report {
public:
    Report(const char* where, gavo_error* error) : where_(where), error_(error) {
        if (error_ == nullptr) return;
        error_->code = 0;
        error_->os_error = 0;
        error_->message[0] = '\0';
    }
    // Returns `code`; the message gives `detail`, or the code's meaning without one.
    int32_t fail(int code, const char* detail = nullptr) {
        if (error_ != nullptr) {
            error_->code = code;
            std::snprintf(error_->message, sizeof error_->message, "%s: %s (code %d)", where_,
                          detail != nullptr ? detail : gavo::code_meaning(code), code);
        }
        return code;
    }
    // A refusal of this interface itself: a report line with `logged` as its detail (the
    // C++ interface has logged the failures it returns), then the record.
    int32_t refuse(int code, const char* logged, const char* detail = nullptr) {
        NFile_LogError(where_, code, logged);
        return fail(code, detail);
    }
    // A failure of the local file layer: a report line with the OS error number and the
    // file name, as a failed local open has, and the record.
    int32_t fail_local(long os_error, const std::string& name) {
        const int code = nfile_map_os_error(static_cast<int>(os_error));
        NFile_LogError(where_, static_cast<int>(os_error), name.c_str());
        fail(code);
        if (error_ != nullptr) {
            error_->os_error = static_cast<int32_t>(os_error);
            std::string text = error_->message;
            text += ", OS error " + std::to_string(os_error);
            const char* meaning = gavo::os_error_meaning(os_error);
            if (*meaning != '\0') text += std::string(" (") + meaning + ")";
            if (!name.empty()) text += ", " + name;
            std::snprintf(error_->message, sizeof error_->message, "%s", text.c_str());
        }
        return code;
    }

private:
    const char* where_;
    gavo_error* error_;
};

// A number as text, for a report line's detail; allocates nothing.
struct Decimal {
    explicit Decimal(long long value) { std::snprintf(text, sizeof text, "%lld", value); }
    char text[24];
};

// Runs `op` and returns its result, or turns what it throws into a code: the record
// (CNFileException*), a local file layer failure (CFileException*, released here), and
// anything else as a refusal.
template <class Op>
int64_t guarded(Report& report, Op op) {
    try {
        return op();
    } catch (CNFileException* e) {
        return report.fail(e->GetErrCode());
    } catch (CFileException* e) {
        std::unique_ptr<CFileException> owned(e);
        return report.fail_local(e->m_lOsError, e->m_strFileName);
    } catch (const std::bad_alloc&) {
        return report.fail(gavo::kCodeRefused, "out of memory");
    } catch (...) {
        return report.fail(gavo::kCodeRefused, "unexpected failure");
    }
}

bool start(const char* ini_path) {
    std::lock_guard<std::mutex> guard(start_mutex());
    return NFile_Init(ini_path) == 1;
}

// Takes a free slot for an open under way (busy, no file); false when all are taken.
bool reserve(uint32_t* index) {
    Table& t = table();
    std::lock_guard<std::mutex> guard(t.mutex);
    if (t.free_head == kNone) {
        if (t.slots.size() >= kMaxSlots) return false;
        t.slots.emplace_back();
        t.free_head = t.free_tail = static_cast<uint32_t>(t.slots.size() - 1);
    }
    *index = t.free_head;
    Slot& slot = t.slots[*index];
    t.free_head = slot.next_free;
    if (t.free_head == kNone) t.free_tail = kNone;
    slot.busy = true;
    return true;
}

// Ends the use of slot `index` by a call: hands it `file` when an open succeeded and
// returns its handle; with `done`, the slot is emptied and its number retired.
int32_t settle(uint32_t index, HandleFile* file, bool done) {
    Table& t = table();
    std::lock_guard<std::mutex> guard(t.mutex);
    if (done) {
        t.free_slot(index);
        return 0;
    }
    Slot& slot = t.slots[index];
    slot.busy = false;
    if (file != nullptr) slot.file = file;
    return static_cast<int32_t>((slot.generation << 16) | (index + 1));
}

// Marks the slot of `handle` busy and gives its file, or returns a code.
int acquire(int32_t handle, uint32_t* index, HandleFile** file) {
    if (handle <= 0) return gavo::kCodeBadHandle;
    const auto h = static_cast<uint32_t>(handle);
    *index = (h & 0xFFFF) - 1;
    Table& t = table();
    std::lock_guard<std::mutex> guard(t.mutex);
    if (*index >= t.slots.size()) return gavo::kCodeBadHandle;
    Slot& slot = t.slots[*index];
    if (slot.file == nullptr || slot.generation != h >> 16) return gavo::kCodeBadHandle;
    if (slot.busy) return gavo::kCodeHandleBusy;
    slot.busy = true;
    *file = slot.file;
    return 0;
}

// A call on an open handle: `op` runs with the file while the handle is marked busy.
// With `closing`, the handle is retired and the file destroyed afterwards.
template <class Op>
int64_t on_handle(const char* where, int32_t handle, gavo_error* error, Op op,
                  bool closing = false) {
    Report report(where, error);
    return guarded(report, [&]() -> int64_t {
        uint32_t index = 0;
        HandleFile* file = nullptr;
        const int code = acquire(handle, &index, &file);
        if (code == gavo::kCodeBadHandle)
            return report.refuse(code, Decimal(handle).text, "not an open handle");
        if (code != 0) return report.refuse(code, Decimal(handle).text);
        const int64_t result = guarded(report, [&] { return op(*file, report); });
        settle(index, nullptr, closing);
        if (closing) delete file;  // a server close that failed is tried once more
        return result;
    });
}

// The steps of gavo_open (no `length`) and gavo_open_ex.
int32_t open_any(const char* where, const char* name, uint32_t flags, uint32_t* length,
                 gavo_error* error) {
    Report report(where, error);
    if (name == nullptr)
        return report.refuse(gavo::kCodeRefused, gavo::msg::kBadName, "the name is NULL");
    return static_cast<int32_t>(guarded(report, [&]() -> int64_t {
        if (!start(nullptr)) return report.fail(gavo::kCodeInitFailed);
        // Made before the open: the record it holds is thrown, and must outlive the catch.
        std::unique_ptr<HandleFile> file(new HandleFile);
        uint32_t index = 0;
        if (!reserve(&index))
            return report.refuse(gavo::kCodeRefused, name, "too many open handles");
        const int64_t result = guarded(report, [&]() -> int64_t {
            const int rc = length != nullptr ? file->OpenEx(name, flags, &file->record)
                                             : file->Open(name, flags, &file->record);
            // Failures that are returned, not thrown: the table flags in working mode 1.
            if (!file->IsOpened()) return report.fail(rc < 0 ? rc : gavo::kCodeRefused);
            if (length != nullptr) *length = static_cast<uint32_t>(rc);
            return 0;
        });
        if (result < 0) return settle(index, nullptr, true), result;
        return settle(index, file.release(), false);
    }));
}

// A named-file operation, once the library is started.
template <class Op>
int32_t on_names(const char* where, gavo_error* error, bool names_given, Op op) {
    Report report(where, error);
    if (!names_given)
        return report.refuse(gavo::kCodeRefused, gavo::msg::kBadName, "a name is NULL");
    return static_cast<int32_t>(guarded(report, [&]() -> int64_t {
        if (!start(nullptr)) return report.fail(gavo::kCodeInitFailed);
        const int rc = op();
        return rc < 0 ? report.fail(rc) : rc;
    }));
}

// 0 when `count` bytes at `buffer` may be transferred, else the refusal.
int32_t refuse_transfer(const void* buffer, uint32_t count, Report& report) {
    if (count > static_cast<uint32_t>(INT32_MAX))
        return report.refuse(gavo::kCodeRefused, gavo::msg::kBadBuffer, "the count is over 2^31-1");
    if (buffer == nullptr && count != 0)
        return report.refuse(gavo::kCodeRefused, gavo::msg::kBadBuffer, "the buffer is NULL");
    return 0;
}

}  // namespace

extern "C" {

int32_t gavo_init(const char* ini_path, gavo_error* error) {
    Report report("gavo_init", error);
    return static_cast<int32_t>(guarded(report, [&]() -> int64_t {
        return start(ini_path) ? 0 : report.fail(gavo::kCodeInitFailed);
    }));
}

int32_t gavo_shutdown(void) {
    try {
        std::vector<HandleFile*> files;
        Table& t = table();
        {
            std::lock_guard<std::mutex> guard(t.mutex);
            for (const Slot& slot : t.slots) {
                if (slot.busy) return gavo::kCodeHandleBusy;
            }
            files.reserve(t.slots.size());
            for (uint32_t i = 0; i < t.slots.size(); ++i) {
                if (t.slots[i].file == nullptr) continue;
                files.push_back(t.slots[i].file);
                t.free_slot(i);
            }
        }
        for (HandleFile* file : files) delete file;  // closes it; a failure is dropped
        std::lock_guard<std::mutex> guard(start_mutex());
        NFile_Close();
        return 0;
    } catch (...) {
        return gavo::kCodeRefused;
    }
}

int32_t gavo_open(const char* name, uint32_t flags, gavo_error* error) {
    return open_any("gavo_open", name, flags, nullptr, error);
}

int32_t gavo_open_ex(const char* name, uint32_t flags, uint32_t* length, gavo_error* error) {
    if (length == nullptr) {
        return Report("gavo_open_ex", error)
            .refuse(gavo::kCodeRefused, gavo::msg::kBadBuffer, "length is NULL");
    }
    return open_any("gavo_open_ex", name, flags, length, error);
}

int32_t gavo_read(int32_t file, void* buffer, uint32_t count, gavo_error* error) {
    return static_cast<int32_t>(
        on_handle("gavo_read", file, error, [&](HandleFile& f, Report& report) -> int64_t {
            const int32_t refusal = refuse_transfer(buffer, count, report);
            return refusal != 0 ? refusal : f.Read(buffer, count);
        }));
}

int32_t gavo_write(int32_t file, const void* buffer, uint32_t count, gavo_error* error) {
    return static_cast<int32_t>(
        on_handle("gavo_write", file, error, [&](HandleFile& f, Report& report) -> int64_t {
            const int32_t refusal = refuse_transfer(buffer, count, report);
            return refusal != 0 ? refusal : f.WriteEx(buffer, count);
        }));
}

int64_t gavo_seek(int32_t file, int64_t offset, uint32_t origin, gavo_error* error) {
    return on_handle("gavo_seek", file, error, [&](HandleFile& f, Report& report) -> int64_t {
        if (origin > GAVO_SEEK_END)
            return report.refuse(gavo::kCodeRefused, Decimal(origin).text, "unknown origin");
        return static_cast<int64_t>(f.Seek(offset, origin));
    });
}

int64_t gavo_position(int32_t file, gavo_error* error) {
    return on_handle("gavo_position", file, error, [](HandleFile& f, Report&) -> int64_t {
        return static_cast<int64_t>(f.GetPosition());
    });
}

int32_t gavo_close(int32_t file, gavo_error* error) {
    return static_cast<int32_t>(on_handle(
        "gavo_close", file, error,
        [](HandleFile& f, Report& report) -> int64_t {
            f.clear_last_code();
            f.Close();  // a failed server close is not thrown: it leaves the object open
            return f.IsOpened() && f.last_code() < 0 ? report.fail(f.last_code()) : 0;
        },
        true));
}

int32_t gavo_rename(const char* old_name, const char* new_name, gavo_error* error) {
    return on_names("gavo_rename", error, old_name != nullptr && new_name != nullptr,
                    [&] { return CNFile::Rename(old_name, new_name); });
}

int32_t gavo_remove(const char* name, gavo_error* error) {
    return on_names("gavo_remove", error, name != nullptr, [&] { return CNFile::Remove(name); });
}

int32_t gavo_exists(const char* name, gavo_error* error) {
    return on_names("gavo_exists", error, name != nullptr, [&] { return CNFile::IsExist(name); });
}

}  // extern "C"
