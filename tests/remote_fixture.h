// Fixture of the working-mode-2 tests: a scripted server on loopback and a gavo.ini that
// points the library at it.
#pragma once

#include <string>

#include "include/GAVO_Client.h"
#include "tests/fake_server.h"
#include "tests/test_support.h"

namespace gavo::test {

class RemoteTest : public LibraryTest {
protected:
    // Writes the INI file for working mode 2 on `port`.
    void write_remote_ini(const std::string& port) {
        write_ini("[Config]\nCTRL_MODE=2\nHOST_NAME=127.0.0.1\nHOST_PORT=" + port + "\n");
    }
    // Starts the library on the scripted server; both channels connect.
    void start() {
        write_remote_ini(server_.port_text());
        ASSERT_EQ(NFile_Init(), 1);
    }
    // True when the error log holds the report line fields where, code, detail.
    bool reported(const std::string& where, int code, const std::string& detail) const {
        return error_log().find("," + where + "," + std::to_string(code) + "," + detail + "\n") !=
               std::string::npos;
    }

    FakeServer server_;  // outlives the library: TearDown closes the library first
};

// An archive-channel open request as the library sends it.
inline std::string open_request(int opcode, int flags, const std::string& name) {
    return be16(opcode) + be16(flags) + wire_string(name);
}

}  // namespace gavo::test
