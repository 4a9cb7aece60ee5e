// The parts of the platform seam that every system shares: which platform is installed,
// and the socket error each thread noted last.
#include <atomic>

#include "port/platform.h"

namespace gavo {

// The system's own platform, defined by its implementation file.
Platform& system_platform();

namespace {

Platform* current = nullptr;  // null: the system's own
thread_local int socket_error = 0;
std::atomic<unsigned> installs{0};

}  // namespace

Platform::~Platform() = default;

Platform& platform() { return current ? *current : system_platform(); }

void set_platform(Platform* p) {
    current = p;
    installs.fetch_add(1);
}

unsigned platform_installs() { return installs.load(); }

int last_socket_error() { return socket_error; }

void note_socket_error(int err) { socket_error = err; }

}  // namespace gavo
