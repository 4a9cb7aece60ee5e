// The handle space: numbers 0..32767 naming the objects that clients hold open, shared
// by the files of the archive channel and the tables of the log channel (a close on the
// archive channel closes a table too).
//
// A handle belongs to the client host (IP address) that opened it: another host gets it
// refused, while any connection of the owning host may use it, so handles survive the
// client's reconnection. When a host's last connection ends, its handles stay for a
// grace period and are then closed (take_expired). Each host may hold a limited number.
// Handles are given out round-robin, so a number just closed is not reused at once.
//
// Thread-safe: one mutex guards the table; the objects lock themselves.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "server/address.h"

namespace gavo::server {

using Clock = std::chrono::steady_clock;

// Something a handle names. close() is called exactly once, by whoever took the object
// out of the table; it returns 0 or a library code.
class OpenObject {
public:
    virtual ~OpenObject() = default;
    virtual int close() = 0;
    // A short description for log lines ("file a/b.txt").
    virtual std::string describe() const = 0;
};

enum class Lookup { kFound, kUnknown, kOtherHost };

class HandleTable {
public:
    static constexpr int kHandleCount = 32768;
    using Taken = std::vector<std::pair<int, std::shared_ptr<OpenObject>>>;

    explicit HandleTable(int per_host_limit) : per_host_limit_(per_host_limit) {}

    // The new handle for `obj`, owned by `host`; -1 with `why` set when the host is at
    // its limit or every number is in use.
    int add(const HostAddr& host, std::shared_ptr<OpenObject> obj, std::string* why);
    // The object of `handle` when `host` owns it; null otherwise, with `result` telling why.
    std::shared_ptr<OpenObject> find(int handle, const HostAddr& host, Lookup* result) const;
    // As find(), and takes the handle out of the table (the caller closes the object).
    std::shared_ptr<OpenObject> remove(int handle, const HostAddr& host, Lookup* result);

    // Connection counting for the grace period.
    void connection_opened(const HostAddr& host);
    void connection_closed(const HostAddr& host, Clock::time_point now);
    // Takes out the handles of every host whose last connection ended at least `grace`
    // before `now`; `hosts` receives those hosts.
    Taken take_expired(Clock::time_point now, std::chrono::milliseconds grace,
                       std::vector<HostAddr>* hosts);
    // Takes out every handle (server stop).
    Taken take_all();

    size_t size() const;
    size_t host_handles(const HostAddr& host) const;

private:
    struct Slot {
        HostAddr owner;
        std::shared_ptr<OpenObject> obj;
    };
    struct HostState {
        int connections = 0;
        int handles = 0;
        Clock::time_point idle_since;  // when connections last dropped to 0
    };
    // Drops the host's record once it has neither connections nor handles.
    void forget_if_unused(std::map<HostAddr, HostState>::iterator it);

    const int per_host_limit_;
    mutable std::mutex mutex_;  // guards everything below
    std::unordered_map<int, Slot> slots_;
    std::map<HostAddr, HostState> hosts_;
    int next_ = 0;  // where the search for a free number starts
};

}  // namespace gavo::server
