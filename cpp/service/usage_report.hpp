// Usage reports as clients post them: {"norvi_api_key": str, "query": str, "tokens": int,
// "total_cost": number}. parse_usage_report is pure and thread-safe; it throws InvalidReport whose
// message lists every fault found and never quotes the body (it carries a key).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace norviai::service {

class InvalidReport : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct UsageReport {
  std::string norvi_api_key;
  std::string query;
  std::int64_t tokens = 0;
  double total_cost = 0.0;
};

UsageReport parse_usage_report(std::string_view body);

}  // namespace norviai::service
