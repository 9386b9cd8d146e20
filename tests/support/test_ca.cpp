#include "support/test_ca.h"

namespace testsupport {

namespace {

// One configuration for `openssl req` (the subject is always given with
// -subj) and `openssl ca` (any subject, dates given on each call, the
// extensions from a file of each certificate's own).
std::string caConfig(const TempDir& dir) {
  return "[ req ]\ndistinguished_name = subject\nprompt = no\n[ subject ]\nCN = unused\n"
         "[ ca ]\ndefault_ca = test_ca\n"
         "[ test_ca ]\ndatabase = " + dir.file("index.txt") + "\nserial = " + dir.file("serial") +
         "\nnew_certs_dir = " + dir.path() + "\ndefault_md = sha256\npolicy = any\nunique_subject = no\n"
         "[ any ]\ncommonName = supplied\n"
         "[ ca_extensions ]\nbasicConstraints = critical,CA:TRUE\nkeyUsage = critical,keyCertSign,cRLSign\n"
         "subjectKeyIdentifier = hash\n";
}

}  // namespace

TestCa::TestCa(KeyKind kind)
    : config_(dir_.file("ca.cnf")), certFile_(dir_.file("ca.pem")), keyFile_(dir_.file("ca.key")) {
  newKey_ = kind == KeyKind::kRsa ? std::vector<std::string>{"-newkey", "rsa:2048"}
                                  : std::vector<std::string>{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256"};
  if (!writeFile(config_, caConfig(dir_)) || !writeFile(dir_.file("index.txt"), "") ||
      !writeFile(dir_.file("serial"), "01\n")) {
    error_ = "cannot write the CA's files in " + dir_.path();
    return;
  }
  // Signed by itself through `openssl ca`, the one command of openssl 3.0
  // that takes a start date.
  const std::string request = dir_.file("ca.csr");
  (void)(openssl(withKey({"req", "-config", config_, "-new", "-nodes", "-keyout", keyFile_, "-subj", "/CN=Test CA",
                          "-out", request})) &&
         openssl({"ca", "-config", config_, "-batch", "-notext", "-selfsign", "-keyfile", keyFile_, "-in", request,
                  "-out", certFile_, "-startdate", "20000101000000Z", "-enddate", "20991231235959Z",
                  "-extensions", "ca_extensions"}));
}

TestCa::TestCa(TestCa& issuer, std::string_view key, std::string_view constraints)
    : config_(dir_.file("ca.cnf")), certFile_(dir_.file("ca.pem")), keyFile_(dir_.file("ca.key")),
      newKey_(issuer.newKey_) {
  std::string extensions = "basicConstraints = critical,CA:TRUE\nkeyUsage = critical,keyCertSign,cRLSign\n"
                           "subjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\n";
  if (!constraints.empty()) extensions += "nameConstraints = critical," + std::string(constraints) + "\n";
  const std::string request = dir_.file("ca.csr");
  if (!issuer.ok() || !writeFile(config_, caConfig(dir_)) || !writeFile(dir_.file("index.txt"), "") ||
      !writeFile(dir_.file("serial"), "01\n") || !writeFile(dir_.file("ca.ext"), extensions)) {
    error_ = "cannot write the CA's files in " + dir_.path() + " (or its issuer failed)";
    return;
  }
  if (!openssl(withKey({"req", "-config", config_, "-new", "-nodes", "-keyout", keyFile_, "-subj",
                        "/CN=Test intermediate CA", "-out", request}, key)) ||
      !issuer.openssl({"ca", "-config", issuer.config_, "-batch", "-notext", "-cert", issuer.certFile_, "-keyfile",
                       issuer.keyFile_, "-in", request, "-out", certFile_, "-startdate", "20000101000000Z",
                       "-enddate", "20991231235959Z", "-extfile", dir_.file("ca.ext")})) {
    error_ = "the intermediate CA: " + error_ + issuer.error_;
    return;
  }
  chain_ = readFile(certFile_) + issuer.chain_;
}

std::optional<ServerCert> TestCa::issue(std::string_view sans, std::string_view notBefore,
                                        std::string_view notAfter) {
  return issue({.sans = sans, .notBefore = notBefore, .notAfter = notAfter});
}

std::optional<ServerCert> TestCa::issue(const CertRequest& request) {
  if (!ok()) return std::nullopt;
  const std::string name = dir_.file("server" + std::to_string(++issued_));
  ServerCert cert{name + ".pem", name + ".key", name + ".chain.pem"};
  std::string extensions = "basicConstraints = CA:FALSE\nkeyUsage = critical,digitalSignature,keyEncipherment\n"
                           "extendedKeyUsage = " + std::string(request.purpose) + "\n";
  if (!request.sans.empty()) extensions += "subjectAltName = " + std::string(request.sans) + "\n";
  if (!writeFile(name + ".ext", extensions)) {
    error_ = "cannot write " + name + ".ext";
    return std::nullopt;
  }
  const std::string subject = request.sans.empty() ? "/CN=127.0.0.1" : "/CN=test server";
  if (!openssl(withKey({"req", "-config", config_, "-new", "-nodes", "-keyout", cert.keyFile, "-subj", subject,
                        "-out", name + ".csr"}, request.key)) ||
      !openssl({"ca", "-config", config_, "-batch", "-notext", "-md", std::string(request.digest), "-cert", certFile_,
                "-keyfile", keyFile_, "-in", name + ".csr", "-out", cert.certFile, "-startdate",
                std::string(request.notBefore), "-enddate", std::string(request.notAfter), "-extfile", name + ".ext"})) {
    return std::nullopt;
  }
  if (!writeFile(cert.chainFile, readFile(cert.certFile) + chain_)) {
    error_ = "cannot write " + cert.chainFile;
    return std::nullopt;
  }
  return cert;
}

std::vector<std::string> TestCa::withKey(std::vector<std::string> args, std::string_view key) const {
  if (key.empty()) {
    args.insert(args.end(), newKey_.begin(), newKey_.end());
  } else if (key.rfind("rsa:", 0) == 0) {
    args.insert(args.end(), {"-newkey", std::string(key)});
  } else {
    args.insert(args.end(), {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:" + std::string(key)});
  }
  return args;
}

bool TestCa::openssl(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"openssl"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string output;
  const auto status = runProgram(argv, std::chrono::seconds(30), &output);
  if (status && status->exited && status->code == 0) return true;
  error_ = "openssl " + args[0] + " (" + describe(status) + "): " + output;
  return false;
}

}  // namespace testsupport
