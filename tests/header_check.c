/* The C interface's header stands alone: built as C89 and C99 (see CMakeLists.txt). */
#include <gavo_client_c.h>

gavo_error header_check_record;
int32_t(GAVO_CALL* header_check_open)(const char*, uint32_t, gavo_error*) = gavo_open;
