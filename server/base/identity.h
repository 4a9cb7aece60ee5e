// Who a connection speaks for. Without client certificates a client is its address; with
// TLS and a verified client certificate it is that certificate's subject commonName.
// Handles belong to an identity, and access rules are looked up by it.
#pragma once

#include <string>
#include <utility>

#include "server/base/address.h"

namespace gavo::server {

struct Identity {
    Identity() = default;
    // A plain client is its address: a HostAddr converts to its identity.
    Identity(const HostAddr& address, std::string name = {})  // NOLINT: implicit on purpose
        : addr(address), cert_name(std::move(name)) {}

    HostAddr addr;          // the peer's address, always known
    std::string cert_name;  // subject CN of the verified client certificate; empty: none

    // The name handles and logs go by: "CN=name" for a certificate (so that a name can
    // never pass for an address), otherwise the address text ("10.0.0.5").
    std::string key() const { return cert_name.empty() ? addr.to_string() : "CN=" + cert_name; }
};

}  // namespace gavo::server
