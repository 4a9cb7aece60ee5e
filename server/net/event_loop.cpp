#include "server/net/event_loop.h"

#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

namespace gavo::server {

namespace {

// Pool threads need little stack: buffers larger than a few KiB live on the heap.
constexpr size_t kThreadStack = 256 * 1024;
// An idle pool thread beyond the spares ends after this long without work.
constexpr auto kIdleEnd = std::chrono::seconds(30);

struct ThreadStart {
    std::function<void()> body;
};

void* thread_main_of(void* arg) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(arg));
    // OpenSSL sends with write(): a peer gone must give EPIPE, not end the process.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    start->body();
    return nullptr;
}

bool start_pthread(std::function<void()> body) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kThreadStack);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    auto* start = new ThreadStart{std::move(body)};
    pthread_t thread;
    const int rc = pthread_create(&thread, &attr, thread_main_of, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) delete start;
    return rc == 0;
}

// Level-triggered: a connection left in the set with input is seen again by the next
// thread at the set, whatever happened to the thread that saw it first.
constexpr uint32_t kWatchEvents = EPOLLIN | EPOLLRDHUP;

}  // namespace

// A thread's turn at a set: its batch of events, and the connection it is serving.
struct EventLoop::Turn {
    Turn(EventLoop* owner, size_t index) : loop(owner), set(index) {}
    EventLoop* loop;
    size_t set;
    bool looping = true;
    int blocking = -1;  // the kind of blocking work it left the set for, -1: none
    Watched* current = nullptr;
    std::vector<Watched*> resumed;  // taken from the set's ready list
    epoll_event events[kBatch];
};

thread_local EventLoop::Turn* EventLoop::tl_turn_ = nullptr;

EventLoop::EventLoop(Logger& log, Handler handler, int sets, int max_blocking,
                     ThreadStarter starter)
    : log_(log),
      handler_(std::move(handler)),
      max_blocking_(std::max(1, max_blocking)),
      starter_(starter ? std::move(starter) : ThreadStarter(start_pthread)),
      epoll_fds_(
          static_cast<size_t>(
              sets > 0 ? sets : std::max(1, static_cast<int>(std::thread::hardware_concurrency()))),
          -1),
      resume_fds_(epoll_fds_.size(), -1),
      ready_(epoll_fds_.size()),
      taken_(epoll_fds_.size(), false) {}

EventLoop::~EventLoop() {
    for (const int fd : epoll_fds_) {
        if (fd >= 0) close(fd);
    }
    for (const int fd : resume_fds_) {
        if (fd >= 0) close(fd);
    }
    if (wake_fd_ >= 0) close(wake_fd_);
}

bool EventLoop::start(std::string* error) {
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    bool ok = wake_fd_ >= 0;
    for (size_t i = 0; ok && i < epoll_fds_.size(); ++i) {
        int& fd = epoll_fds_[i];
        fd = epoll_create1(EPOLL_CLOEXEC);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = nullptr;
        ok = fd >= 0 && epoll_ctl(fd, EPOLL_CTL_ADD, wake_fd_, &ev) == 0;
        resume_fds_[i] = ok ? eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1;
        ev.data.ptr = &resume_fds_[i];
        ok = ok && resume_fds_[i] >= 0 && epoll_ctl(fd, EPOLL_CTL_ADD, resume_fds_[i], &ev) == 0;
    }
    if (!ok) {
        *error = std::string("event loop: ") + strerror(errno);
        return false;
    }
    {
        MutexLock lock(mutex_);
        for (size_t i = 0; ok && i < epoll_fds_.size(); ++i) ok = spawn_locked();
    }
    if (ok) return true;
    // Without a thread at every set some connections would never be served.
    end_turns();
    shut_down();
    *error = "event loop: cannot start a thread for each of its " +
             std::to_string(epoll_fds_.size()) + " sets";
    return false;
}

bool EventLoop::watch(Watched& w) {
    if (w.set >= 0) return true;
    const unsigned set = next_set_.fetch_add(1, std::memory_order_relaxed) %
                         static_cast<unsigned>(epoll_fds_.size());
    epoll_event ev{};
    ev.events = kWatchEvents;
    ev.data.ptr = &w;
    if (epoll_ctl(epoll_fds_[set], EPOLL_CTL_ADD, w.fd, &ev) != 0) return false;
    w.set = static_cast<int>(set);
    return true;
}

void EventLoop::unwatch(Watched& w) {
    if (w.set < 0) return;
    epoll_ctl(epoll_fds_[static_cast<size_t>(w.set)], EPOLL_CTL_DEL, w.fd, nullptr);
    w.set = -1;
}

