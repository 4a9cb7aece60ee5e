// cpp-httplib's server with the admin port's bounds: a connection is judged at its
// accept, before any of its bytes is read; at most `max_connections` are held at once
// (waiting or served); a fixed number of workers serve them, one request each; and each
// connection, from its accept to its answer's last byte, must be done within `deadline`
// (from when a worker takes it instead, when its first bytes are waiting by then), so a
// client that trickles its request, or sends none, holds a slot and a worker no longer.
//
// httplib's own listener thread accepts; its task queue here runs each accepted socket
// at once on that thread (admit()), so the check and the count happen there and only
// admitted sockets reach the workers. Thread-safe; stop() from the owner's thread.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "server/base/address.h"

namespace gavo::server {

class BoundedHttpServer : public httplib::Server {
public:
    struct Bounds {
        int max_connections = 8;
        int workers = 2;
        std::chrono::milliseconds deadline{5000};
    };
    enum class Refusal { kPeer, kFull, kDeadline };
    // At accept: true lets the peer in. Called on the listener thread.
    using Admit = std::function<bool(const HostAddr& peer, const std::string& label)>;
    // After a connection was closed for `why` (kFull or kDeadline): logs and counts.
    using Refused =
        std::function<void(Refusal why, const HostAddr& peer, const std::string& label)>;

    BoundedHttpServer(Bounds bounds, Admit admit, Refused refused);
    ~BoundedHttpServer() override;

    // Ends listening, cuts the connections held and joins the workers; idempotent.
    void stop_all();
    // Connections held now, waiting or served.
    int held() const;

private:
    struct Held {
        int fd;
        HostAddr peer;
        int port;
        std::string label;
        std::chrono::steady_clock::time_point deadline;  // from the accept
    };
    // httplib's hook for an accepted socket; runs on the listener thread (see above).
    bool process_and_close_socket(socket_t sock) override;
    void work();
    void serve(const Held& h);

    const Bounds bounds_;
    const Admit admit_;
    const Refused refused_;
    std::vector<std::thread> workers_;

    mutable std::mutex mutex_;  // guards everything below
    std::condition_variable ready_;
    std::deque<Held> waiting_;  // admitted, no worker yet
    std::set<int> held_;        // every admitted socket not yet closed
    bool stopping_ = false;
};

}  // namespace gavo::server
