#include "tests/fake_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>

namespace gavo::test {

namespace {

// Safety net against a client that never sends what a test waits for: the waiting test
// then fails on the bytes it got instead of hanging. Not a timing requirement.
constexpr auto kWaitLimit = std::chrono::seconds(30);

int bind_loopback(int* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

void send_all(int fd, SSL* ssl, const std::string& bytes) {
    if (ssl != nullptr) {
        if (!bytes.empty()) SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size()));
        return;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

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

// Appends what the connection has to `out`: the count, 0 when the peer closed, -1 when
// nothing is ready yet (a signal, or a TLS record that carries no data).
ssize_t receive(int fd, SSL* ssl, std::string* out) {
    char buf[8192];  // a whole TLS record: the client's are 4 KiB at most
    ssize_t n = ssl ? SSL_read(ssl, buf, sizeof buf) : ::recv(fd, buf, sizeof buf, 0);
    if (n > 0) out->append(buf, static_cast<size_t>(n));
    if (ssl && n <= 0)
        return SSL_get_error(ssl, static_cast<int>(n)) == SSL_ERROR_WANT_READ ? -1 : 0;
    return n < 0 && errno == EINTR ? -1 : n;
}

}  // namespace

FakeServer::FakeServer() {
    listen_fd_ = bind_loopback(&port_);
    if (listen_fd_ >= 0) ::listen(listen_fd_, 8);
    if (::pipe2(wake_, O_CLOEXEC) != 0) wake_[0] = wake_[1] = -1;
    thread_ = std::thread([this] { run(); });
}

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

FakeServer::~FakeServer() {
    char stop = 1;
    if (::write(wake_[1], &stop, 1) != 1) {
    }
    thread_.join();
    for (Channel& ch : channels_) shut(ch);
    ::close(listen_fd_);
    ::close(wake_[0]);
    ::close(wake_[1]);
    SSL_CTX_free(tls_);
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
    // OpenSSL writes without MSG_NOSIGNAL: a client gone mid-reply must not end the test.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    for (;;) {
        std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}};
        std::vector<int> owners{-1, -1};
        {
            std::lock_guard<std::mutex> guard(mutex_);
            for (size_t i = 0; i < channels_.size(); ++i) {
                if (channels_[i].fd < 0) continue;
                fds.push_back({channels_[i].fd, POLLIN, 0});
                owners.push_back(static_cast<int>(i));
            }
        }
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return;
        if (fds[0].revents != 0) return;
        if (fds[1].revents != 0) accept_one();
        for (size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents != 0) serve(owners[i]);
        }
    }
}

void FakeServer::accept_one() {
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    ssl_ctx_st* tls = nullptr;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        tls = tls_;
    }
    ssl_st* ssl = tls ? tls_accept(fd, tls) : nullptr;  // outside the lock: the client waits
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
    ssize_t n = receive(ch.fd, ch.ssl, &ch.received);
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
    SSL_free(ch.ssl);
    ch.ssl = nullptr;
    if (ch.fd >= 0) ::close(ch.fd);
    ch.fd = -1;
    ch.closed = true;
}

RefusingPort::RefusingPort() { fd_ = bind_loopback(&port_); }

RefusingPort::~RefusingPort() {
    if (fd_ >= 0) ::close(fd_);
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
