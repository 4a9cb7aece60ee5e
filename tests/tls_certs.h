// Certificates made at test time: a small certificate authority that issues server and
// host certificates (good, expired, not yet valid, or from another authority), written
// as PEM files into a folder of the test's own.
#pragma once

#include <string>
#include <vector>

namespace gavo::test {

// The three files a TLS peer needs: the authority it trusts, its certificate, its key.
struct TlsFiles {
    std::string ca;    // PEM certificate of the authority that issued `cert`
    std::string cert;  // PEM certificate
    std::string key;   // PEM private key (unencrypted)
};

class TestPki {
public:
    // Makes a self-signed authority named `ca_name` (its subject CN) with its files
    // "`dir`/`file_stem`-ca.pem" and "-ca.key". `dir` must exist.
    explicit TestPki(std::string dir, std::string ca_name = "GAVO test CA",
                     std::string file_stem = "test");
    ~TestPki();
    TestPki(const TestPki&) = delete;
    TestPki& operator=(const TestPki&) = delete;

    // Path of the authority's certificate: what a peer trusts.
    const std::string& ca_file() const { return ca_file_; }

    // Issues a certificate with subject CN `common_name` (and O "GAVO tests"), valid from
    // now + `not_before_s` to now + `not_after_s` seconds, with subjectAltName entries
    // `alt_names` (an entry that parses as an IPv4 or IPv6 address becomes an IP entry,
    // others DNS). Files "`dir`/`name`.pem" and "`dir`/`name`.key"; returns them with
    // ca = ca_file().
    TlsFiles issue(const std::string& name, const std::string& common_name,
                   long not_before_s = -3600, long not_after_s = 86400,
                   const std::vector<std::string>& alt_names = {"localhost", "127.0.0.1"});

private:
    struct Impl;
    std::string dir_;
    std::string ca_file_;
    Impl* impl_;
};

}  // namespace gavo::test
