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

bool start_detached(std::function<void()> body) {
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
    Watched* current = nullptr;
    epoll_event events[kBatch];
};

thread_local EventLoop::Turn* EventLoop::tl_turn_ = nullptr;

EventLoop::EventLoop(Logger& log, Handler handler, int sets)
    : log_(log),
      handler_(std::move(handler)),
      epoll_fds_(
          static_cast<size_t>(
              sets > 0 ? sets : std::max(1, static_cast<int>(std::thread::hardware_concurrency()))),
          -1),
      taken_(epoll_fds_.size(), false) {}

EventLoop::~EventLoop() {
    for (const int fd : epoll_fds_) {
        if (fd >= 0) close(fd);
    }
    if (wake_fd_ >= 0) close(wake_fd_);
}

bool EventLoop::start(std::string* error) {
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    bool ok = wake_fd_ >= 0;
    for (int& fd : epoll_fds_) {
        fd = ok ? epoll_create1(EPOLL_CLOEXEC) : -1;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = nullptr;
        ok = fd >= 0 && epoll_ctl(fd, EPOLL_CTL_ADD, wake_fd_, &ev) == 0;
    }
    if (!ok) {
        *error = std::string("event loop: ") + strerror(errno);
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < epoll_fds_.size(); ++i) spawn_locked();
    return true;
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

void EventLoop::run_task(std::function<void()> task) {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
    find_thread_locked();
}

void EventLoop::find_thread_locked() {
    const int vacant = turns_ended_ ? 0 : static_cast<int>(epoll_fds_.size()) - looping_;
    if (static_cast<int>(tasks_.size()) + vacant > idle_ + starting_) spawn_locked();
    work_.notify_one();
}

void EventLoop::spawn_locked() {
    ++threads_;
    ++starting_;
    if (start_detached([this] { thread_main(); })) return;
    --threads_;
    --starting_;
    log_.linef(LogLevel::kError, "event loop: cannot start a thread (%d running)", threads_);
}

int EventLoop::threads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
}

void EventLoop::thread_main() {
    std::unique_lock<std::mutex> lock(mutex_);
    --starting_;
    for (;;) {
        if (!tasks_.empty()) {
            std::function<void()> task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
            lock.lock();
            continue;
        }
        if (shutting_down_) break;
        if (!turns_ended_ && looping_ < static_cast<int>(epoll_fds_.size())) {
            const size_t set = static_cast<size_t>(std::find(taken_.begin(), taken_.end(), false) -
                                                   taken_.begin());
            taken_[set] = true;
            ++looping_;
            lock.unlock();
            take_turn(set);
            lock.lock();
            continue;
        }
        ++idle_;
        const bool woken = work_.wait_for(lock, kIdleEnd) == std::cv_status::no_timeout;
        --idle_;
        // Threads beyond the loop's and as many spares end when work stays away.
        if (!woken && tasks_.empty() && threads_ > 2 * static_cast<int>(epoll_fds_.size())) break;
    }
    --threads_;
    done_.notify_all();
}

void EventLoop::take_turn(size_t set) {
    Turn turn(this, set);
    tl_turn_ = &turn;
    while (turn.looping) {
        const int n = epoll_wait(epoll_fds_[set], turn.events, kBatch, -1);
        if (n < 0 && errno != EINTR) {
            log_.linef(LogLevel::kError, "event loop: epoll_wait: %s", strerror(errno));
            leave(turn, false);
            break;
        }
        for (int i = 0; turn.looping && i < n; ++i) {
            turn.current = static_cast<Watched*>(turn.events[i].data.ptr);
            if (turn.current == nullptr) {
                leave(turn, false);  // the turns have ended
                break;
            }
            handler_(turn.current);
        }
    }
    tl_turn_ = nullptr;
}

void EventLoop::about_to_block() {
    Turn* turn = tl_turn_;
    if (turn == nullptr || !turn->looping) return;
    // The connection goes with this thread; the rest of the batch stays ready in the set
    // for the next thread.
    if (turn->current != nullptr) turn->loop->unwatch(*turn->current);
    turn->loop->leave(*turn, true);
}

void EventLoop::leave(Turn& turn, bool replace) {
    turn.looping = false;
    std::lock_guard<std::mutex> lock(mutex_);
    taken_[turn.set] = false;
    --looping_;
    if (replace && !turns_ended_) find_thread_locked();
    done_.notify_all();
}

void EventLoop::end_turns() {
    std::unique_lock<std::mutex> lock(mutex_);
    turns_ended_ = true;
    const uint64_t one = 1;
    if (write(wake_fd_, &one, sizeof one) < 0) {
        log_.linef(LogLevel::kError, "event loop: cannot wake the loop: %s", strerror(errno));
    }
    work_.notify_all();
    done_.wait(lock, [this] { return looping_ == 0; });
}

void EventLoop::shut_down() {
    std::unique_lock<std::mutex> lock(mutex_);
    turns_ended_ = shutting_down_ = true;
    work_.notify_all();
    done_.wait(lock, [this] { return threads_ == 0; });
}

}  // namespace gavo::server
