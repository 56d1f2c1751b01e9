// What `norviai eval` keeps of each question and of the run, and how it writes them out.
// Plain values, each owned by its result, plus the Python numbers of the usage counter: expect
// the GIL, and use them from one thread. Writers throw py::error_already_set when a file cannot
// be written.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "modules/cli/cli.hpp"

namespace norviai::cli {

struct GoldQuestion {
  std::string id;
  std::string question;
  std::string gold_sql;
  std::vector<std::string> tags;
};

enum class Outcome { kAnswered, kGaveUp, kFailed, kTimedOut };

const char* outcome_name(Outcome outcome);

struct QuestionResult {
  GoldQuestion gold;
  Outcome outcome = Outcome::kFailed;
  bool match = false;
  std::string predicted_sql;  // the last query generated, "" when none was
  std::string difference;     // why the results differ, "" when they match
  std::string error;          // the failure's one line, "" when the graph ended
  Usage usage;
  double seconds = 0;
  int repairs = 0;
  int rewrites = 0;
};

struct Summary {
  int questions = 0;
  int matched = 0;
  std::map<std::string, std::pair<int, int>> per_tag;  // tag -> (matched, questions)
  std::map<std::string, int> outcomes;                 // outcome name -> questions
  long long tokens = 0;
  double cost = 0;
  double median_seconds = 0;
  double p90_seconds = 0;
  int repairs = 0;
  int rewrites = 0;
};

Summary summarise(const std::vector<QuestionResult>& results);

// The summary as printed, one line each.
std::vector<std::string> summary_lines(const Summary& summary);

// eval_report.cpp: the JSON file and the self-contained HTML report.
void write_json(const std::string& path, const Summary& summary,
                const std::vector<QuestionResult>& results);
void write_report(const std::string& path, const Summary& summary,
                  const std::vector<QuestionResult>& results);

}  // namespace norviai::cli
