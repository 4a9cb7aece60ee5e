// Fuzz target: the file server's request handling. The input, after its first byte, is
// the byte stream a client sends on one connection; the first byte chooses how the
// stream is cut into the packets that reach the server (each packet arrives as one
// receive, over a SOCK_SEQPACKET pair), so requests split anywhere and several requests
// in one receive are both covered, the same way for every run of an input.
//
// Invariants (checked by the harness after every input): the canary folder beside the
// root is unchanged and nothing new appears beside the root, every file and descriptor
// is released, and the heap is back where it was.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "fuzz/server_harness.h"

namespace {

// 1..48 bytes for most values, so that fields are split; a few whole-buffer sizes.
size_t chunk_size(uint8_t selector) {
    static const size_t kLarge[] = {64, 509, 1024, 4096};
    if (selector < 0xF0) return 1 + selector % 48;
    return kLarge[selector % 4];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    auto& harness = gavo::fuzz::ServerHarness::get();
    const int fd = harness.begin(SOCK_SEQPACKET);
    gavo::fuzz::send_chunks(fd, data + 1, size - 1, chunk_size(data[0]));
    ::shutdown(fd, SHUT_WR);  // the client is done: the session ends at the stream's end
    while (harness.session().serve_next()) {
        gavo::fuzz::drain(fd);  // the client reads each reply, so replies never pile up
    }
    ::close(fd);
    harness.end("server_request");
    return 0;
}
