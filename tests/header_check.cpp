// The public headers stand alone and go together in either order, as C++11: built twice,
// with GAVO_C_FIRST and without (see CMakeLists.txt).
#ifdef GAVO_C_FIRST
#include <gavo_client_c.h>
#endif
#include <GAVO_Client.h>
#include <gavo_client_c.h>

int32_t (*header_check_open)(const char*, uint32_t, gavo_error*) = gavo_open;
int (*header_check_init)(const char*) = NFile_Init;
