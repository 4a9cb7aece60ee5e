// Serves connections without a thread each. There is one epoll set per core, and the
// threads of a small pool take turns at them: one thread at a time runs a set, takes the
// connections of it that have input and serves their requests to the end inline, so a
// request costs no hand-over between threads and no system call beyond its receive and
// its send.
//
// Work that may block leaves the loop through offload(), the one door for it: a wait for
// a peer mid-request or mid-handshake (Blocking::kPeer), or the server's own slow work,
// an fsync, a table commit outside the loop, an open on a network file system
// (Blocking::kLocal). The thread takes its connection out of the set, hands the set to
// another pool thread (an idle one, or a new one), finishes its request on its own, and
// rejoins the pool.
//
// The bound: at most `max_blocking` threads do such work at once, tasks (run_task)
// included; waits for peers may take all but a quarter of them, so that a crowd of
// stalled clients leaves room for the fsyncs and commits of the others. A thread at a set
// leaves it only when another thread takes it over: at the bound, or when no thread can
// be started (a pids or tasks limit), offload() refuses and the caller refuses its work
// (the request fails with its code, or the connection ends) while its thread stays at the
// set. Tasks wait their turn in a queue instead. So every set always has a thread, and
// the pool never exceeds one thread per set plus `max_blocking`.
//
// Work that only waits for the server's own work (a record's commit) need not hold a
// thread at all: the handler parks the connection (park()), hands it to that work and
// returns. A parked connection stays in its set, which costs no system call while its
// client waits quietly for the answer; should it send or hang up meanwhile, the handler
// is called for it as usual and takes it out of the set (unwatch), since it does not own
// it. When the work ends, resume() hands the connection back: the thread at its set calls
// the handler with it again (each set has a ready list and an eventfd that says the list
// has connections). A thread serves the ready list only after the rest of its batch of
// events, which may still name a connection that the list's handler ends. The work may
// instead take the connection back to being watched itself, under `handoff`, if it can
// finish its part without blocking.
//
// A thread that has served a batch of events (and its set's ready list) calls the batch
// hook before it waits again, and also when it leaves its set for blocking work: work
// the handler put off to the batch's end (a commit of the batch's records) is done, or
// handed on, before the thread waits for anything.
//
// Usage: construct, set_batch_end() if wanted, start(), watch() connections; the handler owns each connection it is
// given until it returns or watches it again (or closes it, or hands it to work that will
// resume() it). To stop: end_turns() (no
// thread takes a connection any more), then shut_down() once the handler has nothing
// left to do. Thread-safe.
#pragma once

#include <sys/epoll.h>

#include <atomic>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "server/base/log.h"
#include "server/base/mutex.h"

namespace gavo::server {

// What work leaves the loop for (see offload()).
enum class Blocking {
    kPeer,   // a wait for a client: mid-request, or a TLS handshake
    kLocal,  // the server's own slow work: an fsync, a table commit, a slow open
};

class EventLoop {
public:
    // What the loop watches; the handler's objects derive from it. A connection passes
    // from thread to thread through epoll, which orders nothing in memory: the thread
    // that puts it into a set holds `handoff` while it does, and the handler takes
    // `handoff` before it touches the connection.
    struct Watched {
        int fd = -1;
        // The epoll set it is in, -1: none. Touched by its owner, or while it is parked
        // by whoever holds `handoff`.
        int set = -1;
        int home = -1;  // the set whose ready list takes it back (see park())
        Mutex handoff;
    };
    // Called with a connection that has input or hung up (`resumed` false), or that
    // resume() handed back (true).
    using Handler = std::function<void(Watched* w, bool resumed)>;
    // Starts `body` on a new detached thread; false when the system refuses one.
    using ThreadStarter = std::function<bool(std::function<void()> body)>;
    // Called at the end of a batch (`leaving` false) or as the thread leaves its set for
    // blocking work (true, when it may not do the batch's work any more).
    using BatchEnd = std::function<void(bool leaving)>;

    // `sets`: how many epoll sets, and threads serving them at once (0: one per core).
    // `max_blocking`: threads that may do blocking work at once (at least 1). `starter`:
    // how threads are started (empty: pthreads with a small stack; tests make it fail).
    EventLoop(Logger& log, Handler handler, int sets = 0, int max_blocking = 64,
              ThreadStarter starter = {});
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Before start().
    void set_batch_end(BatchEnd hook) { batch_end_ = std::move(hook); }
    bool start(std::string* error);
    // Keeps `w` watched: puts it into a set unless it is in one. The handler is called
    // whenever it has input (or hangs up). False (with errno) when epoll refuses. The
    // caller holds `w.handoff`.
    bool watch(Watched& w);
    // Takes `w` out of its set, before its socket is closed: a descriptor copied into a
    // child process would otherwise keep it in the set after the close.
    void unwatch(Watched& w);
    // Called by the handler before it hands `w` to work that will resume() it: `w`
    // stays in its set (if it is in one), and comes back at that set's ready list.
    void park(Watched& w);
    // Hands `w` back to the loop from the work it was given to (see above), from any
    // thread: the handler is called with it by the thread at its set, or once the turns
    // have ended by a task (Blocking::kPeer). The caller does not touch `w` afterwards;
    // what it wrote before is seen by the handler.
    void resume(Watched& w);
    // Runs `task` on a pool thread as blocking work of `kind` (a TLS handshake, the end
    // of a connection at a stop); it waits in the queue while the bound is reached.
    void run_task(std::function<void()> task, Blocking kind = Blocking::kPeer);
    // No thread takes a turn at a set any more; returns once none is at one.
    // Connections still watched stay so (the caller closes them).
    void end_turns();
    // Runs the tasks still queued, then returns once every pool thread has ended.
    void shut_down();

