#include "codes.h"

namespace gavo_tool {

std::string code_meaning(int code) {
    switch (code) {
        case -1:
            return "refused";
        case -50:
            return "no connection to the server";
        case -51:
            return "no reply from the server (waiting failed)";
        case -52:
            return "no reply from the server (sending failed)";
        case -53:
            return "no reply from the server (receiving failed)";
        case -54:
            return "connection closed by the server";
        case -100:
            return "sending to the server failed";
        case -102:
            return "not found";
        case -103:
            return "access denied";
        case -104:
            return "directory full";
        case -105:
            return "input/output error";
        case -106:
            return "disk full";
        case -107:
            return "bad path";
        case -108:
            return "folders could not be created";
        case -200:
            return "library start-up failed";
        case -201:
            return "unknown working mode (CTRL_MODE in the INI file)";
        default:
            break;
    }
    if (code < 0) return "error code of the file server";
    return "not an error code";
}

std::string os_error_meaning(long os_error) {
    switch (os_error) {
        case 2:
            return "file not found";
        case 3:
            return "path not found";
        case 4:
            return "too many open files";
        case 5:
            return "access denied";
        case 8:
            return "out of memory";
        case 19:
            return "read-only file system";
        case 21:
            return "device not ready";
        case 23:
            return "data error";
        case 32:
            return "sharing violation";
        case 33:
            return "lock violation";
        case 87:
            return "invalid argument";
        case 112:
            return "disk full";
        case 183:
            return "already exists";
        case 206:
            return "name too long";
        default:
            return "";
    }
}

}  // namespace gavo_tool
