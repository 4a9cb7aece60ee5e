// The file port over TLS: which clients are served, how refused and wrong-protocol
// peers end (one log line, a clean close), the option combinations that refuse to start,
// reloads, and cuts at any byte of a TLS connection.
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <csignal>
#include <utility>

#include "tests/fault_proxy.h"
#include "tests/server_fixture.h"
#include "tests/server_process.h"
#include "tests/tls_certs.h"

namespace gavo::test {
namespace {

// A WireClient whose bytes travel over TLS 1.3: it trusts files.ca for the server named
// localhost and presents files.cert unless that is empty.
class TlsClient : public WireClient {
public:
    ~TlsClient() override { end(); }
    // Connects and runs the handshake. In TLS 1.3 a server refuses the client's
    // certificate only after the client's side of the handshake is done.
    bool open(int port, const TlsFiles& files, SSL_SESSION* resume = nullptr) {
        end();
        return connect(port) && handshake(files, resume);
    }
    // The handshake over the socket connect() made.
    bool handshake(const TlsFiles& files, SSL_SESSION* resume = nullptr) {
        ctx_ = SSL_CTX_new(TLS_client_method());
        SSL_CTX_load_verify_locations(ctx_, files.ca.c_str(), nullptr);
        SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
        if (!files.cert.empty()) {
            SSL_CTX_use_certificate_file(ctx_, files.cert.c_str(), SSL_FILETYPE_PEM);
            SSL_CTX_use_PrivateKey_file(ctx_, files.key.c_str(), SSL_FILETYPE_PEM);
        }
        ssl_ = SSL_new(ctx_);
        SSL_set_fd(ssl_, fd());
        SSL_set1_host(ssl_, "localhost");
        if (resume != nullptr) SSL_set_session(ssl_, resume);
        return SSL_connect(ssl_) == 1;
    }
    SSL* ssl() const { return ssl_; }
    void end() {
        SSL_free(std::exchange(ssl_, nullptr));
        SSL_CTX_free(std::exchange(ctx_, nullptr));
        close();
    }

protected:
    ssize_t send_some(const char* p, size_t n) override {
        return std::max(SSL_write(ssl_, p, static_cast<int>(n)), -1);
    }
    // An alert or the end of the stream both mean the server closed the connection.
    ssize_t recv_some(char* p, size_t n) override {
        const int got = SSL_read(ssl_, p, static_cast<int>(n));
        const int e = got > 0 ? SSL_ERROR_NONE : SSL_get_error(ssl_, got);
        ERR_clear_error();
        return got > 0 ? got : e == SSL_ERROR_SYSCALL && errno == EAGAIN ? -1 : 0;
    }

private:
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
};

class TlsServerTest : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        signal(SIGPIPE, SIG_IGN);  // the client's OpenSSL writes with write()
        pki_ = std::make_unique<TestPki>(dir_);
        server_files_ = pki_->issue("server", "gavo-server");
        host_ = pki_->issue("host-a", "host-a");
    }
    void start_tls(bool client_ca) {
        config_.tls_cert = server_files_.cert, config_.tls_key = server_files_.key;
        config_.tls_client_ca = client_ca ? pki_->ca_file() : "";
        start();
    }
    int lines_with(const std::string& text) {
        std::lock_guard<std::mutex> lock(log_mutex_);
        int n = 0;
        for (const std::string& line : log_) n += line.find(text) != std::string::npos;
        return n;
    }
    // Stores `size` bytes and reads them back: beyond a buffer, through the server's
    // receive-into and large-send paths (a read's count and first bytes share a record).
    // The bytes differ along the file, so that a piece out of place shows.
    static void store_and_fetch(WireClient& c, size_t size) {
        std::string data(size, '\0');
        for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i % 251);
        const int h = c.open(0x0B, "f.bin");
        EXPECT_EQ(c.write(h, data), static_cast<int64_t>(size));
        EXPECT_EQ(c.close_handle(h), 0);
        int64_t length = 0;
        const int r = c.open_ex(0x01, "f.bin", &length);
        std::string back;
        EXPECT_EQ(c.read(r, static_cast<int32_t>(size), &back), static_cast<int64_t>(size));
        EXPECT_TRUE(back == data && c.close_handle(r) == 0);
    }

    std::unique_ptr<TestPki> pki_;
    TlsFiles server_files_, host_;
};

