// The offline stand-in model's script: the demo questions it knows and how to answer each step
// for them. A plain value; reading it is thread-safe once built. No Python.
// parse() throws ScriptError for a malformed script; load() also throws std::system_error when
// the file cannot be read.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace norviai::offline {

class ScriptError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One question the stand-in knows, with everything needed to answer each step for it.
struct DemoQuestion {
  std::string question;             // exact text, as the demo asks it
  std::vector<std::string> tables;  // the tables the picker answers with
  std::string sql;                  // the query SQL generation answers with
  std::string code;                 // program body; `rows` and `chart_path` are defined before it
  std::string chart_file;           // file name of the chart under the run's save folder
  std::string answer;               // final response; {result}, {output} and {image_path} filled in
};

struct OfflineScript {
  std::vector<DemoQuestion> questions;

  static OfflineScript parse(const std::string& json_text);
  static OfflineScript load(const std::string& path);
};

}  // namespace norviai::offline
