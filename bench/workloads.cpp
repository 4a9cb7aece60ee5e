#include "bench/workloads.h"

#include <GAVO_Client.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>

#include "bench/util.h"

namespace bench {

Timing Timing::unpack(const std::vector<double>& v) {
    Timing t;
    if (v.size() == 3) {
        t.ok = v[0] != 0;
        t.ops = v[1];
        t.seconds = v[2];
    }
    return t;
}

namespace {

Timing finished(bool ok, double ops, double start) {
    Timing t;
    t.ok = ok;
    t.ops = ops;
    t.seconds = now_seconds() - start;
    return t;
}

// Runs `cycle` until `seconds` have passed; stops at the first failed cycle.
template <typename Cycle>
Timing timed_cycles(double seconds, Cycle cycle) {
    const double start = now_seconds();
    long done = 0;
    bool ok = true;
    while (ok && now_seconds() - start < seconds) {
        ok = cycle(done);
        if (ok) ++done;
    }
    return finished(ok, static_cast<double>(done), start);
}

const std::vector<char>& payload(size_t n) {
    static std::vector<char> data;
    if (data.size() < n) data.assign(n, 'g');
    return data;
}

}  // namespace

std::string small_name(int client, long i) {
    char name[64];
    snprintf(name, sizeof name, "small\\c%03d\\f%07ld", client % 1000, i % 10000000);
    return name;
}

std::vector<Exchange> small_cycle_script() {
    const size_t name_field = 2 + small_name(0, 0).size() + 1;
    return {{2 + 2 + name_field, 2}, {2 + 2 + 4 + kSmallData, 4}, {2 + 2, 2}};
}

bool library_start(const std::string& ini) { return NFile_Init(ini.c_str()) == 1; }
void library_stop() { NFile_Close(); }

std::string ini_text_remote(int port) {
    return "[Config]\nCTRL_MODE=2\nHOST_NAME=127.0.0.1\nHOST_PORT=" + std::to_string(port) + "\n";
}

std::string ini_text_local(const std::string& base_dir) {
    return "[Config]\nCTRL_MODE=1\nBASE_DIR=" + base_dir + "\n";
}

Timing library_small_cycles(int client, double seconds) {
    CNFile file;
    const char* data = payload(kSmallData).data();
    return timed_cycles(seconds, [&](long i) {
        if (file.Open(small_name(client, i).c_str(), NFILE_WRITE | NFILE_CREATE) != 0) return false;
        const bool wrote = file.WriteEx(data, kSmallData) == kSmallData;
        file.Close();
        return wrote && !file.IsOpened();
    });
}

Timing raw_small_cycles(int port, double seconds) {
    const int fd = connect_loopback(port);
    if (fd < 0) return Timing{};
    Timing t = raw_small_cycles_on(fd, seconds);
    close(fd);
    return t;
}

Timing raw_small_cycles_on(int fd, double seconds) {
    const std::vector<Exchange> script = small_cycle_script();
    std::vector<char> buf(8192, 'g');
    return timed_cycles(seconds, [&](long) {
        for (const Exchange& e : script) {
            if (!send_all(fd, buf.data(), e.request) || !recv_all(fd, buf.data(), e.reply)) {
                return false;
            }
        }
        return true;
    });
}

namespace {

// The folder of client `client`'s small files under `dir`, created.
std::string small_folder(const std::string& dir, int client) {
    char sub[32];
    snprintf(sub, sizeof sub, "/small/c%03d", client % 1000);
    std::error_code ec;
    std::filesystem::create_directories(dir + sub, ec);
    return dir + sub;
}

// One small file: create, write 1 KiB, optionally fsync it and `folder_fd`, close.
bool posix_small_file(const std::string& folder, long i, int folder_fd) {
    char name[32];
    snprintf(name, sizeof name, "/f%07ld", i % 10000000);
    const int fd = open((folder + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) return false;
    bool ok = write(fd, payload(kSmallData).data(), kSmallData) == static_cast<ssize_t>(kSmallData);
    if (folder_fd >= 0) ok = ok && fsync(fd) == 0 && fsync(folder_fd) == 0;
    return close(fd) == 0 && ok;
}

}  // namespace

Timing posix_small_cycles(const std::string& dir, int client, double seconds) {
    const std::string folder = small_folder(dir, client);
    return timed_cycles(seconds, [&](long i) { return posix_small_file(folder, i, -1); });
}

Timing posix_durable_small_cycles(const std::string& dir, int client, double seconds) {
    const std::string folder = small_folder(dir, client);
    const int folder_fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (folder_fd < 0) return Timing{};
    Timing t =
        timed_cycles(seconds, [&](long i) { return posix_small_file(folder, i, folder_fd); });
    close(folder_fd);
    return t;
}

Timing library_bulk_write(const std::string& name, uint64_t bytes) {
    const double start = now_seconds();
    CNFile file;
    if (file.Open(name.c_str(), NFILE_WRITE | NFILE_CREATE) != 0) return finished(false, 0, start);
    const char* data = payload(kBulkCall).data();
    uint64_t done = 0;
    while (done < bytes) {
        const unsigned n =
            static_cast<unsigned>(bytes - done < kBulkCall ? bytes - done : kBulkCall);
        if (file.WriteEx(data, n) != n) break;
        done += n;
    }
    file.Close();
    return finished(done == bytes && !file.IsOpened(), static_cast<double>(done), start);
}

Timing library_bulk_read(const std::string& name, uint64_t bytes) {
    const double start = now_seconds();
    CNFile file;
    if (file.Open(name.c_str(), NFILE_READ) != 0) return finished(false, 0, start);
    std::unique_ptr<char[]> buf(new char[kBulkCall]);
    uint64_t done = 0;
    for (unsigned n; done < bytes && (n = file.Read(buf.get(), kBulkCall)) > 0;) done += n;
    file.Close();
    return finished(done == bytes, static_cast<double>(done), start);
}

Timing posix_bulk_write(const std::string& path, uint64_t bytes, bool durable) {
    const double start = now_seconds();
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) return finished(false, 0, start);
    const char* data = payload(kBulkCall).data();
    uint64_t done = 0;
    while (done < bytes) {
        const size_t n = bytes - done < kBulkCall ? bytes - done : kBulkCall;
        const ssize_t w = write(fd, data, n);
        if (w <= 0) break;
        done += static_cast<uint64_t>(w);
    }
    const bool synced = !durable || fsync(fd) == 0;
    const bool closed = close(fd) == 0;
    return finished(done == bytes && synced && closed, static_cast<double>(done), start);
}

Timing posix_bulk_read(const std::string& path, uint64_t bytes) {
    const double start = now_seconds();
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return finished(false, 0, start);
    std::unique_ptr<char[]> buf(new char[kBulkCall]);
    uint64_t done = 0;
    for (ssize_t r; done < bytes && (r = read(fd, buf.get(), kBulkCall)) > 0;) {
        done += static_cast<uint64_t>(r);
    }
    close(fd);
    return finished(done == bytes, static_cast<double>(done), start);
}

namespace {

// Connects to the bulk peer and sends its one-byte command and the byte count.
int bulk_connect(int port, char cmd, uint64_t bytes) {
    const int fd = connect_loopback(port);
    char head[9];
    head[0] = cmd;
    std::memcpy(head + 1, &bytes, sizeof bytes);
    if (fd >= 0 && send_all(fd, head, sizeof head)) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

}  // namespace

Timing raw_bulk_write(int port, uint64_t bytes) {
    const double start = now_seconds();
    const int fd = bulk_connect(port, 'W', bytes);
    if (fd < 0) return finished(false, 0, start);
    const char* data = payload(4096).data();
    uint64_t done = 0;
    while (done < bytes) {
        const size_t n = bytes - done < 4096 ? bytes - done : 4096;
        if (!send_all(fd, data, n)) break;
        done += n;
    }
    char ack[4];
    const bool acked = recv_all(fd, ack, sizeof ack);
    close(fd);
    return finished(done == bytes && acked, static_cast<double>(done), start);
}

Timing raw_bulk_read(int port, uint64_t bytes) {
    const double start = now_seconds();
    const int fd = bulk_connect(port, 'R', bytes);
    if (fd < 0) return finished(false, 0, start);
    char buf[4096];
    uint64_t done = 0;
    for (ssize_t r; done < bytes && (r = read(fd, buf, sizeof buf)) > 0;) {
        done += static_cast<uint64_t>(r);
    }
    close(fd);
    return finished(done == bytes, static_cast<double>(done), start);
}

namespace {

struct Upload {
    uint64_t left;
};

size_t upload_part(char* dest, size_t size, size_t nitems, void* arg) {
    Upload* up = static_cast<Upload*>(arg);
    size_t n = size * nitems;
    if (n > up->left) n = up->left;
    std::memset(dest, 'g', n);  // as cheap as handing over a buffer the host filled
    up->left -= n;
    return n;
}

size_t count_download(char*, size_t size, size_t nitems, void* arg) {
    *static_cast<uint64_t*>(arg) += size * nitems;
    return size * nitems;
}

// One transfer of `url`; the HTTP status, 0 when the transfer failed.
long perform(CURL* curl, const std::string& url) {
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    if (curl_easy_perform(curl) != CURLE_OK) return 0;
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    return status;
}

}  // namespace

Timing http_put(const std::string& url, uint64_t bytes) {
    const double start = now_seconds();
    CURL* curl = curl_easy_init();
    Upload up{bytes};
    curl_slist* headers = curl_slist_append(nullptr, "Expect:");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(bytes));
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, upload_part);
    curl_easy_setopt(curl, CURLOPT_READDATA, &up);
    const long status = perform(curl, url);
    curl_easy_cleanup(curl);
    curl_slist_free_all(headers);
    return finished((status == 201 || status == 204) && up.left == 0,
                    static_cast<double>(bytes - up.left), start);
}

