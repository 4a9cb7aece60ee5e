#include "tests/fake_server.h"

#include <cerrno>
#include <chrono>
#include <cstdint>

#include "tests/test_socket.h"

// The peer speaks TLS where the library's tests have it (GAVO_TEST_TLS: OpenSSL, Linux).
#if GAVO_TEST_TLS
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/time.h>
#endif

namespace gavo::test {

namespace {

// Safety net against a client that never sends what a test waits for: the waiting test
// then fails on the bytes it got instead of hanging. Not a timing requirement.
constexpr auto kWaitLimit = std::chrono::seconds(30);

using peer_socket::bind_loopback;

void send_all(int fd, ssl_st* ssl, const std::string& bytes) {
#if GAVO_TEST_TLS
    if (ssl != nullptr) {
        if (!bytes.empty()) SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size()));
        return;
    }
#else
    (void)ssl;
#endif
    size_t done = 0;
    while (done < bytes.size()) {
        long n = peer_socket::send_some(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

#if GAVO_TEST_TLS
// The server side of a TLS handshake on `fd`; null when it fails.
SSL* tls_accept(int fd, SSL_CTX* tls) {
    struct timeval limit = {std::chrono::seconds(kWaitLimit).count(), 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    SSL* ssl = SSL_new(tls);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) return ssl;
    ERR_clear_error();
    SSL_free(ssl);
    return nullptr;
}
#endif

// Appends what the connection has to `out`: the count, 0 when the peer closed, -1 when
// nothing is ready yet (a signal, or a TLS record that carries no data).
long receive(int fd, ssl_st* ssl, std::string* out) {
    char buf[8192];  // a whole TLS record: the client's are 4 KiB at most
#if GAVO_TEST_TLS
    long n = ssl ? SSL_read(ssl, buf, sizeof buf) : peer_socket::recv_some(fd, buf, sizeof buf);
    if (n > 0) out->append(buf, static_cast<size_t>(n));
    if (ssl && n <= 0)
        return SSL_get_error(ssl, static_cast<int>(n)) == SSL_ERROR_WANT_READ ? -1 : 0;
#else
    (void)ssl;
    long n = peer_socket::recv_some(fd, buf, sizeof buf);
    if (n > 0) out->append(buf, static_cast<size_t>(n));
#endif
    return n < 0 && errno == EINTR ? -1 : n;
}

}  // namespace

FakeServer::FakeServer() {
    listen_fd_ = bind_loopback(&port_);
    if (listen_fd_ >= 0) peer_socket::listen(listen_fd_, 8);
    peer_socket::make_wake_pair(wake_);
    thread_ = std::thread([this] { run(); });
}

#if GAVO_TEST_TLS
void FakeServer::use_tls(const TlsFiles& files, const std::string& client_ca) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_chain_file(ctx, files.cert.c_str());
    SSL_CTX_use_PrivateKey_file(ctx, files.key.c_str(), SSL_FILETYPE_PEM);
    // A server that verifies clients resumes sessions only within a named context.
    static const unsigned char kContext[] = "fake";
    SSL_CTX_set_session_id_context(ctx, kContext, sizeof kContext - 1);
    if (!client_ca.empty()) {
        SSL_CTX_load_verify_locations(ctx, client_ca.c_str(), nullptr);
        SSL_CTX_set_client_CA_list(ctx, SSL_load_client_CA_file(client_ca.c_str()));
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    // A record that carries no data (a client's close_notify, say) must not block the
    // one serving thread in SSL_read.
    SSL_CTX_clear_mode(ctx, SSL_MODE_AUTO_RETRY);
    std::lock_guard<std::mutex> guard(mutex_);
    SSL_CTX_free(tls_);
    tls_ = ctx;
}
#endif

FakeServer::~FakeServer() {
    peer_socket::wake_up(wake_[1]);
    thread_.join();
    for (Channel& ch : channels_) shut(ch);
    peer_socket::close(listen_fd_);
    peer_socket::close_wake_pair(wake_);
#if GAVO_TEST_TLS
    SSL_CTX_free(tls_);
#endif
}

FakeServer::Channel& FakeServer::channel(int index) {
    while (static_cast<int>(channels_.size()) <= index) channels_.emplace_back();
    return channels_[static_cast<size_t>(index)];
}

void FakeServer::reply(int index, size_t request_size, const std::string& bytes) {
    std::lock_guard<std::mutex> guard(mutex_);
    Channel& ch = channel(index);
    ch.scripted += request_size;
    ch.steps.push_back(Step{ch.scripted, bytes, false});
}

void FakeServer::close_after(int index, size_t request_size) {
    std::lock_guard<std::mutex> guard(mutex_);
    Channel& ch = channel(index);
    ch.scripted += request_size;
    ch.steps.push_back(Step{ch.scripted, std::string(), true});
}

void FakeServer::respond(int index, Responder responder) {
    std::lock_guard<std::mutex> guard(mutex_);
    channel(index).responder = std::move(responder);
}

std::string FakeServer::received(int index, size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, kWaitLimit, [&] {
        Channel& ch = channel(index);
        return ch.received.size() >= count || ch.closed;
    });
    return channel(index).received;
}

std::string FakeServer::received_now(int index) {
    std::lock_guard<std::mutex> guard(mutex_);
    return channel(index).received;
}

int FakeServer::wait_accepted(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, kWaitLimit, [&] { return accepted_ >= count; });
    return accepted_;
}

