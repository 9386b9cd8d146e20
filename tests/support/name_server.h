#ifndef ZTV_TESTS_SUPPORT_NAME_SERVER_H
#define ZTV_TESTS_SUPPORT_NAME_SERVER_H

// A tiny DNS responder on a loopback address, port 53 (binding it needs
// root): it answers an A query for its one name with its one IPv4 address,
// any other query of that name with no address, and every other name with
// "no such name". For the tests of name resolution on a device root whose
// resolv.conf names it; nothing leaves the machine.

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class NameServer {
 public:
  // Serves `name` (for example "videos.dns.test") as `address` on `listen`:53.
  NameServer(std::string listen, std::string name, std::string address);
  ~NameServer();  // stops the thread
  NameServer(const NameServer&) = delete;
  NameServer& operator=(const NameServer&) = delete;

  // Binds and starts answering; false (with the reason in error()) when it cannot.
  bool start();
  const std::string& error() const { return error_; }
  // Queries received so far for `name` (of any type; any name may be asked).
  int queriesFor(const std::string& name) const;

 private:
  void serve();
  // The reply to one query datagram; empty when it is not a query to answer.
  std::string reply(const std::string& query);

  std::string listen_, name_, address_, error_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> asked_;  // the name of every query, lower case; under mutex_
};

}  // namespace testsupport

#endif  // ZTV_TESTS_SUPPORT_NAME_SERVER_H
