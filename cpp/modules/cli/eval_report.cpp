// The files `norviai eval` writes: every figure as JSON, and one HTML file with the
// per-question table and a plot of cost against accuracy embedded as a PNG.
#include <string>
#include <vector>

#include "modules/cli/eval.hpp"

namespace norviai::cli {

namespace {

py::object import(const char* name) { return py::module_::import(name); }

py::dict summary_mapping(const Summary& summary) {
  py::dict mapping;
  mapping["questions"] = summary.questions;
  mapping["matched"] = summary.matched;
  mapping["accuracy"] = summary.questions == 0 ? 0.0 : 1.0 * summary.matched / summary.questions;
  py::dict tags;
  for (const auto& [tag, counts] : summary.per_tag) {
    py::dict entry;
    entry["matched"] = counts.first;
    entry["questions"] = counts.second;
    entry["accuracy"] = 1.0 * counts.first / counts.second;
    tags[py::str(tag)] = entry;
  }
  mapping["per_tag"] = tags;
  py::dict outcomes;
  for (const char* name : {"answered", "gave up", "failed", "timed out"}) {
    auto found = summary.outcomes.find(name);
    outcomes[name] = found == summary.outcomes.end() ? 0 : found->second;
  }
  mapping["outcomes"] = outcomes;
  mapping["tokens"] = summary.tokens;
  mapping["cost"] = summary.cost;
  mapping["median_seconds"] = summary.median_seconds;
  mapping["p90_seconds"] = summary.p90_seconds;
  mapping["repairs"] = summary.repairs;
  mapping["rewrites"] = summary.rewrites;
  return mapping;
}

py::dict question_mapping(const QuestionResult& result) {
  py::dict mapping;
  mapping["id"] = result.gold.id;
  mapping["question"] = result.gold.question;
  py::list tags;
  for (const auto& tag : result.gold.tags) tags.append(tag);
  mapping["tags"] = tags;
  mapping["outcome"] = outcome_name(result.outcome);
  mapping["match"] = result.match;
  mapping["gold_sql"] = result.gold.gold_sql;
  mapping["predicted_sql"] = result.predicted_sql;
  mapping["difference"] = result.difference;
  mapping["error"] = result.error;
  mapping["tokens"] = result.usage.tokens;
  mapping["cost"] = result.usage.cost;
  mapping["seconds"] = result.seconds;
  mapping["repairs"] = result.repairs;
  mapping["rewrites"] = result.rewrites;
  return mapping;
}

void write_text(const std::string& path, const std::string& text) {
  py::object file = import("builtins").attr("open")(path, "w", py::arg("encoding") = "utf-8");
  file.attr("write")(text);
  file.attr("close")();
}

// Accuracy so far against cost so far, question by question, as a base64 PNG. The Figure is
// drawn on its own canvas: no pyplot state, no display needed.
std::string cost_accuracy_png(const std::vector<QuestionResult>& results) {
  py::object figure =
      import("matplotlib.figure")
          .attr("Figure")(py::arg("figsize") = py::make_tuple(6.4, 4.0), py::arg("dpi") = 100);
  py::object axes = figure.attr("add_subplot")();
  py::list costs, accuracies, colours;
  double cost = 0;
  int matched = 0;
  int asked = 0;
  for (const auto& result : results) {
    cost += result.usage.cost.cast<double>();
    matched += result.match ? 1 : 0;
    ++asked;
    costs.append(cost);
    accuracies.append(1.0 * matched / asked);
    colours.append(result.match ? "tab:green" : "tab:red");
  }
  axes.attr("plot")(costs, accuracies, py::arg("color") = "tab:gray", py::arg("linewidth") = 1);
  axes.attr("scatter")(costs, accuracies, py::arg("c") = colours, py::arg("zorder") = 3);
  axes.attr("set_xlabel")("cost so far ($)");
  axes.attr("set_ylabel")("accuracy so far");
  axes.attr("set_ylim")(-0.05, 1.05);
  axes.attr("set_title")("Cost against accuracy (green: match, red: no match)");
  figure.attr("tight_layout")();
  py::object buffer = import("io").attr("BytesIO")();
  figure.attr("savefig")(buffer, py::arg("format") = "png");
  return py::str(
      import("base64").attr("b64encode")(buffer.attr("getvalue")()).attr("decode")("ascii"));
}

}  // namespace

void write_json(const std::string& path, const Summary& summary,
                const std::vector<QuestionResult>& results) {
  py::dict document;
  document["summary"] = summary_mapping(summary);
  py::list questions;
  for (const auto& result : results) questions.append(question_mapping(result));
  document["questions"] = questions;
  write_text(path, py::str(import("json").attr("dumps")(document, py::arg("indent") = 2,
                                                        py::arg("ensure_ascii") = false)));
}

void write_report(const std::string& path, const Summary& summary,
                  const std::vector<QuestionResult>& results) {
  py::object escape_function = import("html").attr("escape");
  auto escape = [&](const std::string& text) {
    return std::string(py::str(escape_function(text)));
  };
  std::string html =
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>norviai eval</title>\n"
      "<style>body{font-family:sans-serif;margin:2em}table{border-collapse:collapse}"
      "td,th{border:1px solid #ccc;padding:4px 8px;vertical-align:top;text-align:left}"
      "code{white-space:pre-wrap}.match{background:#e6f4ea}.miss{background:#fce8e6}</style>"
      "</head><body>\n<h1>norviai eval</h1>\n<pre>";
  for (const auto& line : summary_lines(summary)) html += escape(line) + "\n";
  html += "</pre>\n<img alt=\"cost against accuracy\" src=\"data:image/png;base64," +
          cost_accuracy_png(results) +
          "\">\n<table>\n<tr><th>id</th><th>question</th>"
          "<th>tags</th><th>outcome</th><th>match</th><th>tokens</th><th>cost ($)</th>"
          "<th>seconds</th><th>generated SQL</th><th>gold SQL</th><th>why not</th></tr>\n";
  for (const auto& result : results) {
    std::string tags;
    for (const auto& tag : result.gold.tags) tags += (tags.empty() ? "" : ", ") + tag;
    const std::string why = result.error.empty() ? result.difference : result.error;
    html += std::string("<tr class=\"") + (result.match ? "match" : "miss") + "\"><td>" +
            escape(result.gold.id) + "</td><td>" + escape(result.gold.question) + "</td><td>" +
            escape(tags) + "</td><td>" + outcome_name(result.outcome) + "</td><td>" +
            (result.match ? "yes" : "no") + "</td><td>" +
            std::string(py::str(result.usage.tokens)) + "</td><td>" +
            std::string(py::str("{:.6f}").format(result.usage.cost)) + "</td><td>" +
            std::string(py::str("{:.2f}").format(result.seconds)) + "</td><td><code>" +
            escape(result.predicted_sql) + "</code></td><td><code>" + escape(result.gold.gold_sql) +
            "</code></td><td>" + escape(why) + "</td></tr>\n";
  }
  html += "</table>\n</body></html>\n";
  write_text(path, html);
}

}  // namespace norviai::cli