// One thread serves the listener and every connection, so replies on one channel go
// out in the order of their requests.
void FakeServer::run() {
#if GAVO_TEST_TLS
    // OpenSSL writes without MSG_NOSIGNAL: a client gone mid-reply must not end the test.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
#endif
    for (;;) {
        std::vector<peer_socket::Watch> fds{{wake_[0]}, {listen_fd_}};
        std::vector<int> owners{-1, -1};
        {
            std::lock_guard<std::mutex> guard(mutex_);
            for (size_t i = 0; i < channels_.size(); ++i) {
                if (channels_[i].fd < 0) continue;
                fds.push_back({channels_[i].fd});
                owners.push_back(static_cast<int>(i));
            }
        }
        if (!peer_socket::wait_any(&fds)) return;
        if (fds[0].ready) return;
        if (fds[1].ready) accept_one();
        for (size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].ready) serve(owners[i]);
        }
    }
}

void FakeServer::accept_one() {
    int fd = peer_socket::accept(listen_fd_);
    if (fd < 0) return;
    ssl_ctx_st* tls = nullptr;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        tls = tls_;
    }
#if GAVO_TEST_TLS
    ssl_st* ssl = tls ? tls_accept(fd, tls) : nullptr;  // outside the lock: the client waits
#else
    ssl_st* ssl = nullptr;
#endif
    std::lock_guard<std::mutex> guard(mutex_);
    Channel& ch = channel(accepted_++);
    ch.fd = fd;
    ch.ssl = ssl;
    if (tls && ssl == nullptr) shut(ch);
    changed_.notify_all();
}

void FakeServer::serve(int index) {
    std::lock_guard<std::mutex> guard(mutex_);
    Channel& ch = channel(index);
    long n = receive(ch.fd, ch.ssl, &ch.received);
    if (n < 0) return;
    if (n == 0) {
        shut(ch);
    } else {
        answer(ch);
    }
    changed_.notify_all();
}

// Sends every reply that the bytes received so far call for.
void FakeServer::answer(Channel& ch) {
    while (ch.fd >= 0 && !ch.steps.empty() && ch.received.size() >= ch.steps.front().at_total) {
        Step step = ch.steps.front();
        ch.steps.pop_front();
        if (step.close) shut(ch);
        else send_all(ch.fd, ch.ssl, step.bytes);
    }
    // Bytes beyond every scripted request, with no responder: a request the test did
    // not expect (such as the close of an object left open) ends the connection, so the
    // client gets an answer instead of waiting for ever.
    if (ch.fd >= 0 && !ch.responder && ch.steps.empty() && ch.received.size() > ch.scripted) {
        shut(ch);
    }
    while (ch.fd >= 0 && ch.responder) {
        std::string reply;
        size_t used = ch.responder(ch.received.substr(ch.answered), &reply);
        if (used == SIZE_MAX) shut(ch);
        if (used == 0 || used == SIZE_MAX) return;
        ch.answered += used;
        send_all(ch.fd, ch.ssl, reply);
    }
}

void FakeServer::shut(Channel& ch) {
#if GAVO_TEST_TLS
    SSL_free(ch.ssl);
#endif
    ch.ssl = nullptr;
    if (ch.fd >= 0) peer_socket::close(ch.fd);
    ch.fd = -1;
    ch.closed = true;
}

RefusingPort::RefusingPort() { fd_ = bind_loopback(&port_); }

RefusingPort::~RefusingPort() {
    if (fd_ >= 0) peer_socket::close(fd_);
}

std::string be16(int value) {
    std::string s(2, '\0');
    s[0] = static_cast<char>((value >> 8) & 0xFF);
    s[1] = static_cast<char>(value & 0xFF);
    return s;
}

std::string be32(int value) {
    uint32_t v = static_cast<uint32_t>(value);
    return be16(static_cast<int>(v >> 16)) + be16(static_cast<int>(v & 0xFFFF));
}

std::string wire_string(const std::string& text) {
    return be16(static_cast<int>(text.size() + 1)) + text + std::string(1, '\0');
}

}  // namespace gavo::test
