// What the command line prints: results on standard output, progress and errors on standard
// error, with every URL's password masked on both.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "modules/cli/cli.hpp"
#include "modules/common/contract.hpp"

namespace norviai::cli {

namespace {

namespace common = norviai::py_common;
namespace key = norviai::contract::key;

constexpr size_t kShownRows = 20;
constexpr std::string_view kBlanks = " \t\r\n\f\v";

py::object import(const char* name) { return py::module_::import(name); }

// The rows of the last result as an aligned table, or the text itself when it is not a
// plain list of tuples.
std::string rows_table(py::object results) {
  if (results.is_none() || py::len(results) == 0) return "(no rows)";
  py::object last = results.attr("__getitem__")(-1);
  // Anything literal_eval cannot read is shown as the text itself.
  py::object rows =
      common::except_exception([&] { return import("ast").attr("literal_eval")(last); },
                               [](py::object) { return py::object(); });
  if (!rows) return std::string(py::str(last));
  if (!py::isinstance<py::list>(rows) || py::len(rows) == 0) return std::string(py::str(last));
  std::vector<std::vector<std::string>> cells;
  std::vector<size_t> widths;
  for (auto row : rows) {
    if (cells.size() == kShownRows) break;
    std::vector<std::string> line;
    if (py::isinstance<py::tuple>(row)) {
      for (auto value : row) line.push_back(py::str(value));
    } else {
      line.push_back(py::str(row));
    }
    for (size_t i = 0; i < line.size(); ++i) {
      if (widths.size() <= i) widths.push_back(0);
      widths[i] = std::max(widths[i], line[i].size());
    }
    cells.push_back(std::move(line));
  }
  std::string table;
  for (const auto& line : cells) {
    std::string text = " ";
    for (size_t i = 0; i < line.size(); ++i) {
      text += " " + line[i] + std::string(widths[i] - line[i].size(), ' ');
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    table += text + "\n";
  }
  const size_t total = py::len(rows);
  if (total > kShownRows) {
    table += "  ... " + std::to_string(total - kShownRows) + " more rows\n";
  }
  if (!table.empty()) table.pop_back();
  return table;
}

void write_stderr(const std::string& text) {
  py::object stream = import("sys").attr("stderr");
  stream.attr("write")(py::str(mask_passwords(text)));
  stream.attr("flush")();
}

}  // namespace

std::string mask_passwords(std::string_view text, bool one_url) {
  const std::string_view user_ends = one_url ? ":/@" : ":/@ \t\r\n\f\v";
  std::string masked;
  size_t copied = 0;
  size_t from = 0;
  for (size_t scheme = text.find("://"); scheme != std::string_view::npos;
       scheme = text.find("://", from)) {
    const size_t user_start = scheme + 3;
    from = user_start;
    const size_t user_end = text.find_first_of(user_ends, user_start);
    if (user_end == std::string_view::npos || text[user_end] != ':') continue;
    // The password runs to the last "@" of the URL, past any it holds unescaped: more than a
    // parser takes for it, never less.
    const size_t url_end = one_url ? text.size() : text.find_first_of(kBlanks, user_end);
    const size_t at = text.substr(0, url_end).rfind('@');
    if (at == std::string_view::npos || at < user_end) continue;
    masked.append(text.substr(copied, user_end + 1 - copied));
    masked += "***";
    copied = from = at;
  }
  masked.append(text.substr(copied));
  return masked;
}

void out(const std::string& line) { import("builtins").attr("print")(mask_passwords(line)); }

void err(const std::string& line) { write_stderr(line + "\n"); }

void err_text(const std::string& text) { write_stderr(text); }

void print_answer(const Answer& answer, bool as_json) {
  if (as_json) {
    py::object result = import("norviai.agent").attr("_result_mapping")(answer.state);
    out(py::str(import("json").attr("dumps")(result, py::arg("indent") = 2,
                                             py::arg("default") = import("builtins").attr("str"),
                                             py::arg("ensure_ascii") = false)));
    return;
  }
  auto state = [&](const char* name) { return answer.state.attr("get")(name); };
  py::object output = state(key::kFinalResponse);
  out("Answer: " + (output.is_none() ? std::string("(none)") : std::string(py::str(output))));
  py::object queries = state(key::kGeneratedSqlQuery);
  if (!queries.is_none() && py::len(queries) > 0) {
    out("SQL: " + std::string(py::str(queries.attr("__getitem__")(-1))));
  }
  out("Rows:\n" + rows_table(state(key::kSqlExecutionResult)));
  py::object image = state(key::kImagePath);
  if (common::truthy(image)) out("Plot: " + std::string(py::str(image)));
  out("Tokens: " + std::string(py::str(answer.tokens)) + ", cost: $" +
      std::string(py::str("{:.6f}").format(answer.cost)));
}

}  // namespace norviai::cli
