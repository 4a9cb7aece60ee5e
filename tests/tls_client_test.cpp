// The server channels over TLS against the scripted server, with certificates made for
// each test: trust, refusals at start-up, refused settings, resumed reconnection.
#include <cerrno>
#include <memory>
#include <string>

#include "net/messages.h"
#include "tests/remote_fixture.h"
#include "tests/tls_certs.h"

namespace gavo::test {
namespace {

class TlsClientTest : public RemoteTest {
protected:
    void SetUp() override {
        RemoteTest::SetUp();
        pki_ = std::make_unique<TestPki>(dir_);
        host_ = pki_->issue("host", "gavo-host");
    }
    // gavo.ini for working mode 2 on `server` with the section [TLS] `tls`.
    void write_tls_ini(const FakeServer& server, const std::string& tls) {
        write_ini("[Config]\nCTRL_MODE=2\nHOST_NAME=127.0.0.1\nHOST_PORT=" + server.port_text() +
                  "\n[TLS]\n" + tls + "\n");
    }
    // [TLS] that trusts the test authority and presents the host's certificate.
    std::string host_tls() const {
        return "ENABLE=1\nCA_FILE=" + pki_->ca_file() + "\nCERT_FILE=" + host_.cert +
               "\nKEY_FILE=" + host_.key + "\n";
    }

