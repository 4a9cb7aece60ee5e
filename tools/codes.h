// The gavo command's exit codes. The library's codes and the local file layer's system
// error numbers are described by proto/codes.h and proto/os_error.h.
#pragma once

namespace gavo_tool {

// Exit codes of the gavo command. `exists` uses kExitNo for a name that is not there.
enum ExitCode {
    kExitOk = 0,       // done; `exists`: the name exists
    kExitNo = 1,       // `exists`: the name does not exist
    kExitUsage = 2,    // bad arguments (reported by the argument parser)
    kExitLibrary = 3,  // the library reported a failure (a code below zero)
    kExitLocal = 4,    // a local file of the tool's own (LOCAL, standard input or output) failed
    kExitTimeout = 5,  // --timeout ran out; a signal ends the command with 128 + its number
};

}  // namespace gavo_tool
