#include "server/files/list_cursor.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace gavo::server {

bool ListMemory::take(size_t bytes) {
    size_t now = held_.load(std::memory_order_relaxed);
    do {
        if (bytes > cap_ - std::min(now, cap_)) return false;
    } while (!held_.compare_exchange_weak(now, now + bytes, std::memory_order_relaxed));
    return true;
}

ListCharge& ListCharge::operator=(ListCharge&& o) noexcept {
    if (this != &o) {
        reset(0);
        memory_ = o.memory_;
        bytes_ = std::exchange(o.bytes_, 0);
    }
    return *this;
}

void ListCharge::reset(size_t bytes) {
    if (bytes >= bytes_) return;
    memory_->give(bytes_ - bytes);
    bytes_ = bytes;
}

NameWindow::NameWindow(std::string from, size_t max_bytes, size_t min_names)
    : from_(std::move(from)), max_bytes_(max_bytes), min_names_(std::max<size_t>(min_names, 1)) {}

void NameWindow::offer(std::string_view name) {
    if (name <= from_ || (!complete_ && name > last_)) return;
    if (2 * (used() + name.size() + 1 + sizeof(uint32_t)) > max_bytes_ &&
        index_.size() >= 2 * min_names_) {
        trim();
        if (name > last_) return;
    }
    index_.push_back(static_cast<uint32_t>(names_.size()));
    names_.insert(names_.end(), name.begin(), name.end());
    names_.push_back('\0');
}

namespace {

struct ByName {
    const char* names;
    bool operator()(uint32_t a, uint32_t b) const { return std::strcmp(names + a, names + b) < 0; }
};

}  // namespace

// nth_element parts the names around the median in linear time, and the kept half moves
// down within the same buffer, so a trim costs about what offering the names did and
// needs no second buffer.
void NameWindow::trim() {
    const size_t keep = std::max(min_names_, index_.size() / 2);
    const auto nth = index_.begin() + static_cast<std::ptrdiff_t>(keep - 1);
    std::nth_element(index_.begin(), nth, index_.end(), ByName{names_.data()});
    last_ = &names_[*nth];
    index_.resize(keep);
    std::sort(index_.begin(), index_.end());  // by place: each name moves only down
    size_t to = 0;
    for (uint32_t& at : index_) {
        const size_t length = std::strlen(&names_[at]) + 1;
        std::memmove(&names_[to], &names_[at], length);
        at = static_cast<uint32_t>(to);
        to += length;
    }
    names_.resize(to);
    complete_ = false;
}

void NameWindow::finish() {
    std::sort(index_.begin(), index_.end(), ByName{names_.data()});
    const auto same = [this](uint32_t a, uint32_t b) {
        return std::strcmp(&names_[a], &names_[b]) == 0;
    };
    index_.erase(std::unique(index_.begin(), index_.end(), same), index_.end());
    index_.shrink_to_fit();
    names_.shrink_to_fit();
}

size_t NameWindow::first_after(std::string_view after) const {
    const auto at = std::upper_bound(
        index_.begin(), index_.end(), after,
        [this](std::string_view a, uint32_t i) { return a < std::string_view(&names_[i]); });
    return static_cast<size_t>(at - index_.begin());
}

const NameWindow* ListCursors::find(const ListedFolder& folder, std::string_view after, size_t page,
                                    Time now) {
    const auto it = std::find_if(cursors_.begin(), cursors_.end(),
                                 [&](const Cursor& c) { return c.folder.same_folder(folder); });
    if (it == cursors_.end()) return nullptr;
    const NameWindow& w = *it->window;
    const bool holds_page =
        after >= w.from() && (w.complete() || w.size() - w.first_after(after) >= page);
    if (!it->folder.unchanged(folder) || now - it->read_at >= kListCursorLife || !holds_page) {
        cursors_.erase(it);
        return nullptr;
    }
    std::rotate(cursors_.begin(), it, it + 1);
    return cursors_.front().window.get();
}

void ListCursors::keep(const ListedFolder& folder, std::unique_ptr<NameWindow> window,
                       ListCharge charge, Time read_at) {
    forget(folder);
    if (cursors_.size() >= kListCursorsPerConnection) cursors_.pop_back();
    cursors_.insert(cursors_.begin(),
                    Cursor{folder, std::move(window), std::move(charge), read_at});
}

void ListCursors::forget(const ListedFolder& folder) {
    cursors_.erase(std::remove_if(cursors_.begin(), cursors_.end(),
                                  [&](const Cursor& c) { return c.folder.same_folder(folder); }),
                   cursors_.end());
}

}  // namespace gavo::server
