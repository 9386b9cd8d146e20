#include "support/nginx.h"

#include <csignal>
#include <filesystem>
#include <sstream>

namespace testsupport {

namespace {

const char* const kNginx = "/usr/sbin/nginx";

}  // namespace

Nginx::Nginx(uint16_t port) : port_(port), root_(dir_.file("root")) {
  std::filesystem::create_directories(root_ + "/v");
  std::filesystem::create_directories(root_ + "/timeline");
}

Nginx::~Nginx() { stop(); }

void Nginx::addRedirect(std::string_view path, int code, std::string_view target) {
  extra_ += "    location = " + std::string(path) + " { return " + std::to_string(code) + " " +
            std::string(target) + "; }\n";
}

void Nginx::addConfig(std::string_view directives) {
  extra_ += "    " + std::string(directives) + "\n";
}

void Nginx::enableTls(std::string_view certFile, std::string_view keyFile, std::string_view protocols) {
  tls_ = "    ssl_certificate " + std::string(certFile) + ";\n    ssl_certificate_key " + std::string(keyFile) + ";\n";
  // Weak certificates (SHA-1, small keys) are served too: what to take is the client's to judge.
  tls_ += "    ssl_ciphers DEFAULT:@SECLEVEL=0;\n";
  if (!protocols.empty()) tls_ += "    ssl_protocols " + std::string(protocols) + ";\n";
}

// Single process in the foreground: it runs as the invoking user and stops
// with its one pid. Every path nginx writes lies in the scratch directory.
std::string Nginx::config() const {
  const std::string& d = dir_.path();
  std::ostringstream c;
  c << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
    << "pid " << d << "/nginx.pid;\n"
    << "error_log " << d << "/error.log info;\n"
    << "events { worker_connections 64; }\n"
    << "http {\n"
    << "  types { video/x-flv flv; text/xml xml; }\n"
    << "  default_type application/octet-stream;\n"
    << "  log_format requests '$request $status $body_bytes_sent $http_host';\n"
    << "  access_log " << d << "/access.log requests;\n"
    << "  client_body_temp_path " << d << "/client_body;\n"
    << "  proxy_temp_path " << d << "/proxy;\n"
    << "  fastcgi_temp_path " << d << "/fastcgi;\n"
    << "  uwsgi_temp_path " << d << "/uwsgi;\n"
    << "  scgi_temp_path " << d << "/scgi;\n"
    << "  server {\n"
    << "    listen 127.0.0.1:" << port_ << (tls_.empty() ? "" : " ssl") << ";\n" << tls_
    << "    server_name localhost;\n"
    << "    absolute_redirect off;\n"  // a redirect to "/path" goes out relative, as many servers send it
    << "    root " << root_ << ";\n"
    << "    location /v/ { flv; }\n"
    << "    location = /live/semichannel/timeline/ {\n"
    << "      default_type text/xml;\n"
    << "      try_files /timeline/$arg_id.xml =404;\n"
    << "    }\n"
    << extra_ << "  }\n}\n";
  return c.str();
}

bool Nginx::start() {
  std::string conf = dir_.file("nginx.conf");
  if (!writeFile(conf, config())) {
    error_ = "cannot write " + conf;
    return false;
  }
  if (!process_.start({kNginx, "-p", dir_.path() + "/", "-c", conf, "-e", dir_.file("error.log")})) {
    error_ = process_.error();
    return false;
  }
  if (!waitForPort(port_, 10s)) {
    error_ = "nginx did not accept connections on port " + std::to_string(port_) + " (" +
             describe(process_.wait(0ms)) + "): " + errorLog() + process_.stderrText();
    stop();
    return false;
  }
  return true;
}

void Nginx::stop() {
  if (!process_.running()) return;
  process_.signal(SIGTERM);
  if (!process_.wait(5s)) process_.kill();
}

std::string Nginx::url(std::string_view path) const {
  return (tls_.empty() ? "http" : "https") + ("://127.0.0.1:" + std::to_string(port_)) + std::string(path);
}

bool Nginx::putFile(std::string_view path, std::string_view content) const {
  return writeFile(root_ + std::string(path), content);
}

bool Nginx::copyFile(std::string_view path, const std::string& source) const {
  std::error_code failed;
  std::string target = root_ + std::string(path);
  std::filesystem::create_directories(std::filesystem::path(target).parent_path(), failed);
  std::filesystem::copy_file(source, target, std::filesystem::copy_options::overwrite_existing,
                             failed);
  return !failed;
}

// Written aside and renamed into place: a timeline rewritten while the
// proxy downloads it is served whole, old or new.
bool Nginx::putTimeline(int channel, std::string_view document) const {
  const std::string path = "/timeline/" + std::to_string(channel) + ".xml";
  std::error_code failed;
  return putFile(path + ".new", document) &&
         (std::filesystem::rename(root_ + path + ".new", root_ + path, failed), !failed);
}

bool Nginx::removeTimeline(int channel) const {
  std::error_code ignored;
  return std::filesystem::remove(root_ + "/timeline/" + std::to_string(channel) + ".xml", ignored);
}

std::string Nginx::accessLog() const { return readFile(dir_.file("access.log")); }

int Nginx::countRequests(std::string_view text) const {
  std::istringstream lines(accessLog());
  int count = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.find(text) != std::string::npos) ++count;
  }
  return count;
}

std::string Nginx::errorLog() const { return readFile(dir_.file("error.log")); }

// Logged at info: "SSL_do_handshake() failed (SSL: ... alert bad certificate
// ...) while SSL handshaking"; a probe that connects and closes is "client
// closed connection while SSL handshaking".
int Nginx::failedHandshakes() const {
  std::istringstream lines(errorLog());
  int count = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.find("SSL_do_handshake() failed") != std::string::npos) ++count;
  }
  return count;
}

}  // namespace testsupport
