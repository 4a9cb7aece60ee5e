// What the tool tells people about a failure: the library's codes in plain words and the
// tool's own exit codes.
#pragma once

#include <string>

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

// A short description of a library code, e.g. "not found" for -102. Codes the library
// does not produce itself are described as the file server's own codes.
std::string code_meaning(int code);

// A short description of a system error number carried by the local file layer's
// CFileException (Windows numbering, e.g. 112 for a full disk); empty when unknown.
std::string os_error_meaning(long os_error);

}  // namespace gavo_tool
