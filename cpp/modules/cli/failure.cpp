// How the command line reports a failure: the whole cause in one line, and with --json an
// object that keeps the outcome and the usage spent before the failure.
#include <string>
#include <string_view>

#include "modules/cli/cli.hpp"

namespace norviai::cli {

namespace {

py::object import(const char* name) { return py::module_::import(name); }

}  // namespace

std::string one_line(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\n\f\v";
  std::string line;
  size_t at = 0;
  while (at < text.size()) {
    const size_t start = text.find_first_not_of(kBlanks, at);
    if (start == std::string_view::npos) break;
    size_t end = text.find_first_of(kBlanks, start);
    if (end == std::string_view::npos) end = text.size();
    if (!line.empty()) line += ' ';
    line.append(text.substr(start, end - start));
    at = end;
  }
  return line;
}

std::string explain(py::handle error) {
  py::object openai = import("openai");
  py::object sqlalchemy_error = import("sqlalchemy.exc").attr("SQLAlchemyError");
  std::string name = py::str(py::type::handle_of(error).attr("__name__"));
  // Validation errors spread their cause over several lines ("Function X arguments:" first).
  std::string text = one_line(std::string(py::str(error)));
  if (py::isinstance(error, openai.attr("AuthenticationError"))) {
    return "the model service refused the key (HTTP 401): " + text;
  }
  if (py::isinstance(error, openai.attr("APITimeoutError"))) {
    return "the model service did not answer in time";
  }
  if (py::isinstance(error, openai.attr("APIConnectionError"))) {
    return "cannot reach the model service: " + text;
  }
  if (py::isinstance(error, openai.attr("APIStatusError"))) {
    return "the model service answered HTTP " + std::string(py::str(error.attr("status_code"))) +
           ": " + text;
  }
  if (py::isinstance(error, sqlalchemy_error)) return "database error: " + text;
  py::object requests_error = import("requests").attr("RequestException");
  if (py::isinstance(error, requests_error)) return "the vendor service failed: " + text;
  if (name == "FileNotFoundError" || name == "ValueError") return text;
  return name + ": " + text;
}

bool is_timeout(py::handle error) {
  if (py::isinstance(error, import("openai").attr("APITimeoutError"))) return true;
  py::object statement_timeout = import("norviai.askflow.custom_sql").attr("StatementTimeout");
  return py::isinstance(error, statement_timeout) ||
         py::isinstance(error, py::handle(PyExc_TimeoutError));
}

Usage usage_of_failure(py::handle error) {
  py::object spent = py::getattr(error, "norviai_usage", py::none());
  if (!py::isinstance<py::dict>(spent)) return {};
  return Usage{spent["total_tokens"], spent["total_cost"]};
}

void print_failure_json(const std::string& outcome, const std::string& error, const Usage& usage) {
  py::dict failure;
  failure["outcome"] = outcome;
  failure["error"] = error;
  failure["tokens"] = usage.tokens;
  failure["cost"] = usage.cost;
  out(py::str(import("json").attr("dumps")(failure, py::arg("indent") = 2,
                                           py::arg("ensure_ascii") = false)));
}

}  // namespace norviai::cli