void EventLoop::park(Watched& w) {
    w.home = w.set >= 0 ? w.set
                        : static_cast<int>(next_set_.fetch_add(1, std::memory_order_relaxed) %
                                           static_cast<unsigned>(epoll_fds_.size()));
}

void EventLoop::resume(Watched& w) {
    // Only the thread at its set may serve a connection still in the set: another one
    // could end it while that thread holds an event naming it.
    if (w.home < 0) park(w);
    if (make_ready(w, static_cast<size_t>(w.home))) return;
    Watched* handed_back = &w;
    run_task([this, handed_back] { handler_(handed_back, true); }, Blocking::kPeer);
}

bool EventLoop::make_ready(Watched& w, size_t set) {
    MutexLock lock(ready_mutex_);
    if (ready_closed_) return false;
    ready_[set].push_back(&w);
    // A list that had connections already has its eventfd signalled.
    if (ready_[set].size() > 1) return true;
    const uint64_t one = 1;
    // An eventfd refuses a write only at its counter's maximum, when it is readable
    // anyway: the list is still served.
    if (write(resume_fds_[set], &one, sizeof one) < 0 && errno != EAGAIN) {
        log_.linef(LogLevel::kError, "event loop: resume eventfd: %s", strerror(errno));
    }
    return true;
}

void EventLoop::run_resumed(Turn& turn) {
    {
        MutexLock lock(ready_mutex_);
        uint64_t count = 0;  // cleared under the lock: a resume after this signals anew
        if (read(resume_fds_[turn.set], &count, sizeof count) < 0 && errno != EAGAIN) {
            log_.linef(LogLevel::kError, "event loop: resume eventfd: %s", strerror(errno));
        }
        turn.resumed.swap(ready_[turn.set]);
    }
    for (size_t i = 0; i < turn.resumed.size(); ++i) {
        if (!turn.looping) {  // the thread left the set: the rest go back to the loop
            resume(*turn.resumed[i]);
            continue;
        }
        turn.current = turn.resumed[i];
        handler_(turn.current, true);
    }
    turn.resumed.clear();
}

void EventLoop::run_task(std::function<void()> task, Blocking kind) {
    MutexLock lock(mutex_);
    tasks_.emplace_back(std::move(task), kind);
    find_thread_locked();  // when none can be started, the task waits for one to come free
}

int EventLoop::vacant_locked() const {
    return turns_ended_ ? 0 : static_cast<int>(epoll_fds_.size()) - looping_;
}

bool EventLoop::room_locked(Blocking kind) const {
    const int peer = blocking_[static_cast<size_t>(Blocking::kPeer)];
    if (peer + blocking_[static_cast<size_t>(Blocking::kLocal)] >= max_blocking_) return false;
    // Waits for peers leave a quarter of the bound to the server's own work.
    return kind == Blocking::kLocal || peer < max_blocking_ - max_blocking_ / 4;
}

bool EventLoop::task_runnable_locked() const {
    return !tasks_.empty() && room_locked(tasks_.front().second);
}

bool EventLoop::find_thread_locked() {
    const int needed = vacant_locked() + (task_runnable_locked() ? 1 : 0);
    const int pool = static_cast<int>(epoll_fds_.size()) + max_blocking_;
    bool ok = true;
    while (ok && idle_ + starting_ < needed && threads_ < pool) ok = spawn_locked();
    work_.notify_all();
    return idle_ + starting_ >= needed;
}

bool EventLoop::spawn_locked() {
    ++threads_;
    ++starting_;
    if (starter_([this] { thread_main(); })) return true;
    --threads_;
    --starting_;
    ++refused_no_thread_;
    if (log_.admit_repeat("event loop", "thread start failures")) {
        log_.linef(LogLevel::kError, "event loop: cannot start a thread (%d running)", threads_);
    }
    return false;
}

int EventLoop::threads() const {
    MutexLock lock(mutex_);
    return threads_;
}

EventLoop::Usage EventLoop::usage() const {
    MutexLock lock(mutex_);
    return {threads_,          blocking_[0] + blocking_[1],
            max_blocking_,     static_cast<int>(tasks_.size()),
            refused_at_limit_, refused_no_thread_};
}

