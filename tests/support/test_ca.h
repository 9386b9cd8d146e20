#ifndef ZTV_TESTS_SUPPORT_TEST_CA_H
#define ZTV_TESTS_SUPPORT_TEST_CA_H

// A certificate authority of the test's own, made with openssl in a scratch
// directory: its certificate (the file the proxy is given with --ca-file)
// and server certificates it signs for given names and dates, for an nginx
// that serves TLS (Nginx::enableTls). A second TestCa is one the proxy does
// not trust. Keys are EC P-256, or RSA 2048 bits; the CA itself is valid from 2000 to 2099, so
// that it holds whatever time the proxy judges it at. Nothing is shared
// between test processes.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/process.h"

namespace testsupport {

struct ServerCert {
  std::string certFile;  // PEM, the server's certificate alone
  std::string keyFile;   // PEM, its unencrypted key
};

enum class KeyKind { kEc, kRsa };

class TestCa {
 public:
  explicit TestCa(KeyKind kind = KeyKind::kEc);  // makes the CA; ok() tells whether it could be
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

 private:
  bool openssl(const std::vector<std::string>& args);
  std::vector<std::string> withKey(std::vector<std::string> args) const;  // the new key's options added

  TempDir dir_;
  std::string config_, certFile_, keyFile_, error_;
  std::vector<std::string> newKey_;  // openssl req's options for a key of the CA's kind
  int issued_ = 0;
};

}  // namespace testsupport

#endif  // ZTV_TESTS_SUPPORT_TEST_CA_H
