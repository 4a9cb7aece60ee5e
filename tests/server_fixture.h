// A file server running in-process on a free loopback port, over a fresh temporary root,
// with its log lines captured for the tests to inspect.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/server.h"
#include "tests/test_support.h"
#include "tests/wire_client.h"

namespace gavo::test {

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = make_temp_dir();
        ASSERT_FALSE(dir_.empty());
        root_ = dir_ + "root/";
        config_.listen_host = "127.0.0.1";
        config_.listen_port = 0;
        config_.root = root_;
        config_.stall_timeout = std::chrono::milliseconds(2000);
    }
    void TearDown() override {
        server_.reset();
        remove_tree(dir_);
    }

    // Starts the server with config_ as the test has adjusted it.
    void start() {
        logger_ = std::make_unique<server::Logger>([this](const std::string& line) {
            std::lock_guard<std::mutex> lock(log_mutex_);
            log_.push_back(line);
        });
        server_ = std::make_unique<server::Server>(config_, *logger_);
        std::string error;
        ASSERT_TRUE(server_->start(&error)) << error;
    }
    // A client connected to the server (from `local_ip` when given).
    std::unique_ptr<WireClient> client(const char* local_ip = nullptr) {
        auto c = std::make_unique<WireClient>();
        EXPECT_TRUE(c->connect(server_->port(), local_ip));
        return c;
    }
    // True when some log line contains `text`.
    bool logged(const std::string& text) {
        std::lock_guard<std::mutex> lock(log_mutex_);
        for (const std::string& line : log_) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }
    // Waits (up to 20 s) for `done` to hold; no timing threshold, only a safety limit.
    template <class F>
    static bool eventually(F done) {
        for (int i = 0; i < 2000; ++i) {
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return done();
    }
    bool exists_on_disk(const std::string& path) {
        struct stat st;
        return ::lstat(path.c_str(), &st) == 0;
    }

    std::string dir_;   // the test's folder, ends in '/'
    std::string root_;  // the served root, ends in '/'
    server::ServerConfig config_;
    std::unique_ptr<server::Logger> logger_;
    std::unique_ptr<server::Server> server_;
    std::mutex log_mutex_;
    std::vector<std::string> log_;
};

}  // namespace gavo::test
