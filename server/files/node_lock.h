// One server per node number on a shared root. Nodes (--node N/M) share only the root,
// so each one claims its number there: it holds an OFD write lock on slot N of the
// hidden file kNodeLockName in the root, and writes "pid P on HOST" into that slot for a
// second claimant to name. It also holds a read lock on the byte of its M, and refuses to
// start when another node holds the byte of a different M: nodes that disagree on M
// would hand out overlapping handle numbers.
//
// The locks are the file system's (on CephFS or NFS 4.1+ they hold across machines) and
// go with the descriptor, so a killed node's claim ends with it. A root whose file
// system has no byte-range locks is refused: nodes could not keep each other apart.
#pragma once

#include <string>

namespace gavo::server {

class NodeLock {
public:
    NodeLock() = default;
    ~NodeLock();
    NodeLock(const NodeLock&) = delete;
    NodeLock& operator=(const NodeLock&) = delete;

    // Claims node `node` of `nodes` on the root folder `root` (which exists). False with
    // `error` when another server holds that node, another node runs with a different
    // count, or the lock file cannot be opened, locked or written.
    bool acquire(const std::string& root, int node, int nodes, std::string* error);

private:
    int fd_ = -1;
};

}  // namespace gavo::server
