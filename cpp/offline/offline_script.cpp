#include "offline/offline_script.hpp"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <system_error>

#include "core/text_util.hpp"

namespace norviai::offline {

namespace {

using core::trim;
using nlohmann::json;

std::string text_field(const json& entry, const char* name, const std::string& where,
                       bool required = true) {
  const auto found = entry.find(name);
  if (found == entry.end()) {
    if (required) throw ScriptError(where + " has no \"" + name + "\"");
    return "";
  }
  if (found->is_string()) return found->get<std::string>();
  // Long texts may be written as a list of lines.
  if (found->is_array() && std::all_of(found->begin(), found->end(),
                                       [](const json& line) { return line.is_string(); })) {
    std::string text;
    for (const auto& line : *found) {
      if (&line != &found->front()) text += "\n";
      text += line.get<std::string>();
    }
    return text;
  }
  throw ScriptError(where + "." + name + " must be a string or a list of strings");
}

}  // namespace

OfflineScript OfflineScript::parse(const std::string& json_text) {
  json document;
  try {
    document = json::parse(json_text);
  } catch (const json::parse_error& error) {
    throw ScriptError(std::string("not valid JSON: ") + error.what());
  }
  if (!document.is_object() || !document.contains("questions") ||
      !document["questions"].is_array() || document["questions"].empty()) {
    throw ScriptError("expected an object with a non-empty list \"questions\"");
  }
  OfflineScript script;
  std::size_t index = 0;
  for (const auto& entry : document["questions"]) {
    const std::string where = "questions[" + std::to_string(index++) + "]";
    if (!entry.is_object()) throw ScriptError(where + " must be an object");
    DemoQuestion demo;
    demo.question = trim(text_field(entry, "question", where));
    if (demo.question.empty()) throw ScriptError(where + ".question is empty");
    const auto tables = entry.find("tables");
    if (tables == entry.end() || !tables->is_array() ||
        !std::all_of(tables->begin(), tables->end(), [](const json& t) { return t.is_string(); })) {
      throw ScriptError(where + ".tables must be a list of table names");
    }
    for (const auto& table : *tables) demo.tables.push_back(table.get<std::string>());
    demo.sql = trim(text_field(entry, "sql", where));
    demo.code = text_field(entry, "code", where);
    demo.chart_file = text_field(entry, "chart_file", where, /*required=*/false);
    if (demo.chart_file.empty()) demo.chart_file = "chart.png";
    if (demo.chart_file.find('/') != std::string::npos || !demo.chart_file.ends_with(".png")) {
      throw ScriptError(where + ".chart_file must be a plain file name ending in .png");
    }
    demo.answer = text_field(entry, "answer", where);
    script.questions.push_back(std::move(demo));
  }
  return script;
}

OfflineScript OfflineScript::load(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::system_error(errno, std::generic_category(), path);
  std::ostringstream text;
  text << file.rdbuf();
  try {
    return parse(text.str());
  } catch (const ScriptError& error) {
    throw ScriptError("offline model script " + path + ": " + error.what());
  }
}

}  // namespace norviai::offline
