#include "runtime/reconnect.h"

// TODO(reconnection issue): close and reopen both channels, fall back to working mode 1.
// Until then a -100 report in working mode 2 only writes its report line.
void nfile_reconnect() {}