Timing http_get(const std::string& url, uint64_t bytes) {
    const double start = now_seconds();
    CURL* curl = curl_easy_init();
    uint64_t got = 0;
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, count_download);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &got);
    const long status = perform(curl, url);
    curl_easy_cleanup(curl);
    return finished(status == 200 && got == bytes, static_cast<double>(got), start);
}

Timing library_table_writes(const std::string& table, size_t record_size, double seconds) {
    CNFile file;
    if (file.Open(table.c_str(), NFILE_TABLE_WRITE) != 0) return Timing{};
    std::vector<char> record(record_size, 'r');
    Timing t = timed_cycles(seconds, [&](long) {
        return file.WriteEx(record.data(), static_cast<unsigned>(record.size())) == record.size();
    });
    file.Close();
    return t;
}

namespace {

constexpr const char* kSchema =
    "PRAGMA journal_mode=WAL;"
    "CREATE TABLE IF NOT EXISTS gavo_records (seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    " table_name TEXT NOT NULL, received_utc TEXT NOT NULL, client TEXT NOT NULL,"
    " record BLOB NOT NULL);"
    "CREATE INDEX IF NOT EXISTS gavo_records_by_table ON gavo_records(table_name, seq);";

std::string utc_now() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tm parts;
    gmtime_r(&ts.tv_sec, &parts);
    char text[40];
    const size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    snprintf(text + n, sizeof text - n, ".%06ldZ", ts.tv_nsec / 1000);
    return text;
}

}  // namespace

