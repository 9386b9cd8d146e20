#ifndef ZTV_TESTS_SUPPORT_TEST_CA_H
#define ZTV_TESTS_SUPPORT_TEST_CA_H

// A certificate authority of the test's own, made with openssl in a scratch
// directory: its certificate (the file the proxy is given with --ca-file)
// and server certificates it signs for given names and dates, for an nginx
// that serves TLS (Nginx::enableTls). A second TestCa is one the proxy does
// not trust. Keys are EC P-256, or RSA 2048 bits; the CA itself is valid from 2000 to 2099, so
// that it holds whatever time the proxy judges it at. A TestCa may be an
// intermediate that another signs, with name constraints of its own.
// Certificates may be made weak on purpose (SHA-1, small keys, another
// purpose) for the tests of refusal. Nothing is shared between test
// processes.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/process.h"

namespace testsupport {

struct ServerCert {
  std::string certFile;   // PEM, the server's certificate alone
  std::string keyFile;    // PEM, its unencrypted key
  std::string chainFile;  // PEM, the certificate and the intermediates above it (as certFile under a root)
};

enum class KeyKind { kEc, kRsa };

// What a server certificate holds beyond its names and dates.
struct CertRequest {
  std::string_view sans;                    // as openssl writes them ("IP:127.0.0.1,DNS:videos.test")
  std::string_view key = "";                // "rsa:1024", or a curve ("P-192"); empty: the CA's kind
  std::string_view digest = "sha256";       // of the CA's signature
  std::string_view purpose = "serverAuth";  // the extended key usage
  std::string_view notBefore = "20000101000000Z", notAfter = "20991231235959Z";  // YYYYMMDDHHMMSSZ
};

class TestCa {
 public:
  explicit TestCa(KeyKind kind = KeyKind::kEc);  // makes the CA; ok() tells whether it could be
  // An intermediate CA that `issuer` signs, with a key as CertRequest::key and
  // the name constraints `constraints` as openssl writes them
  // ("permitted;IP:10.0.0.0/255.0.0.0"), none when empty.
  TestCa(TestCa& issuer, std::string_view key, std::string_view constraints = "");
  TestCa(const TestCa&) = delete;
  TestCa& operator=(const TestCa&) = delete;

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }  // openssl's output when a step failed
  const std::string& certFile() const { return certFile_; }

  // A server certificate signed by this CA for the subjectAltNames `sans`
  // as openssl writes them ("IP:127.0.0.1,DNS:videos.test"), valid from
  // `notBefore` to `notAfter` (YYYYMMDDHHMMSSZ); nothing (the reason in
  // error()) when openssl failed. Its common name is no address or name;
  // with no `sans` it has none, and its common name is 127.0.0.1.
  std::optional<ServerCert> issue(std::string_view sans, std::string_view notBefore = "20000101000000Z",
                                  std::string_view notAfter = "20991231235959Z");
  // A server certificate as `request` says.
  std::optional<ServerCert> issue(const CertRequest& request);

 private:
  bool openssl(const std::vector<std::string>& args);
  std::vector<std::string> withKey(std::vector<std::string> args, std::string_view key = "") const;  // the new key's options added

  TempDir dir_;
  std::string config_, certFile_, keyFile_, error_;
  std::string chain_;  // PEM text of the intermediates from this CA up, empty for a root
  std::vector<std::string> newKey_;  // openssl req's options for a key of the CA's kind
  int issued_ = 0;
};

}  // namespace testsupport

#endif  // ZTV_TESTS_SUPPORT_TEST_CA_H
