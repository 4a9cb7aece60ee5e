// Serves connections without a thread each. The threads of a small pool take turns at one
// epoll set: up to one per core waits in it at once, takes the connections that have
// input and serves their requests to the end inline, so a request costs no hand-over
// between threads. A thread about to block (waiting for a peer mid-request, an fsync, a
// table commit, a large transfer) first calls about_to_block(), which hands its turn at
// the loop to another pool thread (an idle one, or a new one) and gives the rest of its
// batch back to epoll; it then finishes its request on its own and rejoins the pool.
// Connections are watched one-shot: one thread at a time serves a connection, which is
// watched again only once its requests are done, so its replies stay in order.
//
// Usage: construct, start(), watch() connections; the handler owns each connection it is
// given until it watches it again (or closes it). To stop: end_turns() (no thread takes a
// connection any more), then shut_down() once the handler has nothing left to do.
// Thread-safe.
#pragma once

#include <sys/epoll.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "server/log.h"

namespace gavo::server {

class EventLoop {
public:
    // What the loop watches; the handler's objects derive from it. A connection passes
    // from thread to thread through epoll, which orders nothing in memory: the thread
    // that gives it up holds `handoff` while it does, and the handler takes `handoff`
    // before it touches the connection.
    struct Watched {
        int fd = -1;
        bool added = false;  // in the epoll set; touched only by the thread that owns it
        std::mutex handoff;
    };
    using Handler = std::function<void(Watched*)>;

    // `turns`: how many threads wait in the loop at once (0: one per core).
    EventLoop(Logger& log, Handler handler, int turns = 0);
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    bool start(std::string* error);
    // Watches `w` until it has input (or hangs up), then hands it to the handler once.
    // False (with errno) when epoll refuses. The caller holds `w.handoff`.
    bool watch(Watched& w);
    // Runs `task` on a pool thread (work that may block: a TLS handshake, a stop).
    void run_task(std::function<void()> task);
    // No thread takes a turn at the loop any more; returns once none is in it.
    // Connections still watched stay so (the caller closes them).
    void end_turns();
    // Runs the tasks still queued, then returns once every pool thread has ended.
    void shut_down();

    // Called before work that may block for long; see above. Elsewhere than on a thread
    // taking its turn at a loop it does nothing.
    static void about_to_block();

    // Pool threads now (for tests and the benchmark).
    int threads() const;

private:
    static constexpr int kBatch = 64;
    struct Turn;
    static thread_local Turn* tl_turn_;  // this thread's turn at a loop, if it has one

    void thread_main();
    void take_turn();
    // Ends `turn`: its unserved events go back to epoll; `replace` finds another thread
    // for the loop.
    void leave(Turn& turn, bool replace);
    // Wakes an idle thread for a task or a vacant turn, starting one when every idle
    // thread is spoken for already; the caller holds mutex_.
    void find_thread_locked();
    // Starts a pool thread; the caller holds mutex_.
    void spawn_locked();
    void rearm(Watched& w);

    Logger& log_;
    const Handler handler_;
    const int turns_wanted_;
    int epoll_fd_ = -1;
    int wake_fd_ = -1;  // an eventfd in the set: readable once the turns end

    mutable std::mutex mutex_;
    std::condition_variable work_;  // for idle threads: a task or a turn is waiting
    std::condition_variable done_;  // for end_turns() and shut_down()
    std::deque<std::function<void()>> tasks_;
    int threads_ = 0;   // pool threads alive
    int idle_ = 0;      // of them waiting for work
    int looping_ = 0;   // of them taking their turn at the loop
    int starting_ = 0;  // started, not yet looking for work
    bool turns_ended_ = false;
    bool shutting_down_ = false;
};

// Whether a kind of work (opens) was slow lately: for a while after one took long on a
// loop thread, work of that kind leaves the loop first, so that a slow file system holds
// up no other connection.
class SlowWork {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kSlow{1};
    static constexpr std::chrono::seconds kRemembered{10};

    // Before the work: leaves the loop when the work was slow lately. Returns when it began.
    Clock::time_point begin() const;
    // After it.
    void end(Clock::time_point began);

private:
    std::atomic<int64_t> slow_until_ns_{0};  // steady clock
};

}  // namespace gavo::server
