// `norviai eval`: every question of a gold file through the whole graph, its result compared
// with the gold query's on the same database, a progress line per question and a summary.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "core/result_compare.hpp"
#include "modules/cli/cli.hpp"
#include "modules/cli/eval.hpp"
#include "modules/common/contract.hpp"

namespace norviai::cli {

namespace {

namespace common = norviai::py_common;
namespace key = norviai::contract::key;

py::object import(const char* name) { return py::module_::import(name); }

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string percent(int part, int whole) {
  return std::to_string(part) + "/" + std::to_string(whole) + " (" +
         fixed(whole == 0 ? 0.0 : 100.0 * part / whole, 1) + "%)";
}

std::vector<GoldQuestion> read_gold(const std::string& path) {
  py::object json = import("json");
  std::vector<GoldQuestion> questions;
  py::object file;
  try {
    file = import("builtins").attr("open")(path, py::arg("encoding") = "utf-8");
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_OSError)) throw;
    throw UserError("cannot read the gold file " + path + ": " +
                    one_line(std::string(py::str(error.value()))));
  }
  py::list lines = file.attr("readlines")();
  file.attr("close")();
  int number = 0;
  for (py::handle line_object : lines) {
    ++number;
    const std::string line = one_line(std::string(py::str(line_object)));
    if (line.empty()) continue;
    const std::string where = path + " line " + std::to_string(number);
    py::object entry;
    try {
      entry = json.attr("loads")(line);
    } catch (py::error_already_set& error) {
      if (!error.matches(PyExc_ValueError)) throw;
      throw UserError(where + " is not JSON: " + one_line(std::string(py::str(error.value()))));
    }
    if (!py::isinstance<py::dict>(entry)) throw UserError(where + " is not a JSON object");
    auto text_field = [&](const char* name) {
      py::object value = entry.attr("get")(name);
      if (!py::isinstance<py::str>(value) || py::len(value) == 0) {
        throw UserError(where + " has no \"" + std::string(name) + "\" text");
      }
      return std::string(py::str(value));
    };
    GoldQuestion question;
    question.question = text_field("question");
    question.gold_sql = text_field("gold_sql");
    py::object id = entry.attr("get")("id");
    question.id = id.is_none() ? "line " + std::to_string(number) : std::string(py::str(id));
    py::object tags = entry.attr("get")("tags", py::list());
    if (!py::isinstance<py::list>(tags)) throw UserError(where + ": \"tags\" is not a list");
    for (py::handle tag : tags) question.tags.push_back(py::str(tag));
    questions.push_back(std::move(question));
  }
  if (questions.empty()) throw UserError("the gold file " + path + " holds no questions");
  return questions;
}

// Driver values as the comparison reads them; a bool counts as the number it stands for.
core::ResultRows rows_of(py::object result) {
  py::object decimal = import("decimal").attr("Decimal");
  core::ResultRows rows;
  for (py::handle row : result) {
    std::vector<core::Cell> cells;
    for (py::handle value : row) {
      if (value.is_none()) {
        cells.push_back(core::Cell::null());
      } else if (PyBool_Check(value.ptr())) {
        cells.push_back(core::Cell::number(value.ptr() == Py_True ? "1" : "0"));
      } else if (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr()) ||
                 py::isinstance(value, decimal)) {
        cells.push_back(core::Cell::number(py::str(value)));
      } else {
        cells.push_back(core::Cell::of_text(py::str(value)));
      }
    }
    rows.push_back(std::move(cells));
  }
  return rows;
}

// The rows of `sql` read-only through the wrapper (its guard, time limit and row cap).
core::ResultRows run_rows(py::object database, const std::string& sql) {
  return rows_of(database.attr("run")(sql, py::arg("fetch") = "cursor"));
}

int count_of(py::object value) {
  if (value.is_none()) return 0;
  try {
    return value.cast<int>();
  } catch (const py::cast_error&) {
    return 0;
  }
}

void judge(QuestionResult& result, py::object state, py::object database) {
  auto get = [&](const char* name) { return state.attr("get")(name); };
  py::object queries = get(key::kGeneratedSqlQuery);
  const int generated = queries.is_none() ? 0 : static_cast<int>(py::len(queries));
  result.rewrites = count_of(get(key::kRewriteCount));
  result.repairs = std::max(0, generated - 1 - result.rewrites);
  const bool executed = common::truthy(get(key::kExecutionSuccess));
  if (generated > 0) result.predicted_sql = py::str(queries.attr("__getitem__")(-1));
  result.outcome = executed ? Outcome::kAnswered : Outcome::kGaveUp;
  if (!executed) {
    result.difference = "no query ran successfully";
    return;
  }
  common::except_exception(
      [&] {
        core::ResultRows predicted = run_rows(database, result.predicted_sql);
        core::ResultRows gold = run_rows(database, result.gold.gold_sql);
        core::Comparison comparison =
            core::compare_results(gold, predicted, core::orders_its_result(result.gold.gold_sql));
        result.match = comparison.match;
        result.difference = comparison.difference;
        return py::none();
      },
      [&](py::object error) {
        result.difference = "re-running the queries failed: " + mask_passwords(explain(error));
        return py::none();
      });
}

QuestionResult ask_one(Session& session, py::object database, const GoldQuestion& gold,
                       py::object media) {
  QuestionResult result;
  result.gold = gold;
  const auto started = std::chrono::steady_clock::now();
  py::object state;
  common::except_exception(
      [&] {
        py::tuple counted =
            import("norviai.agent").attr("_ask_counted")(session.agent, gold.question, media);
        state = counted[0];
        py::dict usage = counted[1];
        result.usage = Usage{usage["total_tokens"], usage["total_cost"]};
        return py::none();
      },
      [&](py::object error) {
        result.outcome = is_timeout(error) ? Outcome::kTimedOut : Outcome::kFailed;
        // The files eval writes do not pass through out() and err(), which mask passwords.
        result.error = mask_passwords(explain(error));
        result.usage = usage_of_failure(error);
        return py::none();
      });
  result.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (state) judge(result, state, database);
  return result;
}

