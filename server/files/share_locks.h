// The server's side of the sharing rules between processes (proto/share_locks.h): the
// byte-range lock calls on a client's open file, through the sys() seam.
#pragma once

#include <string>

#include "proto/share_locks.h"

namespace gavo::server {

// Takes `marks` on the open file `fd` (`readable`: opened for reading, so that its marks
// can be read locks). 0 once admitted, ETXTBSY when the sharing rules refuse, else the
// errno of the failed lock call. The marks go when `fd` is closed.
int take_marks(int fd, bool readable, ShareMarks marks);
// 1 when another descriptor holds a name-change mark on the file of `fd` (it is being
// renamed or removed), 0 when none does, -errno.
int name_change_marked(int fd);
// True when two descriptors of one file in the folder `dir_fd` hold each other off with
// these locks; false with `error` set when the file system does not (no sharing rules
// could be kept there) or the probe itself failed. Probes on a file it makes and removes
// at once, or on the folder itself where nothing can be made there.
bool probe_share_locks(int dir_fd, std::string* error);

}  // namespace gavo::server
