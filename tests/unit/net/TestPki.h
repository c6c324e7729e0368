#pragma once
// A private certificate authority and server certificates for the TLS tests, made once per
// test program with the openssl command line in a temporary directory that is removed at exit.
#include <string>

#include "LoopbackServer.h"

namespace ph::test {

struct TestPki {
    bool ok = false;
    std::string log;            // what the openssl commands said, for a failed set-up
    std::string caFile;         // the trusted root
    std::string caWithCrlFile;  // the root and its CRL, which revokes `revoked`
    TlsIdentity good;           // localhost and 127.0.0.1, valid now
    TlsIdentity expired;        // localhost, valid only in January 2020
    TlsIdentity wrongHost;      // mail.example.org only
    TlsIdentity untrusted;      // localhost, issued by a root nobody trusts
    TlsIdentity revoked;        // localhost, revoked by the root
    std::string goodStaple;     // OCSP response "good" for `good`, signed by the root
    std::string revokedStaple;  // OCSP response "revoked" for `revoked`, signed by the root

    static const TestPki& Get();
};

}  // namespace ph::test
