#ifndef ZTV_TESTS_SUPPORT_FAKE_HTTP_H
#define ZTV_TESTS_SUPPORT_FAKE_HTTP_H

// A scripted HTTP server for unit tests, listening on 127.0.0.1 on a port
// the kernel picked. Each accepted connection is served on a thread of its
// own: the server records the request (up to its blank line, or whatever
// arrived before the client went quiet for a second or closed), then plays a
// Script: send bytes, pause, hang, close. Which script a connection gets:
//   1. the next one queued with enqueue(), in the order connections arrive;
//   2. else the one routed to the request target with its query ("/a?b=1");
//   3. else the one routed to the path alone ("/a");
//   4. else the default script (a 404 unless setDefault() says otherwise).
// A route given several scripts answers successive requests with them in
// turn, the last one for all later requests. The destructor stops the
// server: hanging and pausing connections are cut short and all threads
// are joined.
//
//   FakeHttpServer server;
//   server.route("/doc.xml", Script::ok("<xml/>"));
//   server.route("/old", Script::redirect(302, server.url("/doc.xml")));
//   ... webFileOpen(server.url("/old").c_str()) ...
//   server.requests()[1].target == "/doc.xml"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fakehttp {

// One action of a scripted reply.
struct Step {
  enum class Kind {
    Send,   // write `bytes`
    Pause,  // wait `ms` milliseconds (cut short when the server stops)
    Hang,   // keep the connection open, silent, until the client closes or the server stops
    Close,  // close the connection now (also what happens after the last step)
    Reset,  // close with a TCP reset instead of an orderly end
  };
  Kind kind = Kind::Close;
  std::string bytes;  // for Send
  int ms = 0;         // for Pause
};

// The steps played on one connection after its request was read.
struct Script {
  std::vector<Step> steps;

  Script& send(std::string bytes);
  Script& pause(int ms);
  // `bytes` one at a time, each followed by a pause of `everyMs`: a service
  // that answers, but at a useless rate.
  Script& trickle(const std::string& bytes, int everyMs);
  Script& hang();
  Script& close();
  Script& reset();

  // A complete answer: "HTTP/1.0 <code> <reason>", the header lines (each
  // without its CRLF), a blank line, the body.
  static Script response(int code, const std::vector<std::string>& headers, std::string body = "");
  // 200 with a Content-Length that matches the body.
  static Script ok(std::string body);
  // A 301/302/307 answer carrying "Location: <location>".
  static Script redirect(int code, const std::string& location);
  // An answer of the status line and blank line only.
  static Script status(int code);
  // Accepts and never answers.
  static Script silent();
};

// What one connection sent.
struct Request {
  std::string raw;     // every byte received, up to and including the blank line
  std::string method;  // "GET"; empty when no request line arrived
  std::string target;  // the request target as sent ("/a?b=1")
  std::string path;    // the target without its query ("/a")

  // The value of the first header line named `name` (case-insensitive), or "".
  std::string header(const std::string& name) const;
};

class FakeHttpServer {
 public:
  FakeHttpServer();  // listening when constructed; fails the current test if it cannot
  ~FakeHttpServer();
  FakeHttpServer(const FakeHttpServer&) = delete;
  FakeHttpServer& operator=(const FakeHttpServer&) = delete;

  // Adds `script` to the answers for `target`: a path ("/a") or a path with
  // its query ("/a?b=1"), which wins over the path alone.
  void route(const std::string& target, Script script);
  // The next connection, whatever it asks for, gets `script`.
  void enqueue(Script script);
  // The answer when nothing else applies.
  void setDefault(Script script);

  int port() const { return port_; }
  std::string hostPort() const;                  // "127.0.0.1:PORT"
  std::string url(const std::string& target) const;  // "http://127.0.0.1:PORT" + target

  // The requests recorded so far, in the order they were read.
  std::vector<Request> requests() const;
  int connectionCount() const;
  // Waits up to `timeoutMs` until `count` requests have been recorded; true when they have.
  bool waitForRequests(int count, int timeoutMs = 5000) const;

 private:
  void acceptLoop();
  void serve(int fd);
  Script pickScript(const Request& request);
  bool play(int fd, const Script& script);
  bool sendAll(int fd, const std::string& bytes);
  bool waitStop(int fd, int ms);
  Request readRequest(int fd);

  int listenFd_ = -1;
  int stopPipe_[2] = {-1, -1};  // written once by the destructor; every wait also polls the read end
  int port_ = 0;

  mutable std::mutex mutex_;
  mutable std::condition_variable recorded_;
  std::vector<Script> queue_;
  std::map<std::string, std::vector<Script>> routes_;
  std::map<std::string, size_t> routeHits_;
  Script default_;
  std::vector<Request> requests_;
  int connections_ = 0;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

}  // namespace fakehttp

#endif  // ZTV_TESTS_SUPPORT_FAKE_HTTP_H
