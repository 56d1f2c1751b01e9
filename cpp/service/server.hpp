// VendorServer: the HTTP routes of the vendor service on cpp-httplib's thread-pooled server.
// Borrows the deployments file and the usage store, which must outlive it. Handlers run on the
// pool's threads; run() blocks the calling thread; stop() and is_running() may be called from any
// thread. bind() throws ListenError; handlers turn every failure into a JSON error response.
// Writes one access-log line per request to standard error: never headers or bodies (keys).
#pragma once

#include <httplib.h>

#include <stdexcept>
#include <string>

#include "service/deployments.hpp"
#include "service/usage_store.hpp"

namespace norviai::service {

class ListenError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class VendorServer {
 public:
  VendorServer(const DeploymentsFile& deployments, UsageStore& store);
  VendorServer(const VendorServer&) = delete;
  VendorServer& operator=(const VendorServer&) = delete;

  // Binds and listens on host:port (0 picks a free port); returns the bound port.
  int bind(const std::string& host, int port);
  // Serves until stop(); false when the accept loop failed on its own.
  bool run();
  // Has no effect before run() has started serving; see is_running().
  void stop();
  bool is_running() const;

 private:
  void add_routes();
  void serve_deployments(httplib::Response& response,
                         nlohmann::ordered_json Deployments::* records);
  void add_question(const httplib::Request& request, httplib::Response& response);
  void list_questions(httplib::Response& response);

  const DeploymentsFile& deployments_;
  UsageStore& store_;
  httplib::Server http_;
};

}  // namespace norviai::service