    std::unique_ptr<TestPki> pki_;
    TlsFiles host_;
};

// The server's certificate, the name it is checked against and the server's trust in the
// host decide. Accepted: IsExist round-trips, its bytes unchanged inside TLS. Refused by
// the host: the report lines of a failed channel opening with socket error 12175. Refused
// by the server (after the host's side of the handshake, as TLS 1.3 does): the first
// request fails. The trace log says why.
TEST_F(TlsClientTest, ServerCertificateAndNameDecideTheStartUp) {
    TestPki other(dir_, "Other CA", "other");
    const struct {
        TlsFiles server;
        std::string client_ca, server_name;
        int init, exists;
        const char* trace;
    } cases[] = {
        {pki_->issue("server", "gavo-server"), pki_->ca_file(), "", 1, 1,
         "subject=/O=GAVO tests/CN=gavo-server"},
        {pki_->issue("named", "gavo-named"), "", "SERVER_NAME=localhost", 1, 1, "TLSv1.3"},
        {pki_->issue("wrong", "gavo-wrong"), "", "SERVER_NAME=files.example", 0, 0,
         "hostname mismatch"},
        {pki_->issue("expired", "gavo-old", -7200, -3600), "", "", 0, 0, "certificate has expired"},
        {other.issue("stranger", "gavo-x"), "", "", 0, 0, "unable to get local issuer certificate"},
        // The server's refusal arrives at the first send (-52) or receive (-53).
        {pki_->issue("picky", "gavo-picky"), other.ca_file(), "", 1, -1, ""},
    };
    for (const auto& c : cases) {
        FakeServer server;
        server.use_tls(c.server, c.client_ca);
        server.reply(0, 6, be32(1));
        write_tls_ini(server, host_tls() + c.server_name);
        const size_t log_mark = error_log().size(), trace_mark = trace_log().size();
        ASSERT_EQ(NFile_Init(), c.init) << c.trace;
        const int exists = c.init == 1 ? CNFile::IsExist("a") : 0;
        EXPECT_EQ(exists < 0 ? -1 : exists, c.exists) << c.trace;
        EXPECT_EQ(server.received_now(0), c.exists == 1 ? be16(8) + wire_string("a") : "");
        NFile_Close();  // flushes the socket-error line
        const std::string refused = std::string(",") + msg::kOpenArchiveChannel + ",0," +
                                    msg::kFailed + "\nSocketError12175";
        EXPECT_EQ(error_log().find(refused, log_mark) != std::string::npos, c.init == 0);
        EXPECT_NE(trace_log().find(c.trace, trace_mark), std::string::npos) << trace_log();
    }
}

// Settings that cannot work are refused at NFile_Init with the key named, before any
// connection; without ENABLE=1 the [TLS] keys are not even read and the channels are plain.
TEST_F(TlsClientTest, UnusableSettingsAreRefusedAtInitNamingTheKey) {
    const TlsFiles stray = pki_->issue("stray", "gavo-stray");
    const std::string missing = dir_ + "missing.pem";
    const struct {
        std::string tls;  // the [TLS] section
        const char* key;  // named by the refusal; null: accepted
        const char* detail;
    } cases[] = {
        {"ENABLE=1\nCA_FILE=" + missing, "CA_FILE", msg::kTlsFileUnusable},
        {"ENABLE=1\nCERT_FILE=" + missing, "CERT_FILE", msg::kTlsFileUnusable},
        {"ENABLE=1\nCERT_FILE=" + host_.cert + "\nKEY_FILE=" + stray.key, "KEY_FILE",
         msg::kTlsKeyMismatch},
        {"ENABLE=1\nKEY_FILE=" + host_.key, "CERT_FILE", msg::kTlsFileUnusable},
        {"ENABLE=1\nCA_FILE=" + std::string(260, 'a'), "CA_FILE", msg::kValueTooLong},
        {"ENABLE=1\nSERVER_NAME=" + std::string(256, 'a'), "SERVER_NAME", msg::kValueTooLong},
        {"ENABLE=yes\nCA_FILE=" + std::string(600, 'a'), nullptr, nullptr},
    };
    for (const auto& c : cases) {
        write_tls_ini(server_, c.tls);  // only the last case connects
        const size_t mark = error_log().size();
        EXPECT_EQ(NFile_Init(), c.key ? 0 : 1) << c.tls;
        const std::string line =
            c.key ? std::string(",NFile_Init:TLS:") + c.key + ",-1," + c.detail : "TLS";
        EXPECT_EQ(error_log().find(line, mark) != std::string::npos, c.key != nullptr) << c.tls;
        NFile_Close();
    }
}

// A dropped connection is broken: the request fails (-54), the next reconnects (-100)
// resuming the archive channel's session (the log channel read no reply, so it has none),
// and the one after is answered on the new connection.
TEST_F(TlsClientTest, ReconnectionAfterADroppedConnectionResumesTheSession) {
    server_.use_tls(pki_->issue("server", "gavo-server"), pki_->ca_file());
    server_.reply(0, 6, be32(1));
    server_.close_after(0, 6);
    server_.reply(2, 6, be32(1));
    write_tls_ini(server_, host_tls());
    ASSERT_EQ(NFile_Init(), 1);
    for (int expected : {1, -54, -100, 1}) EXPECT_EQ(CNFile::IsExist("a"), expected);
    const std::string trace = trace_log();
    const size_t resumed = trace.find("resumed=1");
    EXPECT_NE(resumed, std::string::npos) << trace;
    EXPECT_EQ(trace.find("resumed=1", resumed + 1), std::string::npos) << trace;
}

// After the handshake the session's bytes go through the platform's socket calls, so a
// failed one is the socket's own: a send to a closed peer fails the request (-52) with
// EPIPE (sent with MSG_NOSIGNAL: no SIGPIPE reaches the host), a reset receive (-53)
// keeps its errno and an expired reply time-out reads as a time-out.
TEST_F(TlsClientTest, SessionBytesFailAsTheSocketCallsBeneathThem) {
    const struct {
        Call call;
        int err, code, noted;
    } cases[] = {
        {Call::Send, EPIPE, -52, EPIPE},
        {Call::Recv, ECONNRESET, -53, ECONNRESET},
        {Call::Recv, EAGAIN, -53, ETIMEDOUT},
    };
    const TlsFiles server_files = pki_->issue("server", "gavo-server");
    for (const auto& c : cases) {
        FakeServer server;
        server.use_tls(server_files, pki_->ca_file());
        server.reply(0, 6, be32(1));
        write_tls_ini(server, host_tls());
        ASSERT_EQ(NFile_Init(), 1);
        platform_->fail(c.call, 1, c.err);
        EXPECT_EQ(CNFile::IsExist("a"), c.code) << c.err;
        EXPECT_EQ(gavo::last_socket_error(), c.noted);
        NFile_Close();
    }
}

}  // namespace
}  // namespace gavo::test
