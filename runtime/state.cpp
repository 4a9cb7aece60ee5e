#include "runtime/state.h"

std::atomic<int> fsmode{0};
FILE* err_log = nullptr;
NetConn* archive_conn = nullptr;
NetConn* log_conn = nullptr;
NFileLock* archive_lock = nullptr;
NFileLock* log_lock = nullptr;
char host_name[256];
char host_port[256];
char base_dir[260];
char proto_name[256];
int reply_timeout = 0;