TEST_F(TlsServerTest, ClientsAreServedOrEndWithOneLineAndACleanClose) {
    TestPki other(dir_, "Other CA", "other");
    const TlsFiles expired = pki_->issue("old", "host-old", -7200, -3600);
    const TlsFiles foreign = {pki_->ca_file(), other.issue("f", "host-a").cert, dir_ + "f.key"};
    const TlsFiles none = {pki_->ca_file(), "", ""};
    const TlsFiles distrusting = {other.ca_file(), host_.cert, host_.key};
    const std::string request = be16(8) + name_field("f"), silent, half_hello = "\x16\x03\x01";
    const struct {
        bool tls, client_ca;
        const TlsFiles* files;  // a TLS client's; null: a plain one sending `bytes`
        const std::string* bytes;
        const char* line;  // the line the connection ends (or is served) with
    } cases[] = {
        {true, true, &host_, nullptr, " CN=host-a: opened (TLSv1.3"},
        {true, false, &none, nullptr, "opened (TLSv1.3 TLS_AES_128_GCM"},
        {true, true, &expired, nullptr, "refused: certificate has expired"},
        {true, true, &foreign, nullptr, "refused: unable to get local issuer"},
        {true, true, &none, nullptr, "failed: peer did not return a cert"},
        {true, true, &distrusting, nullptr, "failed: tlsv1 alert unknown ca"},
        {true, false, nullptr, &request, "not a TLS client (first byte 0x00"},
        {true, false, nullptr, &silent, "failed: not done within the stall time-out"},
        {true, false, nullptr, &half_hello, "failed: not done within the stall"},
        {false, false, &host_, nullptr, "unknown opcode 5635 (a TLS handshake"},
    };
    // The counters are the process's: an earlier test or repetition counted too.
    const auto handshakes = [](const std::string& result) {
        const std::string page = server::render_metrics({}, "t");
        const std::string series = "gavo_tls_handshakes_total{result=\"" + result + "\"} ";
        const size_t at = page.find(series);
        return at == std::string::npos ? -1L : std::stol(page.substr(at + series.size()));
    };
    const long ok_before = handshakes("ok"), failed_before = handshakes("failed");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        server_.reset();
        log_.clear();
        config_.tls_cert = config_.tls_key = config_.tls_client_ca = "";
        c.tls ? start_tls(c.client_ca) : start();
        const bool served = std::string(c.line).find("opened") != std::string::npos;
        TlsClient tls;
        WireClient plain;
        if (c.files != nullptr && tls.open(server_->port(), *c.files) && served) {
            store_and_fetch(tls, 300000);
        } else if (c.files != nullptr) {
            EXPECT_EQ(tls.exists("f"), kNoReply);
            EXPECT_TRUE(tls.closed_by_peer());
        } else {
            ASSERT_TRUE(plain.connect(server_->port()));
            plain.send_raw(*c.bytes);
            EXPECT_TRUE(plain.closed_by_peer());
        }
        tls.end();
        ASSERT_TRUE(eventually([&] { return server_->connections() == 0; }));
        EXPECT_EQ(lines_with(c.line), 1) << log_.back();
        // A refused TLS client leaves that one line and no other of its connection.
        if (c.tls && !served) {
            EXPECT_EQ(lines_with("conn 1 "), 1);
        }
    }
    EXPECT_EQ(handshakes("ok") - ok_before, 2);
    EXPECT_EQ(handshakes("failed") - failed_before, 7);
}

