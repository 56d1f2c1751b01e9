// VendorServer: the HTTP routes of the vendor service on a bounded cpp-httplib server; requests
// the RequestGuard refuses are answered before their body is read. Borrows the deployments file
// and the usage store, which must outlive it. Handlers run on the pool's threads; run() blocks the
// calling thread; stop() and is_running() may be called from any thread. bind() throws
// ListenError; handlers turn every failure into a JSON error response. Writes one access-log line
// per request to standard error: never headers or bodies (keys, tokens).
#pragma once

#include <httplib.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "http/request_guard.hpp"
#include "service/bounded_server.hpp"
#include "service/deployments.hpp"
#include "service/usage_store.hpp"

namespace norviai::service {

using http::Refusal;
using http::RequestGuard;

class ListenError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct AccessRules {
  std::vector<std::string> allowed_hosts;  // besides the listening address
  std::string token;                       // empty: none required
};

class VendorServer {
 public:
  VendorServer(const DeploymentsFile& deployments, UsageStore& store, AccessRules rules);
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
  void serve_deployments(httplib::Response& response, nlohmann::ordered_json Deployments::*records);
  void add_question(httplib::Response& response, const httplib::ContentReader& read_body);
  void list_questions(httplib::Response& response);

  const DeploymentsFile& deployments_;
  UsageStore& store_;
  AccessRules rules_;
  std::optional<RequestGuard> guard_;  // set by bind(), which knows the port
  BoundedServer http_;
};

}  // namespace norviai::service
