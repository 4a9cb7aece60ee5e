#include "runtime/state.h"

namespace gavo::lib {

std::atomic<int> fsmode{kModeNone};
FILE* err_log = nullptr;
NFileLock* archive_lock = nullptr;
NFileLock* log_lock = nullptr;
NetConn* archive_conn = nullptr;
NetConn* log_conn = nullptr;
char proto_name[256];
char host_name[256];
char host_port[256];
char base_dir[260];
int reply_timeout = 0;
NetTls* tls = nullptr;
NetTlsResume archive_resume;
NetTlsResume log_resume;

}  // namespace gavo::lib
