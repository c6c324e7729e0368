#include "TestPki.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support/Files.h"

namespace ph::test {
namespace {

// Elliptic-curve keys keep the set-up quick; `openssl ca` is used for the leaf certificates
// because it can back-date them and keeps the index that the CRL and OCSP answers come from.
constexpr const char* kConfig = R"([ req ]
distinguished_name = dn
prompt = no
[ dn ]
CN = unused
[ root ]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[ ca ]
default_ca = test_ca
[ test_ca ]
dir = .
database = $dir/index.txt
new_certs_dir = $dir/issued
certificate = $dir/ca.pem
private_key = $dir/ca.key
serial = $dir/serial
crlnumber = $dir/crlnumber
default_md = sha256
default_days = 30
default_crl_days = 30
policy = any
copy_extensions = copy
unique_subject = no
[ any ]
commonName = supplied
)";

constexpr const char* kScript = R"(set -e
KEY="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
LOCAL="subjectAltName=DNS:localhost,IP:127.0.0.1"
mkdir issued
touch index.txt
echo 1000 > serial
echo 1000 > crlnumber
openssl req -config ca.cnf -x509 $KEY -keyout ca.key -out ca.pem -subj "/CN=Test Root" -days 30 -extensions root
openssl req -config ca.cnf -x509 $KEY -keyout other.key -out other.pem -subj "/CN=Other Root" -days 30 -extensions root
leaf() {
    openssl req -config ca.cnf -new $KEY -keyout $1.key -out $1.csr -subj "/CN=$2" -addext "$3"
}
leaf good localhost "$LOCAL"
openssl ca -config ca.cnf -batch -notext -in good.csr -out good.pem
leaf expired localhost "$LOCAL"
openssl ca -config ca.cnf -batch -notext -in expired.csr -out expired.pem -startdate 20200101000000Z -enddate 20200201000000Z
leaf wronghost mail.example.org "subjectAltName=DNS:mail.example.org"
openssl ca -config ca.cnf -batch -notext -in wronghost.csr -out wronghost.pem
leaf untrusted localhost "$LOCAL"
openssl x509 -req -in untrusted.csr -CA other.pem -CAkey other.key -set_serial 77 -days 30 -copy_extensions copy -out untrusted.pem
leaf revoked localhost "$LOCAL"
openssl ca -config ca.cnf -batch -notext -in revoked.csr -out revoked.pem
openssl ca -config ca.cnf -revoke revoked.pem
openssl ca -config ca.cnf -gencrl -out crl.pem
cat ca.pem crl.pem > ca-crl.pem
for c in good revoked; do
    openssl ocsp -issuer ca.pem -cert $c.pem -no_nonce -reqout $c.req
    openssl ocsp -index index.txt -rsigner ca.pem -rkey ca.key -CA ca.pem -reqin $c.req -respout $c.ocsp -ndays 1
done
)";

// Owns the directory for the life of the test program.
struct PkiDirectory {
    TestPki pki;
    std::filesystem::path dir;

    PkiDirectory() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "ph-net-pki-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) return;
        dir = pattern;
        std::ofstream(dir / "ca.cnf") << kConfig;
        std::ofstream(dir / "make.sh") << kScript;
        const std::string command = "cd '" + dir.string() + "' && sh make.sh > make.log 2>&1";
        pki.ok = std::system(command.c_str()) == 0;
        pki.log = ReadFile(dir / "make.log");
        const auto identity = [this](const char* name) {
            return TlsIdentity{(dir / (std::string(name) + ".pem")).string(),
                               (dir / (std::string(name) + ".key")).string(),
                               {}};
        };
        pki.caFile = (dir / "ca.pem").string();
        pki.caWithCrlFile = (dir / "ca-crl.pem").string();
        pki.good = identity("good");
        pki.expired = identity("expired");
        pki.wrongHost = identity("wronghost");
        pki.untrusted = identity("untrusted");
        pki.revoked = identity("revoked");
        pki.goodStaple = ReadFile(dir / "good.ocsp");
        pki.revokedStaple = ReadFile(dir / "revoked.ocsp");
    }
    ~PkiDirectory() {
        std::error_code ignored;
        if (!dir.empty()) std::filesystem::remove_all(dir, ignored);
    }
};

}  // namespace

const TestPki& TestPki::Get() {
    static const PkiDirectory made;
    return made.pki;
}

}  // namespace ph::test
