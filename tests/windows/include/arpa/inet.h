// Windows stand-in for the POSIX socket header of the same name, for the library's tests
// built with MinGW-w64: Winsock 2 has the calls and names they use.
#pragma once
#include "port/system.h"