bool sqlite_prepare(const std::string& db) {
    sqlite3* h = nullptr;
    const bool ok = sqlite3_open(db.c_str(), &h) == SQLITE_OK &&
                    sqlite3_exec(h, kSchema, nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(h);
    return ok;
}

Timing sqlite_direct_writes(const std::string& db, size_t record_size, double seconds,
                            size_t rows_per_commit, bool sync) {
    sqlite3* h = nullptr;
    sqlite3_stmt* insert = nullptr;
    if (sqlite3_open(db.c_str(), &h) != SQLITE_OK ||
        sqlite3_exec(h, sync ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL", nullptr,
                     nullptr, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(h,
                           "INSERT INTO gavo_records(table_name, received_utc, client, record)"
                           " VALUES(?,?,?,?)",
                           -1, &insert, nullptr) != SQLITE_OK) {
        sqlite3_close(h);
        return Timing{};
    }
    sqlite3_busy_timeout(h, 10000);  // the other writers of a many-writer run
    std::vector<char> record(record_size, 'r');
    const auto one_row = [&] {
        const std::string when = utc_now();
        sqlite3_bind_text(insert, 1, "bench", -1, SQLITE_STATIC);
        sqlite3_bind_text(insert, 2, when.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 3, "127.0.0.1", -1, SQLITE_STATIC);
        sqlite3_bind_blob(insert, 4, record.data(), static_cast<int>(record.size()), SQLITE_STATIC);
        const bool stored = sqlite3_step(insert) == SQLITE_DONE;
        sqlite3_reset(insert);
        return stored;
    };
    const auto exec = [h](const char* sql) {
        return sqlite3_exec(h, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    };
    // One cycle is one transaction (autocommit when it holds a single row).
    Timing t = timed_cycles(seconds, [&](long) {
        if (rows_per_commit == 1) return one_row();
        bool ok = exec("BEGIN IMMEDIATE");
        for (size_t i = 0; ok && i < rows_per_commit; ++i) ok = one_row();
        return exec(ok ? "COMMIT" : "ROLLBACK") && ok;
    });
    t.ops *= static_cast<double>(rows_per_commit);
    sqlite3_finalize(insert);
    sqlite3_close(h);
    return t;
}

}  // namespace bench
