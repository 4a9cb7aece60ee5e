// The plain C interface: bad input gives codes, and what the C++ interface throws comes
// back as codes and the error record.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <future>
#include <thread>

#include "include/gavo_client_c.h"
#include "net/messages.h"
#include "tests/remote_fixture.h"

namespace gavo::test {
namespace {

struct Row {
    const char* what;
    std::function<int64_t(gavo_error*)> call;
    int64_t code;
};

// Each row gives its code, with a record (filled) and without one.
void expect_codes(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
        gavo_error error{};
        EXPECT_EQ(row.call(&error), row.code) << row.what;
        EXPECT_EQ(error.code, row.code) << row.what;
        EXPECT_NE(error.message[0], '\0') << row.what;
        EXPECT_EQ(row.call(nullptr), row.code) << row.what;
    }
}

class CInterfaceTest : public RemoteTest {
protected:
    void TearDown() override {
        EXPECT_EQ(gavo_shutdown(), 0);
        RemoteTest::TearDown();
    }
    void start_local() {
        write_ini("[Config]\nCTRL_MODE=1\nBASE_DIR=" + path("files") + "\n");
        ASSERT_EQ(gavo_init(nullptr, nullptr), 0);
    }
    char buf_[8] = {};
};

TEST_F(CInterfaceTest, CallsBeforeInitAndBadInputGiveCodesNeverACrash) {
    expect_codes({
        {"read before init", [&](gavo_error* e) { return gavo_read(1, buf_, 1, e); }, -300},
        {"close before init", [](gavo_error* e) { return gavo_close(1, e); }, -300},
    });
    EXPECT_EQ(gavo_shutdown(), 0);
    start_local();
    const int32_t closed = gavo_open("a.txt", GAVO_WRITE | GAVO_CREATE, nullptr);
    ASSERT_EQ(gavo_close(closed, nullptr), 0);
    const int32_t w = gavo_open("a.txt", GAVO_WRITE, nullptr);
    ASSERT_GT(w, 0);
    ASSERT_NE(w, closed);  // the same slot under a new generation
    uint32_t length = 0;
    expect_codes({
        {"read, handle 0", [&](gavo_error* e) { return gavo_read(0, buf_, 1, e); }, -300},
        {"write, negative", [&](gavo_error* e) { return gavo_write(-7, buf_, 1, e); }, -300},
        {"read, no such slot", [&](gavo_error* e) { return gavo_read(0x7FFF, buf_, 1, e); }, -300},
        {"write, closed", [&](gavo_error* e) { return gavo_write(closed, buf_, 1, e); }, -300},
        {"close, closed", [&](gavo_error* e) { return gavo_close(closed, e); }, -300},
        {"seek, closed", [&](gavo_error* e) { return gavo_seek(closed, 0, 0, e); }, -300},
        {"position, closed", [&](gavo_error* e) { return gavo_position(closed, e); }, -300},
        {"open, NULL", [](gavo_error* e) { return gavo_open(nullptr, GAVO_READ, e); }, -1},
        {"open_ex, NULL name", [&](gavo_error* e) { return gavo_open_ex(nullptr, 1, &length, e); },
         -1},
        {"open_ex, NULL length", [](gavo_error* e) { return gavo_open_ex("a.txt", 1, nullptr, e); },
         -1},
        {"rename, NULL", [](gavo_error* e) { return gavo_rename("a.txt", nullptr, e); }, -1},
        {"remove, NULL", [](gavo_error* e) { return gavo_remove(nullptr, e); }, -1},
        {"exists, NULL", [](gavo_error* e) { return gavo_exists(nullptr, e); }, -1},
        {"write, NULL buffer", [&](gavo_error* e) { return gavo_write(w, nullptr, 1, e); }, -1},
        {"write, 2^31", [&](gavo_error* e) { return gavo_write(w, buf_, 0x80000000u, e); }, -1},
        {"read, 2^32-1", [&](gavo_error* e) { return gavo_read(w, buf_, 0xFFFFFFFFu, e); }, -1},
        {"seek, origin 3", [&](gavo_error* e) { return gavo_seek(w, 0, 3, e); }, -1},
        // The C++ interface's refusals and failures, thrown there as the record.
        {"read, write-only", [&](gavo_error* e) { return gavo_read(w, buf_, 1, e); }, -1},
        {"write, 0 bytes", [&](gavo_error* e) { return gavo_write(w, buf_, 0, e); }, -1},
        {"open, missing", [](gavo_error* e) { return gavo_open("no.txt", GAVO_READ, e); }, -102},
        {"open, table flags", [](gavo_error* e) { return gavo_open("t", 0x100, e); }, -1},
    });
    EXPECT_EQ(gavo_write(w, "ok", 2, nullptr), 2);  // the refusals left the handle usable
    EXPECT_TRUE(reported("gavo_write", -300, std::to_string(closed)));
    EXPECT_TRUE(reported("gavo_open", -1, gavo::msg::kBadName));
}

// The CFileException* of a failing local read, write or close: the code and the OS error.
TEST_F(CInterfaceTest, LocalFileFailuresGiveTheCodeAndTheOsError) {
    start_local();
    struct Fault {
        Call call;
        int err;
        std::function<int32_t(int32_t, gavo_error*)> op;
        int code;
        int os_error;
    } faults[] = {
        {Call::Write, ENOSPC, [&](int32_t f, gavo_error* e) { return gavo_write(f, "x", 1, e); },
         -106, 112},
        {Call::Read, EIO, [&](int32_t f, gavo_error* e) { return gavo_read(f, buf_, 1, e); }, -105,
         23},
        {Call::Close, EIO, [](int32_t f, gavo_error* e) { return gavo_close(f, e); }, -105, 23},
    };
    for (const Fault& fault : faults) {
        const int32_t file = gavo_open("b.txt", GAVO_READ | GAVO_WRITE | GAVO_CREATE, nullptr);
        ASSERT_GT(file, 0);
        platform_->fail(fault.call, 1, fault.err);
        gavo_error error{};
        EXPECT_EQ(fault.op(file, &error), fault.code);
        EXPECT_EQ(error.code, fault.code);
        EXPECT_EQ(error.os_error, fault.os_error) << error.message;
        const std::string where(error.message, std::strchr(error.message, ':'));
        EXPECT_TRUE(reported(where, fault.os_error, path("files/b.txt"))) << error_log();
        gavo_close(file, nullptr);
        EXPECT_EQ(gavo_close(file, nullptr), -300);  // released, also by a failed close
    }
}

TEST_F(CInterfaceTest, FailedStartUpGivesMinus200) {
    RefusingPort refusing;
    write_remote_ini(refusing.port_text());
    expect_codes({
        {"init", [](gavo_error* e) { return gavo_init(nullptr, e); }, -200},
        {"open", [](gavo_error* e) { return gavo_open("a", GAVO_READ, e); }, -200},
        {"exists", [](gavo_error* e) { return gavo_exists("a", e); }, -200},
    });
}

// A handle in the middle of a call on one thread is busy for every other call.
TEST_F(CInterfaceTest, HandleInUseOnAnotherThreadIsBusy) {
    std::promise<void> go;
    std::shared_future<void> gate = go.get_future().share();
    std::atomic<bool> reading{false};
    server_.respond(0, [&](const std::string& p, std::string* reply) -> size_t {
        if (p.size() < 4) return 0;
        if (p[1] == 1 && p.size() >= 12) return *reply = be16(3), 12;  // open
        if (p[1] == 2) return *reply = be16(0), 4;                     // close
        if (p[1] != 3 || p.size() < 8) return 0;                       // read
        reading = true;
        gate.wait();
        return *reply = be32(2) + "ok", 8;
    });
    start();
    const int32_t file = gavo_open("a.txt", GAVO_READ, nullptr);
    ASSERT_GT(file, 0);
    int32_t count = 0;
    std::thread reader([&] { count = gavo_read(file, buf_, 2, nullptr); });
    while (!reading) std::this_thread::yield();
    expect_codes({
        {"write", [&](gavo_error* e) { return gavo_write(file, "x", 1, e); }, -301},
        {"close", [&](gavo_error* e) { return gavo_close(file, e); }, -301},
    });
    EXPECT_EQ(gavo_shutdown(), -301);
    go.set_value();
    reader.join();
    EXPECT_EQ(count, 2);
    EXPECT_EQ(gavo_close(file, nullptr), 0);
}

}  // namespace
}  // namespace gavo::test
