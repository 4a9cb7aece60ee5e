// Who a connection speaks for. Without client certificates a client is its address; with
// TLS and a verified client certificate it is that certificate's subject commonName.
// Handles belong to an identity, and access rules are looked up by it.
#pragma once

#include <string>
#include <utility>

#include "server/base/address.h"

namespace gavo::server {

struct Identity {
    Identity() : key_(addr.to_string()) {}
    // A plain client is its address: a HostAddr converts to its identity.
    Identity(const HostAddr& address, std::string name = {})  // NOLINT: implicit on purpose
        : addr(address), cert_name(std::move(name)), key_(make_key()) {}

    HostAddr addr;          // the peer's address, always known
    std::string cert_name;  // subject CN of the verified client certificate; empty: none
    // addr and cert_name are set at construction only: key() is made from them then, as
    // every handle operation looks it up. A new name takes a new Identity.

    // The name handles and logs go by: "CN=name" for a certificate (so that a name can
    // never pass for an address), otherwise the address text ("10.0.0.5").
    const std::string& key() const { return key_; }

private:
    std::string make_key() const {
        return cert_name.empty() ? addr.to_string() : "CN=" + cert_name;
    }
    std::string key_;
};

}  // namespace gavo::server
