#include "service/usage_report.hpp"

#include <limits>
#include <nlohmann/json.hpp>
#include <vector>

namespace norviai::service {
namespace {

using nlohmann::json;

std::string join(const std::vector<std::string>& parts) {
  std::string text;
  for (const auto& part : parts) {
    if (!text.empty()) text += "; ";
    text += part;
  }
  return text;
}

}  // namespace

UsageReport parse_usage_report(std::string_view body) {
  json document;
  try {
    document = json::parse(body);
  } catch (const json::parse_error& error) {
    // error.what() quotes the body around the fault; only the position is safe to repeat.
    throw InvalidReport("request body is not valid JSON (error at byte " +
                        std::to_string(error.byte) + ")");
  } catch (const json::exception&) {
    throw InvalidReport("request body is not valid JSON (a number is out of range)");
  }
  if (!document.is_object()) {
    throw InvalidReport(
        "request body must be a JSON object with members norvi_api_key, query, "
        "tokens and total_cost");
  }

  UsageReport report;
  std::vector<std::string> faults;
  auto member = [&](const char* name) -> const json* {
    auto found = document.find(name);
    if (found == document.end()) {
      faults.push_back(std::string("missing member \"") + name + "\"");
      return nullptr;
    }
    return &*found;
  };

  const auto read_text = [&](const char* name, std::string& target) {
    if (const json* value = member(name)) {
      if (value->is_string()) {
        target = value->get<std::string>();
      } else {
        faults.push_back(std::string("\"") + name + "\" must be a string");
      }
    }
  };
  read_text("norvi_api_key", report.norvi_api_key);
  read_text("query", report.query);
  if (const json* tokens = member("tokens")) {
    // The parser types every non-negative integer literal as unsigned; negatives, fractions (3.0
    // included) and booleans are refused.
    constexpr auto kMaxTokens =
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (tokens->is_number_unsigned() && tokens->get<std::uint64_t>() <= kMaxTokens) {
      report.tokens = static_cast<std::int64_t>(tokens->get<std::uint64_t>());
    } else {
      faults.emplace_back("\"tokens\" must be a non-negative integer");
    }
  }
  if (const json* cost = member("total_cost")) {
    if (cost->is_number() && cost->get<double>() >= 0.0) {
      report.total_cost = cost->get<double>();
    } else {
      faults.emplace_back("\"total_cost\" must be a non-negative number");
    }
  }
  if (!faults.empty()) throw InvalidReport(join(faults));
  return report;
}

}  // namespace norviai::service
