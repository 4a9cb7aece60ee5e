#include "tests/tls_certs.h"

#include <arpa/inet.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace gavo::test {
namespace {

struct KeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CertFree {
    void operator()(X509* c) const { X509_free(c); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("test certificates: ") + what);
}

Key new_key() {
    Key key(EVP_EC_gen("P-256"));
    check(key != nullptr, "EC key generation failed");
    return key;
}

void set_name(X509_NAME* name, const std::string& common_name) {
    auto add = [name](const char* field, const std::string& value) {
        check(X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                         reinterpret_cast<const unsigned char*>(value.c_str()), -1,
                                         -1, 0) == 1,
              "name entry");
    };
    add("O", "GAVO tests");
    add("CN", common_name);
}

void add_extension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    check(ext != nullptr, "extension");
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

std::string alt_name_text(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& n : names) {
        unsigned char addr[16];
        const bool ip =
            inet_pton(AF_INET, n.c_str(), addr) == 1 || inet_pton(AF_INET6, n.c_str(), addr) == 1;
        if (!text.empty()) text += ",";
        text += (ip ? "IP:" : "DNS:") + n;
    }
    return text;
}

// An unsigned certificate for `key` named `common_name`, issued by `issuer` (itself when
// null).
Cert make_cert(EVP_PKEY* key, const std::string& common_name, X509* issuer, long not_before_s,
               long not_after_s, long serial) {
    Cert cert(X509_new());
    check(cert != nullptr, "X509_new");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), not_before_s);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), not_after_s);
    X509_set_pubkey(cert.get(), key);
    set_name(X509_get_subject_name(cert.get()), common_name);
    X509* signer = issuer != nullptr ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
    return cert;
}

void sign(X509* cert, EVP_PKEY* key) { check(X509_sign(cert, key, EVP_sha256()) > 0, "signing"); }

void write_pem(const std::string& path, X509* cert, EVP_PKEY* key) {
    FILE* f = std::fopen(path.c_str(), "w");
    check(f != nullptr, "cannot write a PEM file");
    const bool ok = cert != nullptr
                        ? PEM_write_X509(f, cert) == 1
                        : PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    std::fclose(f);
    check(ok, "PEM write");
}

}  // namespace

struct TestPki::Impl {
    Key key;
    Cert cert;
    long next_serial = 2;
};

TestPki::TestPki(std::string dir, std::string ca_name, std::string file_stem)
    : dir_(std::move(dir)), impl_(new Impl) {
    impl_->key = new_key();
    impl_->cert = make_cert(impl_->key.get(), ca_name, nullptr, -86400, 10L * 365 * 86400, 1);
    add_extension(impl_->cert.get(), impl_->cert.get(), NID_basic_constraints, "critical,CA:TRUE");
    add_extension(impl_->cert.get(), impl_->cert.get(), NID_key_usage,
                  "critical,keyCertSign,cRLSign");
    add_extension(impl_->cert.get(), impl_->cert.get(), NID_subject_key_identifier, "hash");
    sign(impl_->cert.get(), impl_->key.get());
    ca_file_ = dir_ + "/" + file_stem + "-ca.pem";
    write_pem(ca_file_, impl_->cert.get(), nullptr);
    write_pem(dir_ + "/" + file_stem + "-ca.key", nullptr, impl_->key.get());
}

TestPki::~TestPki() { delete impl_; }

TlsFiles TestPki::issue(const std::string& name, const std::string& common_name, long not_before_s,
                        long not_after_s, const std::vector<std::string>& alt_names) {
    Key key = new_key();
    Cert cert = make_cert(key.get(), common_name, impl_->cert.get(), not_before_s, not_after_s,
                          impl_->next_serial++);
    add_extension(cert.get(), impl_->cert.get(), NID_basic_constraints, "CA:FALSE");
    add_extension(cert.get(), impl_->cert.get(), NID_authority_key_identifier, "keyid");
    if (!alt_names.empty()) {
        add_extension(cert.get(), impl_->cert.get(), NID_subject_alt_name,
                      alt_name_text(alt_names));
    }
    sign(cert.get(), impl_->key.get());
    TlsFiles files{ca_file_, dir_ + "/" + name + ".pem", dir_ + "/" + name + ".key"};
    write_pem(files.cert, cert.get(), nullptr);
    write_pem(files.key, nullptr, key.get());
    return files;
}

}  // namespace gavo::test
