#include "server/event_loop.h"

#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

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

constexpr uint32_t kWatchEvents = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;

}  // namespace

// A thread's turn at the loop: its batch of events, and whether it still has the turn.
struct EventLoop::Turn {
    explicit Turn(EventLoop* owner) : loop(owner) {}
    EventLoop* loop;
    bool looping = true;
    int next = 0;
    int count = 0;
    epoll_event events[kBatch];
};

thread_local EventLoop::Turn* EventLoop::tl_turn_ = nullptr;

EventLoop::EventLoop(Logger& log, Handler handler, int turns)
    : log_(log),
      handler_(std::move(handler)),
      turns_wanted_(
          turns > 0 ? turns : std::max(1, static_cast<int>(std::thread::hardware_concurrency()))) {}

EventLoop::~EventLoop() {
    if (epoll_fd_ >= 0) close(epoll_fd_);
    if (wake_fd_ >= 0) close(wake_fd_);
}

bool EventLoop::start(std::string* error) {
    epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;  // level-triggered: every thread in the loop sees it
    ev.data.ptr = nullptr;
    if (epoll_fd_ < 0 || wake_fd_ < 0 || epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &ev) != 0) {
        *error = std::string("event loop: ") + strerror(errno);
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (int i = 0; i < turns_wanted_; ++i) spawn_locked();
    return true;
}

bool EventLoop::watch(Watched& w) {
    epoll_event ev{};
    ev.events = kWatchEvents;
    ev.data.ptr = &w;
    if (epoll_ctl(epoll_fd_, w.added ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, w.fd, &ev) != 0) return false;
    w.added = true;
    return true;
}

void EventLoop::rearm(Watched& w) {
    std::lock_guard<std::mutex> lock(w.handoff);
    epoll_event ev{};
    ev.events = kWatchEvents;
    ev.data.ptr = &w;
    // It was watched a moment ago: MOD fails only when the system is out of memory, and
    // the connection then waits for the stop.
    if (epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, w.fd, &ev) != 0) {
        log_.linef(LogLevel::kError, "event loop: cannot watch socket %d again: %s", w.fd,
                   strerror(errno));
    }
}

void EventLoop::run_task(std::function<void()> task) {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
    find_thread_locked();
}

void EventLoop::find_thread_locked() {
    const int vacant = turns_ended_ ? 0 : std::max(0, turns_wanted_ - looping_);
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
        if (!turns_ended_ && looping_ < turns_wanted_) {
            ++looping_;
            lock.unlock();
            take_turn();
            lock.lock();
            continue;
        }
        ++idle_;
        const bool woken = work_.wait_for(lock, kIdleEnd) == std::cv_status::no_timeout;
        --idle_;
        // Threads beyond the loop's and as many spares end when work stays away.
        if (!woken && tasks_.empty() && threads_ > 2 * turns_wanted_) break;
    }
    --threads_;
    done_.notify_all();
}

void EventLoop::take_turn() {
    Turn turn(this);
    tl_turn_ = &turn;
    while (turn.looping) {
        const int n = epoll_wait(epoll_fd_, turn.events, kBatch, -1);
        if (n < 0 && errno != EINTR) {
            log_.linef(LogLevel::kError, "event loop: epoll_wait: %s", strerror(errno));
            leave(turn, false);
            break;
        }
        turn.count = n < 0 ? 0 : n;
        for (turn.next = 0; turn.looping && turn.next < turn.count;) {
            auto* w = static_cast<Watched*>(turn.events[turn.next++].data.ptr);
            if (w == nullptr) {
                leave(turn, false);  // the turns have ended
                break;
            }
            handler_(w);
        }
    }
    tl_turn_ = nullptr;
}

void EventLoop::about_to_block() {
    Turn* turn = tl_turn_;
    if (turn != nullptr && turn->looping) turn->loop->leave(*turn, true);
}

void EventLoop::leave(Turn& turn, bool replace) {
    turn.looping = false;
    // The rest of the batch is ready: watched again, epoll hands it to the next thread
    // at once.
    for (int i = turn.next; i < turn.count; ++i) {
        if (auto* w = static_cast<Watched*>(turn.events[i].data.ptr)) rearm(*w);
    }
    turn.count = 0;
    std::lock_guard<std::mutex> lock(mutex_);
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

SlowWork::Clock::time_point SlowWork::begin() const {
    const Clock::time_point now = Clock::now();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch());
    if (ns.count() < slow_until_ns_.load(std::memory_order_relaxed)) {
        EventLoop::about_to_block();
    }
    return now;
}

void SlowWork::end(Clock::time_point began) {
    const Clock::time_point now = Clock::now();
    if (now - began < kSlow) return;
    const auto until = std::chrono::duration_cast<std::chrono::nanoseconds>(
        (now + kRemembered).time_since_epoch());
    slow_until_ns_.store(until.count(), std::memory_order_relaxed);
}

}  // namespace gavo::server
