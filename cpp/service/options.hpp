// Command line of norviai-service: turns argv into ServiceOptions.
// A pure function without state, safe from any thread. Throws UsageError (bad, missing or repeated
// arguments) with a one-line message; the caller prints it with usage_text() and exits with 2.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace norviai::service {

inline constexpr int kDefaultPort = 8731;

struct ServiceOptions {
  std::string deployments_path;
  std::string db_path;
  std::string host = "127.0.0.1";
  int port = kDefaultPort;  // 0 asks the system for a free port
  std::string token_file;   // empty: no bearer token required
  std::vector<std::string> allowed_hosts;
  bool help = false;
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

ServiceOptions parse_command_line(int argc, const char* const* argv);

std::string usage_text();

}  // namespace norviai::service