void EventLoop::thread_main() {
    mutex_.lock();
    --starting_;
    for (;;) {
        if (vacant_locked() > 0) {  // the sets come first: every one needs a thread
            const size_t set = static_cast<size_t>(std::find(taken_.begin(), taken_.end(), false) -
                                                   taken_.begin());
            taken_[set] = true;
            ++looping_;
            mutex_.unlock();
            const int left_for = take_turn(set);
            mutex_.lock();
            if (left_for >= 0) --blocking_[left_for];
            continue;
        }
        if (task_runnable_locked()) {
            auto [task, kind] = std::move(tasks_.front());
            tasks_.pop_front();
            ++blocking_[static_cast<size_t>(kind)];
            mutex_.unlock();
            task();
            mutex_.lock();
            --blocking_[static_cast<size_t>(kind)];
            continue;
        }
        if (shutting_down_ && tasks_.empty()) break;
        ++idle_;
        const bool woken = work_.wait_for(mutex_, kIdleEnd);
        --idle_;
        // Threads beyond the loop's and as many spares end when work stays away.
        if (!woken && vacant_locked() == 0 && tasks_.empty() &&
            threads_ > 2 * static_cast<int>(epoll_fds_.size())) {
            break;
        }
    }
    --threads_;
    done_.notify_all();
    mutex_.unlock();
}

int EventLoop::take_turn(size_t set) {
    Turn turn(this, set);
    tl_turn_ = &turn;
    while (turn.looping) {
        const int n = epoll_wait(epoll_fds_[set], turn.events, kBatch, -1);
        if (n < 0 && errno != EINTR) {
            log_.linef(LogLevel::kError, "event loop: epoll_wait: %s", strerror(errno));
            MutexLock lock(mutex_);
            vacate_locked(turn);
            break;
        }
        bool resumes = false;
        for (int i = 0; turn.looping && i < n; ++i) {
            void* const tag = turn.events[i].data.ptr;
            if (tag == nullptr) {  // the turns have ended
                MutexLock lock(mutex_);
                vacate_locked(turn);
                break;
            }
            if (tag == &resume_fds_[set]) {
                resumes = true;
                continue;
            }
            turn.current = static_cast<Watched*>(tag);
            handler_(turn.current, false);
        }
        // After the batch (see the class comment). A thread that left the set leaves the
        // eventfd signalled for the next one.
        if (resumes && turn.looping) run_resumed(turn);
        if (batch_end_) batch_end_(false);
    }
    tl_turn_ = nullptr;
    return turn.blocking;
}

bool EventLoop::offload(Blocking kind) {
    Turn* turn = tl_turn_;
    if (turn == nullptr || !turn->looping) return true;  // off the loop already
    EventLoop* const loop = turn->loop;
    if (!loop->leave_for(*turn, kind)) return false;
    if (loop->batch_end_) loop->batch_end_(true);
    return true;
}

bool EventLoop::at_set() { return tl_turn_ != nullptr && tl_turn_->looping; }

bool EventLoop::leave_for(Turn& turn, Blocking kind) {
    MutexLock lock(mutex_);
    if (!room_locked(kind)) {
        ++refused_at_limit_;
        return false;
    }
    // Another thread must be on its way to the set before this one leaves it: an idle
    // one that no other vacant set has claimed, or a new one.
    const int needed = turns_ended_ ? 0 : vacant_locked() + 1;
    const int pool = static_cast<int>(epoll_fds_.size()) + max_blocking_;
    while (idle_ + starting_ < needed && threads_ < pool) {
        if (!spawn_locked()) return false;
    }
    if (idle_ + starting_ < needed) {
        ++refused_at_limit_;
        return false;
    }
    // The connection goes with this thread; the rest of the batch stays ready in the set
    // for the next thread.
    if (turn.current != nullptr) unwatch(*turn.current);
    ++blocking_[static_cast<size_t>(kind)];
    turn.blocking = static_cast<int>(kind);
    vacate_locked(turn);
    work_.notify_all();
    return true;
}

void EventLoop::vacate_locked(Turn& turn) {
    turn.looping = false;
    taken_[turn.set] = false;
    --looping_;
    done_.notify_all();
}

void EventLoop::end_turns() {
    {
        MutexLock lock(mutex_);
        turns_ended_ = true;
        const uint64_t one = 1;
        if (write(wake_fd_, &one, sizeof one) < 0) {
            log_.linef(LogLevel::kError, "event loop: cannot wake the loop: %s", strerror(errno));
        }
        work_.notify_all();
        while (looping_ > 0) done_.wait(mutex_);
    }
    // No thread takes the ready lists any more: what is on them, and every later resume,
    // goes to a task.
    std::vector<Watched*> left;
    {
        MutexLock lock(ready_mutex_);
        ready_closed_ = true;
        for (std::vector<Watched*>& list : ready_) {
            left.insert(left.end(), list.begin(), list.end());
            list.clear();
        }
    }
    for (Watched* w : left) run_task([this, w] { handler_(w, true); }, Blocking::kPeer);
}

void EventLoop::shut_down() {
    MutexLock lock(mutex_);
    turns_ended_ = shutting_down_ = true;
    work_.notify_all();
    while (threads_ > 0) done_.wait(mutex_);
}

}  // namespace gavo::server
