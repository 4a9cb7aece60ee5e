// Serves connections without a thread each. There is one epoll set per core, and the
// threads of a small pool take turns at them: one thread at a time runs a set, takes the
// connections of it that have input and serves their requests to the end inline, so a
// request costs no hand-over between threads and no system call beyond its receive and
// its send. A thread about to block (waiting for a peer mid-request, an fsync, a table
// commit, a large transfer) first calls about_to_block(), which takes its connection out
// of the set and hands the set to another pool thread (an idle one, or a new one); it
// then finishes its request on its own, the connection joins a set again, and the thread
// rejoins the pool. One thread at a time serves a connection, so its replies stay in
// order.
//
// Usage: construct, start(), watch() connections; the handler owns each connection it is
// given until it returns or watches it again (or closes it). To stop: end_turns() (no
// thread takes a connection any more), then shut_down() once the handler has nothing
// left to do. Thread-safe.
#pragma once

#include <sys/epoll.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "server/base/log.h"

namespace gavo::server {

class EventLoop {
public:
    // What the loop watches; the handler's objects derive from it. A connection passes
    // from thread to thread through epoll, which orders nothing in memory: the thread
    // that puts it into a set holds `handoff` while it does, and the handler takes
    // `handoff` before it touches the connection.
    struct Watched {
        int fd = -1;
        int set = -1;  // the epoll set it is in, -1: none; touched by its owner only
        std::mutex handoff;
    };
    using Handler = std::function<void(Watched*)>;

    // `sets`: how many epoll sets, and threads serving them at once (0: one per core).
    EventLoop(Logger& log, Handler handler, int sets = 0);
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    bool start(std::string* error);
    // Keeps `w` watched: puts it into a set unless it is in one. The handler is called
    // whenever it has input (or hangs up). False (with errno) when epoll refuses. The
    // caller holds `w.handoff`.
    bool watch(Watched& w);
    // Takes `w` out of its set, before its socket is closed: a descriptor copied into a
    // child process would otherwise keep it in the set after the close.
    void unwatch(Watched& w);
    // Runs `task` on a pool thread (work that may block: a TLS handshake, a stop).
    void run_task(std::function<void()> task);
    // No thread takes a turn at a set any more; returns once none is at one.
    // Connections still watched stay so (the caller closes them).
    void end_turns();
    // Runs the tasks still queued, then returns once every pool thread has ended.
    void shut_down();

    // Called before work that may block for long; see above. Elsewhere than on a thread
    // taking its turn at a set it does nothing.
    static void about_to_block();

    // Pool threads now (for tests and the benchmark).
    int threads() const;

private:
    static constexpr int kBatch = 64;
    struct Turn;
    static thread_local Turn* tl_turn_;  // this thread's turn at a set, if it has one

    void thread_main();
    void take_turn(size_t set);
    // Ends `turn`; `replace` finds another thread for its set.
    void leave(Turn& turn, bool replace);
    // Wakes an idle thread for a task or a set without a thread, starting one when every
    // idle thread is spoken for already; the caller holds mutex_.
    void find_thread_locked();
    // Starts a pool thread; the caller holds mutex_.
    void spawn_locked();

    Logger& log_;
    const Handler handler_;
    std::vector<int> epoll_fds_;         // one per set
    std::vector<bool> taken_;            // a thread has its turn at the set; guarded by mutex_
    std::atomic<unsigned> next_set_{0};  // where the next connection goes
    int wake_fd_ = -1;                   // an eventfd in every set: readable once the turns end

    mutable std::mutex mutex_;
    std::condition_variable work_;  // for idle threads: a task or a turn is waiting
    std::condition_variable done_;  // for end_turns() and shut_down()
    std::deque<std::function<void()>> tasks_;
    int threads_ = 0;   // pool threads alive
    int idle_ = 0;      // of them waiting for work
    int looping_ = 0;   // of them taking their turn at a set
    int starting_ = 0;  // started, not yet looking for work
    bool turns_ended_ = false;
    bool shutting_down_ = false;
};

}  // namespace gavo::server
