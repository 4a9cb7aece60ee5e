// The library against the real file server, in-process on a free loopback port: the
// library runs on the test's fault platform (sleeps recorded, not made), the server on
// the system directly. The server can be stopped and started again on the same port,
// with the same root, while the library runs.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "include/GAVO_Client.h"
#include "server/server.h"
#include "tests/test_support.h"
#include "tests/tls_certs.h"

namespace gavo::test {

// A CNFile whose fields the tests may read.
struct ProbedFile : CNFile {
    using CNFile::m_nHandle;
    using CNFile::m_nLastErrCode;
    using CNFile::m_nOpenFlags;
    using CNFile::m_pFile;
};

class LibraryServerTest : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        root_ = dir_ + "root/";
        local_ = dir_ + "local/";
        config_.listen_host = "127.0.0.1";
        config_.listen_port = 0;
        config_.root = root_;
        config_.sync = false;
        config_.stall_timeout = std::chrono::milliseconds(2000);
    }
    void TearDown() override {
        NFile_Close();
        stop_server();
        LibraryTest::TearDown();
    }

    // Starts the server (again on the port it had, once it has had one).
    void start_server() {
        std::lock_guard<std::mutex> lock(server_mutex_);
        if (!logger_) {
            logger_ = std::make_unique<server::Logger>([this](const std::string& line) {
                std::lock_guard<std::mutex> guard(log_mutex_);
                server_log_.push_back(line);
            });
        }
        config_.listen_port = port_;
        server_ = std::make_unique<server::Server>(config_, *logger_);
        std::string error;
        ASSERT_TRUE(server_->start(&error)) << error;
        port_ = server_->port();
    }
    // Stops the server: connections in flight end, idle ones are closed.
    void stop_server() {
        std::lock_guard<std::mutex> lock(server_mutex_);
        server_.reset();
    }
    // Connections the server is serving now (0 while stopped).
    int server_connections() {
        std::lock_guard<std::mutex> lock(server_mutex_);
        return server_ ? server_->connections() : 0;
    }

    // Writes gavo.ini for working mode `mode`: the server's port (or `port`), the local
    // base folder, and the [TLS] section once use_tls() has been called.
    void write_mode_ini(int mode, int port = 0) {
        write_ini("[Config]\nCTRL_MODE=" + std::to_string(mode) +
                  "\nHOST_NAME=127.0.0.1\nHOST_PORT=" + std::to_string(port ? port : port_) +
                  "\nBASE_DIR=" + dir_ + "local\n" + tls_section_);
    }
    // TLS from the next server start and gavo.ini on: the server presents `server` and
    // requires client certificates from `host`'s authority; the host presents `host`,
    // trusts `server`'s authority and expects `server_name` in its certificate.
    void use_tls(const TlsFiles& server, const TlsFiles& host,
                 const std::string& server_name = "localhost") {
        config_.tls_cert = server.cert;
        config_.tls_key = server.key;
        config_.tls_client_ca = host.ca;
        tls_section_ = "[TLS]\nENABLE=1\nCA_FILE=" + server.ca + "\nCERT_FILE=" + host.cert +
                       "\nKEY_FILE=" + host.key + "\nSERVER_NAME=" + server_name + "\n";
    }
    // use_tls() with a server and a host certificate of a new authority.
    void use_test_tls() {
        pki_ = std::make_unique<TestPki>(dir_);
        use_tls(pki_->issue("server", "gavo-server"), pki_->issue("host", "host-a"));
    }
    // Starts the server and the library in working mode 2 on it.
    void start_remote() {
        start_server();
        write_mode_ini(2);
        ASSERT_EQ(NFile_Init(), 1);
    }

    // Waits (up to 20 s) for `done`; a safety limit, not a timing requirement.
    template <class F>
    static bool eventually(F done) {
        for (int i = 0; i < 2000; ++i) {
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return done();
    }

    std::string root_;   // the server's root, ends in '/'
    std::string local_;  // BASE_DIR of working mode 1, ends in '/'
    int port_ = 0;
    server::ServerConfig config_;
    std::string tls_section_;  // [TLS] of gavo.ini; empty: plain text
    std::unique_ptr<TestPki> pki_;

private:
    std::mutex server_mutex_;
    std::unique_ptr<server::Logger> logger_;
    std::unique_ptr<server::Server> server_;
    std::mutex log_mutex_;
    std::vector<std::string> server_log_;
};

}  // namespace gavo::test
