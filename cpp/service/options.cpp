#include "service/options.hpp"

#include <charconv>
#include <string_view>
#include <system_error>

namespace norviai::service {
namespace {

int parse_port(std::string_view text) {
  int port = -1;
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, port);
  if (error != std::errc() || stop != end || port < 0 || port > 65535) {
    throw UsageError("--port must be a whole number from 0 to 65535, got '" + std::string(text) +
                     "'");
  }
  return port;
}

}  // namespace

std::string usage_text() {
  return "usage: norviai-service --deployments FILE --db FILE [--host HOST] [--port PORT]\n"
         "                       [--token-file FILE] [--allowed-host NAME]...\n"
         "\n"
         "Serves model deployments from a JSON file and stores usage reports in SQLite.\n"
         "\n"
         "  --deployments FILE  JSON file {\"azure\": [...], \"openai\": [...]}, re-read on each "
         "request\n"
         "  --db FILE           SQLite file for usage reports (created if missing)\n"
         "  --host HOST         address to listen on (default 127.0.0.1)\n"
         "  --port PORT         port to listen on (default 8731; 0 picks a free port)\n"
         "  --token-file FILE   answer only requests with \"Authorization: Bearer TOKEN\", TOKEN\n"
         "                      being the file's content\n"
         "  --allowed-host NAME also accept Host: NAME (with or without the port), e.g. a name\n"
         "                      clients reach the service by; repeatable. Always accepted: the\n"
         "                      listening address, and localhost when listening on loopback\n"
         "  --help              show this text\n";
}

ServiceOptions parse_command_line(int argc, const char* const* argv) {
  ServiceOptions options;
  bool seen_deployments = false, seen_db = false, seen_host = false, seen_port = false,
       seen_token_file = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      continue;
    }
    // Both "--name value" and "--name=value".
    std::string_view name = arg;
    std::string_view value;
    bool has_value = false;
    if (auto equals = arg.find('='); arg.starts_with("--") && equals != std::string_view::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
      has_value = true;
    }
    bool* seen = nullptr;  // stays null for an option that may be repeated
    if (name == "--deployments") {
      seen = &seen_deployments;
    } else if (name == "--db") {
      seen = &seen_db;
    } else if (name == "--host") {
      seen = &seen_host;
    } else if (name == "--port") {
      seen = &seen_port;
    } else if (name == "--token-file") {
      seen = &seen_token_file;
    } else if (name != "--allowed-host") {
      throw UsageError("unknown argument '" + std::string(arg) + "'");
    }
    if (seen != nullptr && *seen) throw UsageError(std::string(name) + " given more than once");
    if (seen != nullptr) *seen = true;
    if (!has_value) {
      if (i + 1 >= argc) throw UsageError(std::string(name) + " needs a value");
      value = argv[++i];
    }
    if (value.empty()) throw UsageError(std::string(name) + " needs a non-empty value");
    if (name == "--deployments") {
      options.deployments_path = value;
    } else if (name == "--db") {
      options.db_path = value;
    } else if (name == "--host") {
      options.host = value;
    } else if (name == "--token-file") {
      options.token_file = value;
    } else if (name == "--allowed-host") {
      if (value.find_first_of(" \t/@") != std::string_view::npos) {
        throw UsageError("--allowed-host takes a host name, got '" + std::string(value) + "'");
      }
      options.allowed_hosts.emplace_back(value);
    } else if (name == "--port") {
      options.port = parse_port(value);
    }
  }
  if (options.help) return options;
  if (!seen_deployments) throw UsageError("--deployments FILE is required");
  if (!seen_db) throw UsageError("--db FILE is required");
  return options;
}

}  // namespace norviai::service