double quantile(std::vector<double> values, double q) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  // Linear between the closest ranks, as numpy's default.
  const double position = q * static_cast<double>(values.size() - 1);
  const size_t below = static_cast<size_t>(std::floor(position));
  const size_t above = std::min(below + 1, values.size() - 1);
  return values[below] + (values[above] - values[below]) * (position - static_cast<double>(below));
}

}  // namespace

const char* outcome_name(Outcome outcome) {
  switch (outcome) {
    case Outcome::kAnswered:
      return "answered";
    case Outcome::kGaveUp:
      return "gave up";
    case Outcome::kFailed:
      return "failed";
    case Outcome::kTimedOut:
      return "timed out";
  }
  return "failed";
}

Summary summarise(const std::vector<QuestionResult>& results) {
  Summary summary;
  std::vector<double> seconds;
  for (const auto& result : results) {
    ++summary.questions;
    summary.matched += result.match ? 1 : 0;
    ++summary.outcomes[outcome_name(result.outcome)];
    for (const auto& tag : result.gold.tags) {
      auto& [matched, total] = summary.per_tag[tag];
      matched += result.match ? 1 : 0;
      ++total;
    }
    summary.tokens += result.usage.tokens.cast<long long>();
    summary.cost += result.usage.cost.cast<double>();
    summary.repairs += result.repairs;
    summary.rewrites += result.rewrites;
    seconds.push_back(result.seconds);
  }
  summary.median_seconds = quantile(seconds, 0.5);
  summary.p90_seconds = quantile(seconds, 0.9);
  return summary;
}

std::vector<std::string> summary_lines(const Summary& summary) {
  std::vector<std::string> lines;
  lines.push_back("Accuracy: " + percent(summary.matched, summary.questions));
  for (const auto& [tag, counts] : summary.per_tag) {
    lines.push_back("  " + tag + ": " + percent(counts.first, counts.second));
  }
  std::string outcomes = "Outcomes:";
  for (const char* name : {"answered", "gave up", "failed", "timed out"}) {
    auto found = summary.outcomes.find(name);
    outcomes += std::string(name == std::string("answered") ? " " : ", ") + name + " " +
                std::to_string(found == summary.outcomes.end() ? 0 : found->second);
  }
  lines.push_back(outcomes);
  lines.push_back("Tokens: " + std::to_string(summary.tokens) + ", cost: $" +
                  fixed(summary.cost, 6));
  lines.push_back("Seconds per question: median " + fixed(summary.median_seconds, 2) +
                  ", 90th percentile " + fixed(summary.p90_seconds, 2));
  lines.push_back("Repairs: " + std::to_string(summary.repairs) +
                  ", rewrites: " + std::to_string(summary.rewrites));
  return lines;
}

void add_eval_parser(py::object commands) {
  py::object eval = commands.attr("add_parser")(
      "eval", py::arg("help") = "run a gold file of questions and report execution accuracy");
  eval.attr("add_argument")("gold", py::arg("help") =
                                        "JSONL file: one object a line with question, gold_sql and "
                                        "optional id and tags");
  add_db_option(eval);
  eval.attr("add_argument")("--json", py::arg("metavar") = "OUT",
                            py::arg("help") =
                                "write the summary and every question's result as "
                                "JSON to OUT");
  eval.attr("add_argument")("--report", py::arg("metavar") = "OUT.html",
                            py::arg("help") = "write a self-contained HTML report to OUT.html");
  eval.attr("add_argument")("--media", py::arg("metavar") = "DIR",
                            py::arg("default") = "norviai-media",
                            py::arg("help") = "folder for plots (default: norviai-media)");
  add_model_options(eval);
}

int run_eval(py::object args) {
  const std::vector<GoldQuestion> questions = read_gold(py::str(args.attr("gold")));
  Session session;
  session.source = model_source(common::truthy(args.attr("offline")));
  out("Using " + describe(session.source) + ".");
  py::object url = database_url(args.attr("db"));
  build_agent(session, url);
  py::object database = open_database(url);
  py::object media = import("os").attr("path").attr("abspath")(args.attr("media"));

  std::vector<QuestionResult> results;
  const std::string total = std::to_string(questions.size());
  for (const auto& gold : questions) {
    results.push_back(ask_one(session, database, gold, media));
    const QuestionResult& result = results.back();
    std::string line = "[" + std::to_string(results.size()) + "/" + total + "] " + gold.id + ": " +
                       outcome_name(result.outcome) + ", " + (result.match ? "match" : "no match") +
                       ", " + fixed(result.seconds, 1) + " s, " +
                       std::string(py::str(result.usage.tokens)) + " tokens";
    if (!result.error.empty()) line += " (" + result.error + ")";
    err(line);
  }
  const Summary summary = summarise(results);
  for (const auto& line : summary_lines(summary)) out(line);
  py::object json_path = args.attr("json");
  if (!json_path.is_none()) {
    write_json(py::str(json_path), summary, results);
    out("Results written to " + std::string(py::str(json_path)));
  }
  py::object report_path = args.attr("report");
  if (!report_path.is_none()) {
    write_report(py::str(report_path), summary, results);
    out("Report written to " + std::string(py::str(report_path)));
  }
  return 0;
}

}  // namespace norviai::cli
