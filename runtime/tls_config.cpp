#include "runtime/tls_config.h"

#include "net/messages.h"
#include "net/netconn.h"
#include "net/tls.h"
#include "proto/codes.h"
#include "runtime/config.h"
#include "runtime/report.h"
#include "runtime/state.h"

namespace lib = gavo::lib;

namespace {

constexpr size_t kPathMax = 259;  // file paths fit a 260-byte path, as the INI path does
constexpr size_t kNameMax = 255;  // the server name fits a 256-byte host name

struct TlsKey {
    const char* key;
    const char* where;
    size_t max;
    std::string NetTlsSettings::*field;
};

const TlsKey kKeys[] = {
    {"CA_FILE", "NFile_Init:TLS:CA_FILE", kPathMax, &NetTlsSettings::ca_file},
    {"CERT_FILE", "NFile_Init:TLS:CERT_FILE", kPathMax, &NetTlsSettings::cert_file},
    {"KEY_FILE", "NFile_Init:TLS:KEY_FILE", kPathMax, &NetTlsSettings::key_file},
    {"SERVER_NAME", "NFile_Init:TLS:SERVER_NAME", kNameMax, &NetTlsSettings::server_name},
};

// Reads every key into `settings` with its report line; false after refusing one.
bool read_keys(const std::string& ini, NetTlsSettings* settings) {
    for (const TlsKey& k : kKeys) {
        std::string value = gavo::read_profile_string(ini, "TLS", k.key, "");
        NFile_LogError(k.where, 0, value.c_str());
        if (value.size() > k.max) {
            NFile_LogError(k.where, gavo::kCodeRefused, gavo::msg::kValueTooLong);
            return false;
        }
        settings->*k.field = value;
    }
    return true;
}

// The report line of a context that could not be built, naming the key at fault.
int refuse(const NetTlsError& error) {
    std::string where = std::string("NFile_Init:TLS") + (*error.key ? ":" : "") + error.key;
    net_log("net_tls %s: %s", *error.key ? error.key : "context", error.reason.c_str());
    const char* why = error.key_mismatch ? gavo::msg::kTlsKeyMismatch : gavo::msg::kTlsFileUnusable;
    NFile_LogError(where.c_str(), gavo::kCodeRefused, why);
    return 0;
}

}  // namespace

int nfile_read_tls_settings(const std::string& ini, int mode, const std::string& host_name) {
    // A context from an earlier start-up that failed gives way to the new one. (A failed
    // start-up reads no reply, so it left no session behind.)
    net_tls_destroy(lib::tls);
    lib::tls = nullptr;
    if (gavo::read_profile_string(ini, "TLS", "ENABLE", "") != "1") return 1;
    NFile_LogError("NFile_Init:TLS:ENABLE", 0, "1");
    // A build without TLS (Windows) must not talk plain text where TLS was asked for.
    if (!net_tls_available()) {
        NFile_LogError("NFile_Init:TLS:ENABLE", gavo::kCodeRefused, gavo::msg::kTlsNotBuiltIn);
        return 0;
    }
    NetTlsSettings settings;
    if (!read_keys(ini, &settings)) return 0;
    if (mode != lib::kModeRemote) return 1;  // the files serve the channels only
    if (settings.server_name.empty()) settings.server_name = host_name;
    NetTlsError error;
    lib::tls = net_tls_create(settings, &error);
    return lib::tls != nullptr ? 1 : refuse(error);
}
