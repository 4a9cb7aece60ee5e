// The bytes the server holds for requests that have begun but not yet arrived whole
// (table records being received), against a server-wide cap. When a request's growth
// takes the total past the cap, the newest such request is ended, with a log line: its
// bytes stop counting and its connection is shut down, so its thread lets go of them at
// once. Older requests are nearer their end, and a flood of new ones cannot push them out.
//
// Thread-safe: mutex_ guards the requests' entries and the total; a Request takes its
// owner's mutex_.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "server/base/log.h"
#include "server/base/mutex.h"

namespace gavo::server {

class PendingBytes {
public:
    PendingBytes(size_t cap, Logger& log) : cap_(cap), log_(log) {}

    // One request's share; counts from construction (which fixes its age) to destruction.
    class Request {
    public:
        // `fd` is the request's connection, open for the Request's whole life.
        Request(PendingBytes& owner, int fd, const std::string& label);
        ~Request();
        Request(const Request&) = delete;
        Request& operator=(const Request&) = delete;

        // Sets the bytes this request holds to `bytes`. False when the request has been
        // ended by the cap (now or earlier): the caller drops its bytes and the connection.
        bool hold(size_t bytes);
        // True once the cap ended this request.
        bool cut() const;

    private:
        PendingBytes& owner_;
        uint64_t seq_;
    };

    // Bytes held right now by requests not ended.
    size_t total() const;

private:
    struct Entry {
        int fd;
        std::string label;
        size_t bytes = 0;
    };
    // Ends the newest requests until the total is within the cap.
    void enforce_cap() GAVO_REQUIRES(mutex_);

    const size_t cap_;
    Logger& log_;
    mutable Mutex mutex_;
    std::map<uint64_t, Entry> live_ GAVO_GUARDED_BY(mutex_);  // by age: the last is the newest
    uint64_t next_seq_ GAVO_GUARDED_BY(mutex_) = 0;
    size_t total_ GAVO_GUARDED_BY(mutex_) = 0;
};

}  // namespace gavo::server
