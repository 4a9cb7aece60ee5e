// The [TLS] section of gavo.ini: whether the server channels run TLS, and with which
// authorities, certificate, key and server name.
#pragma once

#include <string>

// Reads [TLS] from the INI file `ini`. Unless ENABLE is exactly "1" nothing is read
// further, nothing is written and the channels stay plain. With it, writes a report line
// per key (code 0, the value as read), refuses a value longer than its destination, and
// in working mode 2 (`mode`) builds the TLS context into the library state (SERVER_NAME
// defaulting to `host_name`). 1 when the library may go on; 0 after a refusal: the report
// line names the key, with code -1 and the reason, and OpenSSL's reason goes to the trace
// log. A build without TLS refuses ENABLE=1 itself ("NFile_Init:TLS:ENABLE,-1,此版本不支持TLS").
int nfile_read_tls_settings(const std::string& ini, int mode, const std::string& host_name);
