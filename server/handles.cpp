#include "server/handles.h"

namespace gavo::server {

int HandleTable::add(const HostAddr& host, std::shared_ptr<OpenObject> obj, std::string* why) {
    std::lock_guard<std::mutex> lock(mutex_);
    HostState& state = hosts_[host];
    if (state.handles >= per_host_limit_) {
        *why = "host holds " + std::to_string(state.handles) + " handles, the limit";
        forget_if_unused(hosts_.find(host));
        return -1;
    }
    for (int i = 0; i < kHandleCount; ++i) {
        const int h = (next_ + i) % kHandleCount;
        if (slots_.count(h) != 0) continue;
        slots_.emplace(h, Slot{host, std::move(obj)});
        next_ = (h + 1) % kHandleCount;
        ++state.handles;
        return h;
    }
    *why = "all 32768 handles are in use";
    forget_if_unused(hosts_.find(host));
    return -1;
}

std::shared_ptr<OpenObject> HandleTable::find(int handle, const HostAddr& host,
                                              Lookup* result) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = slots_.find(handle);
    if (it == slots_.end()) {
        *result = Lookup::kUnknown;
        return nullptr;
    }
    if (!(it->second.owner == host)) {
        *result = Lookup::kOtherHost;
        return nullptr;
    }
    *result = Lookup::kFound;
    return it->second.obj;
}

std::shared_ptr<OpenObject> HandleTable::remove(int handle, const HostAddr& host,
                                                Lookup* result) {
    std::shared_ptr<OpenObject> obj = find(handle, host, result);
    if (!obj) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = slots_.find(handle);
    // Another connection of the host may have closed it between find() and here.
    if (it == slots_.end() || it->second.obj != obj) {
        *result = Lookup::kUnknown;
        return nullptr;
    }
    slots_.erase(it);
    auto h = hosts_.find(host);
    if (h != hosts_.end()) {
        --h->second.handles;
        forget_if_unused(h);
    }
    return obj;
}

void HandleTable::connection_opened(const HostAddr& host) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++hosts_[host].connections;
}

void HandleTable::connection_closed(const HostAddr& host, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = hosts_.find(host);
    if (it == hosts_.end()) return;
    if (--it->second.connections == 0) it->second.idle_since = now;
    forget_if_unused(it);
}

HandleTable::Taken HandleTable::take_expired(Clock::time_point now,
                                             std::chrono::milliseconds grace,
                                             std::vector<HostAddr>* hosts) {
    std::lock_guard<std::mutex> lock(mutex_);
    Taken taken;
    for (auto h = hosts_.begin(); h != hosts_.end();) {
        const HostState& state = h->second;
        if (state.connections > 0 || state.handles == 0 || now - state.idle_since < grace) {
            ++h;
            continue;
        }
        for (auto it = slots_.begin(); it != slots_.end();) {
            if (it->second.owner == h->first) {
                taken.emplace_back(it->first, std::move(it->second.obj));
                it = slots_.erase(it);
            } else {
                ++it;
            }
        }
        hosts->push_back(h->first);
        h = hosts_.erase(h);
    }
    return taken;
}

HandleTable::Taken HandleTable::take_all() {
    std::lock_guard<std::mutex> lock(mutex_);
    Taken taken;
    for (auto& [handle, slot] : slots_) taken.emplace_back(handle, std::move(slot.obj));
    slots_.clear();
    for (auto& [host, state] : hosts_) state.handles = 0;
    return taken;
}

size_t HandleTable::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return slots_.size();
}

size_t HandleTable::host_handles(const HostAddr& host) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = hosts_.find(host);
    return it == hosts_.end() ? 0 : static_cast<size_t>(it->second.handles);
}

void HandleTable::forget_if_unused(std::map<HostAddr, HostState>::iterator it) {
    if (it != hosts_.end() && it->second.connections == 0 && it->second.handles == 0) {
        hosts_.erase(it);
    }
}

}  // namespace gavo::server
