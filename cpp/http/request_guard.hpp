// RequestGuard: decides, from a request's head alone, whether a server of ours (the vendor service,
// norviai serve) answers it at all: the Host must name the server (against DNS rebinding), a body
// must be JSON (against cross-site form posts), and with a token configured the request must carry
// it as a bearer token. Immutable after construction, so check() is safe from any thread. Nothing
// here throws except std::bad_alloc; read_token_file() throws TokenFileError naming the file, never
// quoting it.
#pragma once

#include <httplib.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace norviai::http {

class TokenFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The token in the file, surrounding blanks and line ends removed.
std::string read_token_file(const std::string& path);

struct Refusal {
  int status;
  std::string message;
};

class RequestGuard {
 public:
  // `bound_host` and `port` as listened on; `allowed_hosts` are further names (NAME or NAME:PORT);
  // an empty `token` means none is required; `subject` names the server in refusals ("service").
  RequestGuard(const std::string& bound_host, int port,
               const std::vector<std::string>& allowed_hosts, std::string token,
               std::string subject = "service");

  std::optional<Refusal> check(const httplib::Request& request) const;

 private:
  bool host_allowed(const httplib::Request& request) const;
  bool token_matches(const httplib::Request& request) const;

  std::vector<std::string> names_;  // lower-case, without port: with or without :port_
  std::vector<std::string> exact_;  // lower-case NAME:PORT as given
  std::string port_;
  std::string token_;
  std::string subject_;
};

}  // namespace norviai::http
