#include "http/request_guard.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string_view>
#include <system_error>

#include "core/text_util.hpp"

namespace norviai::http {
namespace {

bool is_loopback(const std::string& host) {
  if (host == "localhost") return true;
  in_addr v4{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

// "NAME:PORT" or "[V6]:PORT" as opposed to a bare name or "[V6]".
bool has_port(std::string_view host) {
  if (host.starts_with('[')) return host.find("]:") != std::string_view::npos;
  return host.find(':') != std::string_view::npos;
}

// Compares in time that depends only on the expected token's length.
bool same_secret(std::string_view given, std::string_view expected) {
  unsigned char difference = given.size() == expected.size() ? 0 : 1;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const char c = i < given.size() ? given[i] : '\0';
    difference |= static_cast<unsigned char>(c ^ expected[i]);
  }
  return difference == 0;
}

bool is_json_media_type(const std::string& content_type) {
  const std::string type =
      core::trim(std::string_view(content_type)
                     .substr(0, std::min(content_type.find(';'), content_type.size())));
  return core::ascii_lower(type) == "application/json";
}

bool carries_body(const httplib::Request& request) {
  if (request.method == "POST" || request.method == "PUT" || request.method == "PATCH") {
    return true;
  }
  return request.has_header("Transfer-Encoding") ||
         (request.has_header("Content-Length") &&
          request.get_header_value("Content-Length") != "0");
}

}  // namespace

std::string read_token_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    throw TokenFileError("cannot read token file " + path + ": " +
                         std::system_category().message(errno));
  }
  const std::string content((std::istreambuf_iterator<char>(file)), {});
  const std::string token(core::trim(content));
  if (token.empty()) throw TokenFileError("token file " + path + " is empty");
  // What a header value can carry and a client can send back unchanged.
  if (!std::all_of(token.begin(), token.end(), [](char c) { return c > 0x20 && c < 0x7f; })) {
    throw TokenFileError("token file " + path +
                         " must hold one token of printable ASCII without blanks");
  }
  return token;
}

RequestGuard::RequestGuard(const std::string& bound_host, int port,
                           const std::vector<std::string>& allowed_hosts, std::string token,
                           std::string subject)
    : port_(std::to_string(port)), token_(std::move(token)), subject_(std::move(subject)) {
  const std::string host = core::ascii_lower(bound_host);
  names_.push_back(host.find(':') != std::string::npos ? "[" + host + "]" : host);
  if (is_loopback(host)) names_.emplace_back("localhost");
  if (host == "localhost") names_.insert(names_.end(), {"127.0.0.1", "[::1]"});
  for (const auto& name : allowed_hosts) {
    (has_port(name) ? exact_ : names_).push_back(core::ascii_lower(name));
  }
}

bool RequestGuard::host_allowed(const httplib::Request& request) const {
  if (request.get_header_value_count("Host") != 1) return false;
  const std::string host = core::ascii_lower(core::trim(request.get_header_value("Host")));
  if (std::find(exact_.begin(), exact_.end(), host) != exact_.end()) return true;
  std::string_view name = host;
  std::string_view port;
  const auto colon = host.starts_with('[') ? host.find("]:") : host.find(':');
  if (colon != std::string::npos) {
    const auto split = host.starts_with('[') ? colon + 1 : colon;
    name = std::string_view(host).substr(0, split);
    port = std::string_view(host).substr(split + 1);
  }
  if (!port.empty() && port != port_) return false;
  return std::find(names_.begin(), names_.end(), name) != names_.end();
}

bool RequestGuard::token_matches(const httplib::Request& request) const {
  if (request.get_header_value_count("Authorization") != 1) return false;
  const std::string header = request.get_header_value("Authorization");
  const std::string value = core::trim(header);
  constexpr std::string_view kScheme = "bearer ";
  if (value.size() <= kScheme.size() ||
      core::ascii_lower(std::string_view(value).substr(0, kScheme.size())) != kScheme) {
    return false;
  }
  return same_secret(core::trim(std::string_view(value).substr(kScheme.size())), token_);
}

std::optional<Refusal> RequestGuard::check(const httplib::Request& request) const {
  if (!host_allowed(request)) {
    return Refusal{421, "the Host header does not name this " + subject_};
  }
  if (!token_.empty() && !token_matches(request)) {
    return Refusal{401, "a valid bearer token is required"};
  }
  if (carries_body(request) && !is_json_media_type(request.get_header_value("Content-Type"))) {
    return Refusal{415, "the request body must be application/json"};
  }
  return std::nullopt;
}

}  // namespace norviai::http