    // Called before work of `kind` that may block; see above. True when the calling
    // thread may block now: it is not at a set, or another thread took its set over.
    // False at the bound or when no thread could be started: the thread still serves its
    // set and must not block (the refusal is counted in usage()).
    [[nodiscard]] static bool offload(Blocking kind);
    // True on a pool thread serving its turn at a set: it calls the batch hook before it
    // waits for anything.
    static bool at_set();

    // Pool threads now (for tests and the benchmark).
    int threads() const;
    struct Usage {
        int threads = 0;                 // pool threads alive
        int blocking = 0;                // of them doing blocking work
        int limit = 0;                   // max_blocking
        int tasks_waiting = 0;           // tasks queued for their turn
        uint64_t refused_at_limit = 0;   // offload() refusals: the bound was reached
        uint64_t refused_no_thread = 0;  // ... no thread could be started
    };
    Usage usage() const;

private:
    static constexpr int kBatch = 64;
    static constexpr size_t kKinds = 2;
    struct Turn;
    static thread_local Turn* tl_turn_;  // this thread's turn at a set, if it has one

    void thread_main();
    // Serves `set` until the thread leaves it; the kind of blocking work it left for, or -1.
    int take_turn(size_t set);
    // Calls the handler for the connections on the ready list of the set of `turn`.
    void run_resumed(Turn& turn);
    // Puts `w` on the ready list of `set`; false once the turns have ended.
    bool make_ready(Watched& w, size_t set);
    // offload() for the thread of `turn`: leaves the set to another thread when the
    // bound allows and one is found.
    bool leave_for(Turn& turn, Blocking kind);
    // Ends `turn` (its set is vacant then).
    void vacate_locked(Turn& turn) GAVO_REQUIRES(mutex_);
    // Whether blocking work of `kind` fits under the bound.
    bool room_locked(Blocking kind) const GAVO_REQUIRES(mutex_);
    // A thread for every vacant set and runnable task: wakes idle ones and starts new
    // ones up to the pool's size. False when one was needed and could not be started.
    bool find_thread_locked() GAVO_REQUIRES(mutex_);
    bool spawn_locked() GAVO_REQUIRES(mutex_);  // starts a pool thread
    int vacant_locked() const GAVO_REQUIRES(mutex_);
    bool task_runnable_locked() const GAVO_REQUIRES(mutex_);

    Logger& log_;
    const Handler handler_;
    const int max_blocking_;
    const ThreadStarter starter_;
    BatchEnd batch_end_;                 // set before start()
    std::vector<int> epoll_fds_;         // one per set; fixed once started
    std::atomic<unsigned> next_set_{0};  // where the next connection goes
    int wake_fd_ = -1;                   // an eventfd in every set: readable once the turns end
    std::vector<int> resume_fds_;        // one eventfd per set: its ready list has connections

    Mutex ready_mutex_;  // taken after a connection's handoff, never with mutex_ held
    std::vector<std::vector<Watched*>> ready_ GAVO_GUARDED_BY(ready_mutex_);  // per set
    // The turns have ended: resume() runs the handler as a task instead.
    bool ready_closed_ GAVO_GUARDED_BY(ready_mutex_) = false;

    mutable Mutex mutex_;
    CondVar work_;  // for idle threads: a task or a turn is waiting
    CondVar done_;  // for end_turns() and shut_down()
    std::vector<bool> taken_ GAVO_GUARDED_BY(mutex_);  // a thread has its turn at the set
    std::deque<std::pair<std::function<void()>, Blocking>> tasks_ GAVO_GUARDED_BY(mutex_);
    int blocking_[kKinds] GAVO_GUARDED_BY(mutex_) = {0, 0};  // threads doing blocking work
    uint64_t refused_at_limit_ GAVO_GUARDED_BY(mutex_) = 0;
    uint64_t refused_no_thread_ GAVO_GUARDED_BY(mutex_) = 0;
    int threads_ GAVO_GUARDED_BY(mutex_) = 0;   // pool threads alive
    int idle_ GAVO_GUARDED_BY(mutex_) = 0;      // of them waiting for work
    int looping_ GAVO_GUARDED_BY(mutex_) = 0;   // of them taking their turn at a set
    int starting_ GAVO_GUARDED_BY(mutex_) = 0;  // started, not yet looking for work
    bool turns_ended_ GAVO_GUARDED_BY(mutex_) = false;
    bool shutting_down_ GAVO_GUARDED_BY(mutex_) = false;
};

}  // namespace gavo::server