// A client with a small receive buffer makes the server's sends end short again and
// again: the records left over go first on the next send, none twice or out of order.
TEST_F(TlsServerTest, RepliesLargerThanTheClientTakesAtOnceArriveWhole) {
    start_tls(true);
    // The count and the body filling one record exactly or by one byte more, a body
    // that ends on a record's edge, and one spanning several sends.
    for (const size_t size : {size_t{16384 - 4}, size_t{16384 - 3}, size_t{65536},
                              size_t{4 * 16384 - 4}, size_t{5 * 65536 + 7}}) {
        SCOPED_TRACE(size);
        TlsClient c;
        ASSERT_TRUE(c.connect(server_->port()));
        const int small = 16384;
        setsockopt(c.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        ASSERT_TRUE(c.handshake(host_));
        store_and_fetch(c, size);
    }
}

TEST_F(TlsServerTest, ReloadTakesNewFilesForNewConnectionsAndRefusesBadOnes) {
    write_file(dir_ + "tables", "events = line\n");
    config_.tables_file = dir_ + "tables";
    start_tls(true);
    TlsClient first;
    ASSERT_TRUE(first.open(server_->port(), host_));
    EXPECT_EQ(first.exists("f"), 0);
    SSL_SESSION* ticket = SSL_get1_session(first.ssl());
    TlsClient again;  // a reconnecting client resumes its session
    ASSERT_TRUE(again.open(server_->port(), host_, ticket));
    EXPECT_EQ(SSL_session_reused(again.ssl()), 1);
    SSL_SESSION_free(ticket);
    // A second record behind the first, still in the TLS session after two buffers'
    // worth (header 4 bytes + 8188), is seen and refused.
    EXPECT_EQ(again.table_write(again.table_open("events"), std::string(8187, 'r') + "\ny\n"),
              kNoReply);
    EXPECT_TRUE(logged("carried more than one line:65536 record"));
    const TlsFiles renewed = pki_->issue("renewed", "gavo-server-2");
    const struct {
        std::string cert, key, ca;
        const char* error;  // empty: taken
    } cases[] = {
        {renewed.cert, server_files_.key, pki_->ca_file(), "does not match the certificate"},
        {renewed.cert, dir_ + "missing.key", pki_->ca_file(), "cannot read the TLS key"},
        {renewed.cert, renewed.key, "", "turning TLS or client certificates on or off"},
        {renewed.cert, renewed.key, pki_->ca_file(), ""},
    };
    for (const auto& c : cases) {
        server::ServerConfig fresh = config_;
        fresh.tls_cert = c.cert, fresh.tls_key = c.key, fresh.tls_client_ca = c.ca;
        std::string error;
        EXPECT_EQ(server_->reload(fresh, &error), *c.error == '\0') << error;
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
    EXPECT_EQ(first.exists("f"), 0);  // connections keep their session
    TlsClient fresh;
    ASSERT_TRUE(fresh.open(server_->port(), host_));
    std::string cn, why;
    EXPECT_TRUE(server::cert_common_name(SSL_get0_peer_certificate(fresh.ssl()), &cn, &why));
    EXPECT_EQ(cn, "gavo-server-2");
}

TEST_F(TlsServerTest, CutsAtAnyByteLeaveNoCrashHangOrDescriptor) {
    start_tls(true);
    FaultProxy proxy(server_->port());
    const int baseline = open_descriptors();
    for (size_t at = 0; at < 3000; at += 61) {
        for (const auto dir : {FaultProxy::Dir::ToServer, FaultProxy::Dir::ToClient}) {
            const int conn = proxy.accepted();
            proxy.arm(conn, dir, at, at % 2 ? FaultProxy::Fault::Reset : FaultProxy::Fault::Close);
            TlsClient c;
            if (c.open(proxy.port(), host_)) c.exists("f");  // either answer is fine
            c.end();
        }
    }
    ASSERT_TRUE(proxy.wait_idle());
    ASSERT_TRUE(eventually([&] { return server_->connections() == 0; }));
    EXPECT_TRUE(eventually([&] { return open_descriptors() == baseline; }));
}

TEST_F(TlsServerTest, BadTlsOptionsRefuseToStart) {
    const TlsFiles other = pki_->issue("other", "other");
    const std::string& cert = server_files_.cert;
    const struct {
        std::vector<std::string> args;
        int exit;
        const char* error;
    } cases[] = {
        {{"--tls-cert", cert}, 2, "--tls-cert: needs --tls-key"},
        {{"--tls-key", server_files_.key}, 2, "--tls-key: needs --tls-cert"},
        {{"--tls-client-ca", pki_->ca_file()}, 2, "--tls-client-ca: needs --tls-cert"},
        {{"--tls-cert", dir_ + "none.pem", "--tls-key", other.key}, 1, "cannot read the TLS cert"},
        {{"--tls-cert", cert, "--tls-key", other.key}, 1, "does not match the certificate"},
        {{"--tls-cert", cert, "--tls-key", cert}, 1, "cannot use the TLS key"},
        {{"--tls-cert", cert, "--tls-key", server_files_.key, "--tls-client-ca", other.key},
         1,
         "cannot use the TLS client authority file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--root", root_};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const std::string log = dir_ + "log" + std::to_string(&c - cases);
        ServerProcess p;
        EXPECT_FALSE(p.start(args, log));
        EXPECT_EQ(p.signal_and_wait(0), c.exit);
        EXPECT_NE(read_file(log).find(c.error), std::string::npos) << read_file(log);
    }
}

}  // namespace
}  // namespace gavo::test
