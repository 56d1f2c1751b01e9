#include "modules/cli/offline_model.hpp"

#include <httplib.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string_view>
#include <system_error>

#include "core/text_util.hpp"

namespace norviai::cli {

namespace {

using core::trim;
using nlohmann::json;
using nlohmann::ordered_json;

// The name langchain's usage callback knows how to price.
constexpr const char* kModelName = "gpt-35-turbo";
// Share of words a question must have in common with a demo question to count as it.
constexpr double kMatchThreshold = 0.6;
constexpr std::size_t kMaxBodyBytes = std::size_t{16} << 20;

// Landmarks of the prompts the question graph's steps send.
constexpr std::string_view kSchemasMarker = "\n Schemas_from_relevant_tables:";
constexpr std::string_view kRewriteQuestion = "The user's question: ";
constexpr std::string_view kProgramQuestion = "Write the Python program for this question: ";
constexpr std::string_view kPlotsFolder = "Plots, if any, go under: ";
constexpr std::string_view kQueryHeader = "SQL query";
constexpr std::string_view kResultHeader = "\nResult of ";
constexpr std::string_view kRowsIntro = "(a Python list of row tuples):\n";
constexpr std::string_view kResponseQuestion = "User question: ";
constexpr std::string_view kResponseSql = "\nSQL query: ";
constexpr std::string_view kResponseResult = "\nSQL query result: ";
constexpr std::string_view kResponseCode = "\nPython code: ";
constexpr std::string_view kResponseOutput = "\nPython executed result: ";
constexpr std::string_view kResponseEnd = "\nUse the above result to address user's question.";
constexpr std::string_view kCheckerEnd = "\nDouble check the ";
constexpr std::string_view kPandasGaveUp = "Python generation failed after max iterations";

// ---- text ---------------------------------------------------------------------------------

// The text after `start` up to `end` (or to the end of the text), if `start` occurs.
std::optional<std::string> section(std::string_view text, std::string_view start,
                                   std::string_view end, bool last_start = false) {
  const auto begin = last_start ? text.rfind(start) : text.find(start);
  if (begin == std::string_view::npos) return std::nullopt;
  const auto from = begin + start.size();
  const auto stop = end.empty() ? std::string_view::npos : text.find(end, from);
  return std::string(text.substr(from, stop == std::string_view::npos ? text.npos : stop - from));
}

// Lower-case words; bytes of UTF-8 sequences count as letters, so accented words stay whole.
std::vector<std::string> words(std::string_view text) {
  std::vector<std::string> out;
  std::string word;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || byte >= 0x80) {
      word += static_cast<char>(byte >= 'A' && byte <= 'Z' ? byte - 'A' + 'a' : byte);
    } else if (!word.empty()) {
      out.push_back(std::move(word));
      word.clear();
    }
  }
  if (!word.empty()) out.push_back(std::move(word));
  return out;
}

std::string collapse_blanks(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (std::string_view(" \t\n\r\f\v").find(c) != std::string_view::npos) {
      if (!out.empty() && out.back() != ' ') out += ' ';
    } else {
      out += c;
    }
  }
  return trim(out);
}

// A query as written, compared without layout and without a final semicolon.
std::string query_key(std::string_view sql) {
  std::string key = collapse_blanks(sql);
  while (!key.empty() && (key.back() == ';' || key.back() == ' ')) key.pop_back();
  return key;
}

std::string python_string(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\'':
        out += "\\'";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(c));
          out += escape;
        } else {
          out += c;
        }
    }
  }
  return out + "'";
}

std::string join(const std::vector<std::string>& items, std::string_view separator) {
  std::string out;
  for (const auto& item : items) {
    if (!out.empty()) out += separator;
    out += item;
  }
  return out;
}

// ---- requests -----------------------------------------------------------------------------

// Requests come from any client: members of the wrong type read as absent.
std::string string_member(const json& object, const char* name) {
  if (!object.is_object()) return "";
  const auto found = object.find(name);
  return found != object.end() && found->is_string() ? found->get<std::string>() : "";
}

bool flag_member(const json& object, const char* name) {
  if (!object.is_object()) return false;
  const auto found = object.find(name);
  return found != object.end() && found->is_boolean() && found->get<bool>();
}

const json& object_member(const json& object, const char* name) {
  static const json kEmpty = json::object();
  if (!object.is_object()) return kEmpty;
  const auto found = object.find(name);
  return found != object.end() && found->is_object() ? *found : kEmpty;
}

std::string message_text(const json& message) {
  if (!message.is_object()) return "";
  const auto content = message.find("content");
  if (content == message.end()) return "";
  if (content->is_string()) return content->get<std::string>();
  std::string text;
  if (content->is_array()) {
    for (const auto& part : *content) {
      if (part.is_object() && part.contains("text") && part["text"].is_string()) {
        text += part["text"].get<std::string>();
      }
    }
  }
  return text;
}

const json& messages_of(const json& request) {
  static const json kNone = json::array();
  const auto found = request.find("messages");
  return found != request.end() && found->is_array() ? *found : kNone;
}

std::string last_user_text(const json& request) {
  const json& messages = messages_of(request);
  for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
    if (string_member(*it, "role") == "user") return message_text(*it);
  }
  return messages.empty() ? "" : message_text(messages.back());
}

// The first message holding `start`, from there up to `end` (empty: to its end).
std::optional<std::string> find_in_messages(const json& request, std::string_view start,
                                            std::string_view end) {
  for (const auto& message : messages_of(request)) {
    if (auto found = section(message_text(message), start, end)) return found;
  }
  return std::nullopt;
}

std::string all_text(const json& request) {
  std::string text;
  for (const auto& message : messages_of(request)) text += message_text(message) + "\n\n";
  return text;
}

std::string forced_tool(const json& request) {
  std::string name =
      string_member(object_member(object_member(request, "tool_choice"), "function"), "name");
  if (!name.empty()) return name;
  const auto choice = request.find("tool_choice");
  const bool none = choice != request.end() && choice->is_string() && *choice == "none";
  const auto tools = request.find("tools");
  if (!none && tools != request.end() && tools->is_array() && tools->size() == 1) {
    return string_member(object_member((*tools)[0], "function"), "name");
  }
  return "";
}

// The table names the picker's tool offers (the enum of its items).
std::vector<std::string> offered_tables(const json& request) {
  std::vector<std::string> names;
  const auto tools = request.find("tools");
  if (tools == request.end() || !tools->is_array()) return names;
  for (const auto& tool : *tools) {
    static const json::json_pointer kItems("/function/parameters/properties/relevant_tables/items");
    if (!tool.is_object() || !tool.contains(kItems)) continue;
    const json& items = tool[kItems];
    static const json::json_pointer kNested("/properties/table_name/enum");
    const json* values = items.contains(kNested)  ? &items[kNested]
                         : items.contains("enum") ? &items["enum"]
                                                  : nullptr;
    if (values == nullptr || !values->is_array()) continue;
    for (const auto& value : *values) {
      if (value.is_string()) names.push_back(value.get<std::string>());
    }
  }
  return names;
}

// Whether the question names the table, singular or plural, with underscores read as spaces.
bool mentions(std::string_view question, std::string_view table) {
  const std::string padded = " " + join(words(question), " ") + " ";
  const std::string name = join(words(table), " ");
  if (name.empty()) return false;
  std::vector<std::string> forms = {name, name + "s"};
  if (name.ends_with("ies")) forms.push_back(name.substr(0, name.size() - 3) + "y");
  if (name.ends_with("y")) forms.push_back(name.substr(0, name.size() - 1) + "ies");
  if (name.ends_with("s") && name.size() > 1) forms.push_back(name.substr(0, name.size() - 1));
  return std::any_of(forms.begin(), forms.end(), [&](const std::string& form) {
    return padded.find(" " + form + " ") != std::string::npos;
  });
}

// ---- the generic query --------------------------------------------------------------------

// Table names of the CREATE TABLE statements in the schemas a prompt quotes, in order.
std::vector<std::string> created_tables(std::string_view text) {
  std::vector<std::string> names;
  constexpr std::string_view kCreate = "CREATE TABLE ";
  for (auto at = text.find(kCreate); at != text.npos; at = text.find(kCreate, at + 1)) {
    std::size_t i = at + kCreate.size();
    std::string name;
    if (i < text.size() && (text[i] == '"' || text[i] == '`' || text[i] == '[')) {
      const char close = text[i] == '[' ? ']' : text[i];
      const auto end = text.find(close, i + 1);
      if (end == text.npos) continue;
      name = std::string(text.substr(i + 1, end - i - 1));
    } else {
      while (i < text.size() && (std::isalnum(static_cast<unsigned char>(text[i])) ||
                                 text[i] == '_' || text[i] == '$' || text[i] == '.')) {
        name += text[i++];
      }
    }
    if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) {
      names.push_back(name);
    }
  }
  return names;
}

std::string quoted_identifier(const std::string& name, std::string_view dialect) {
  const bool plain = !name.empty() && !std::isdigit(static_cast<unsigned char>(name[0])) &&
                     std::all_of(name.begin(), name.end(), [](char c) {
                       return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.';
                     });
  if (plain) return name;
  if (dialect == "mysql" || dialect == "mariadb") return "`" + name + "`";
  if (dialect == "mssql") return "[" + name + "]";
  std::string out = "\"";
  for (char c : name) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

std::string sql_string(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

// What the stand-in answers for questions it has no script for: the row count of each table
// the prompt shows, which is true on any database and often what the question was after.
std::string row_count_query(std::string_view prompt) {
  std::string dialect;
  for (std::string_view lead : {"You are an expert ", "create a syntactically correct "}) {
    if (auto rest = section(prompt, lead, " ")) {
      dialect = core::ascii_lower(*rest);
      break;
    }
  }
  std::vector<std::string> parts;
  for (const auto& table : created_tables(prompt)) {
    parts.push_back("SELECT " + sql_string(table) + " AS table_name, COUNT(*) AS row_count FROM " +
                    quoted_identifier(table, dialect));
  }
  if (parts.empty()) return "SELECT 'no table' AS table_name, 0 AS row_count";
  return join(parts, "\nUNION ALL\n");
}

// ---- programs -----------------------------------------------------------------------------

constexpr const char* kRowsPrelude =
    "# The offline stand-in model copied these rows from the query result.\n"
    "import datetime\n"
    "import os\n"
    "from decimal import Decimal\n"
    "\n";

std::string scripted_program(const DemoQuestion& demo, const std::string& rows,
                             const std::string& folder) {
  return std::string(kRowsPrelude) + "rows = " + rows + "\n" +
         "save_folder = " + python_string(folder) + "\n" +
         "# A relative save folder may already be the folder the program runs in.\n"
         "chart_path = os.path.abspath(os.path.join(save_folder, " +
         python_string(demo.chart_file) + ") if os.path.isdir(save_folder) else " +
         python_string(demo.chart_file) + ")\n\n" + demo.code + "\n";
}

std::string listing_program(const std::string& rows) {
  return std::string(kRowsPrelude) + "rows = " + rows + "\n" +
         "print(f\"The query returned {len(rows)} row(s):\")\n"
         "for row in rows:\n"
         "    values = [str(value) for value in row]\n"
         "    print(\": \".join(values) if len(values) == 2 else \", \".join(values))\n";
}

constexpr std::string_view kRepairNote =
    "The offline stand-in model cannot repair analysis programs; the query result is the answer.";

// The last result a pandas prompt shows, as the Python literal it is, and the query behind it.
struct LastResult {
  std::string rows = "[]";
  std::string sql;
};

LastResult last_result(std::string_view prompt) {
  LastResult last;
  const auto rows = prompt.rfind(kRowsIntro);
  if (rows == prompt.npos) return last;
  const auto from = rows + kRowsIntro.size();
  const auto line_end = prompt.find('\n', from);
  std::string literal =
      trim(prompt.substr(from, line_end == prompt.npos ? prompt.npos : line_end - from));
  if (literal.size() >= 2 && literal.front() == '[' && literal.back() == ']') last.rows = literal;
  // The query sits between its header line and the result's header line.
  const auto header = prompt.rfind(kResultHeader, rows);
  const auto query = header == prompt.npos ? prompt.npos : prompt.rfind(kQueryHeader, header);
  if (query != prompt.npos) {
    const auto sql_start = prompt.find('\n', query);
    if (sql_start != prompt.npos && sql_start < header) {
      last.sql = trim(prompt.substr(sql_start + 1, header - sql_start - 1));
    }
  }
  return last;
}

// Whether the state's query list (as Python prints a list of str) ends with `sql`.
bool list_ends_with_query(std::string_view printed_list, const std::string& sql) {
  std::string text(printed_list);
  for (std::string_view escape : {"\\n", "\\t", "\\r"}) {
    for (auto at = text.find(escape); at != text.npos; at = text.find(escape, at)) {
      text.replace(at, escape.size(), " ");
    }
  }
  text = trim(text);
  if (!text.empty() && text.back() == ']') text.pop_back();
  text = trim(text);
  if (!text.empty() && (text.back() == '\'' || text.back() == '"')) text.pop_back();
  const std::string expected = query_key(sql);
  return !expected.empty() && query_key(text).ends_with(expected);
}

std::string fill(std::string_view pattern,
                 const std::vector<std::pair<std::string, std::string>>& values) {
  std::string out;
  for (std::size_t i = 0; i < pattern.size();) {
    bool replaced = false;
    if (pattern[i] == '{') {
      for (const auto& [name, value] : values) {
        const std::string placeholder = "{" + name + "}";
        if (pattern.substr(i, placeholder.size()) == placeholder) {
          out += value;
          i += placeholder.size();
          replaced = true;
          break;
        }
      }
    }
    if (!replaced) out += pattern[i++];
  }
  return out;
}

// ---- script -------------------------------------------------------------------------------

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
    std::vector<std::string> lines;
    for (const auto& line : *found) lines.push_back(line.get<std::string>());
    return join(lines, "\n");
  }
  throw ScriptError(where + "." + name + " must be a string or a list of strings");
}

}  // namespace

// ---- OfflineScript ------------------------------------------------------------------------

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

// ---- OfflineResponder ---------------------------------------------------------------------

namespace {

using Turn = OfflineResponder::Turn;

Turn tool_turn(const char* name, json arguments) { return Turn{"", name, std::move(arguments)}; }

const DemoQuestion* match(const OfflineScript& script, const std::string& asked) {
  const std::string question = trim(asked);
  if (question.empty()) return nullptr;
  for (const auto& demo : script.questions) {
    if (demo.question == question) return &demo;
  }
  const auto asked_words = words(question);
  const std::set<std::string> asked_set(asked_words.begin(), asked_words.end());
  const DemoQuestion* best = nullptr;
  double best_score = 0.0;
  for (const auto& demo : script.questions) {
    const auto demo_words = words(demo.question);
    const std::set<std::string> demo_set(demo_words.begin(), demo_words.end());
    std::size_t shared = 0;
    for (const auto& word : asked_set) shared += demo_set.count(word);
    const std::size_t either = asked_set.size() + demo_set.size() - shared;
    const double score = either == 0 ? 0.0 : static_cast<double>(shared) / either;
    if (score > best_score) best = &demo, best_score = score;
  }
  return best_score >= kMatchThreshold ? best : nullptr;
}

std::string demo_question_list(const OfflineScript& script) {
  std::string list;
  for (const auto& demo : script.questions) list += "\n- " + demo.question;
  return list;
}

Turn pick_tables(const OfflineScript& script, const json& request) {
  const std::string question = last_user_text(request);
  const auto offered = offered_tables(request);
  const auto is_offered = [&](const std::string& name) {
    return offered.empty() || std::find(offered.begin(), offered.end(), name) != offered.end();
  };
  std::vector<std::string> chosen;
  if (const DemoQuestion* demo = match(script, question)) {
    for (const auto& table : demo->tables) {
      if (is_offered(table)) chosen.push_back(table);
    }
  }
  if (chosen.empty()) {
    for (const auto& table : offered) {
      if (mentions(question, table)) chosen.push_back(table);
    }
  }
  if (chosen.empty()) chosen = offered;
  return tool_turn("select_relevant_tables", {{"relevant_tables", chosen}});
}

Turn write_sql(const OfflineScript& script, const json& request) {
  // A first attempt carries the question before the schemas; a repair request (the scripted
  // query failed on this database) gets the query that works anywhere.
  const std::string user = last_user_text(request);
  const auto schemas = user.find(kSchemasMarker);
  if (schemas != std::string::npos) {
    if (const DemoQuestion* demo = match(script, user.substr(0, schemas))) {
      return tool_turn("SQLQueryInput", {{"sql_query", demo->sql}});
    }
  }
  return tool_turn("SQLQueryInput", {{"sql_query", row_count_query(all_text(request))}});
}

Turn rewrite_question(const json& request) {
  auto question = find_in_messages(request, kRewriteQuestion, "");
  return tool_turn("RewriteQueryOutput",
                   {{"rewritten_question", trim(question ? *question : last_user_text(request))}});
}

Turn write_code(const OfflineScript& script, const json& request) {
  const auto question = find_in_messages(request, kProgramQuestion, "\n");
  if (!question) {
    return tool_turn("PythonCodeInput", {{"code", "print(" + python_string(kRepairNote) + ")\n"}});
  }
  const LastResult last = last_result(all_text(request));
  const DemoQuestion* demo = match(script, *question);
  // The scripted program knows the scripted query's columns, and no other query's.
  if (demo != nullptr && query_key(last.sql) == query_key(demo->sql) && last.rows != "[]") {
    const auto folder = find_in_messages(request, kPlotsFolder, "\n");
    return tool_turn("PythonCodeInput",
                     {{"code", scripted_program(*demo, last.rows, trim(folder ? *folder : "."))}});
  }
  return tool_turn("PythonCodeInput", {{"code", listing_program(last.rows)}});
}

Turn final_response(const OfflineScript& script, const json& request) {
  const std::string prompt = last_user_text(request);
  const std::string question = section(prompt, kResponseQuestion, kResponseSql).value_or("");
  const std::string queries = section(prompt, kResponseSql, kResponseResult).value_or("");
  const std::string result = trim(section(prompt, kResponseResult, kResponseCode).value_or(""));
  std::string printed = section(prompt, kResponseOutput, "", /*last_start=*/true).value_or("");
  if (const auto end = printed.rfind(kResponseEnd); end != std::string::npos) printed.resize(end);

  // The program prints the chart's path on a line of its own; the rest is the finding.
  std::string image_path;
  std::vector<std::string> finding;
  std::istringstream lines(printed);
  for (std::string line; std::getline(lines, line);) {
    if (trim(line).ends_with(".png")) {
      image_path = trim(line);
    } else {
      finding.push_back(line);
    }
  }
  const std::string output = trim(join(finding, "\n"));
  const bool analysed = !output.empty() && output != kPandasGaveUp && output != kRepairNote;
  const std::string shown = analysed ? output : result;

  std::string answer;
  const DemoQuestion* demo = match(script, question);
  if (demo != nullptr && analysed && list_ends_with_query(queries, demo->sql)) {
    answer =
        fill(demo->answer, {{"result", result}, {"output", output}, {"image_path", image_path}});
  } else if (demo != nullptr) {
    answer =
        "The offline stand-in model could not run its scripted answer to this question on "
        "this database. What the database returned:\n" +
        shown;
  } else {
    answer =
        "The offline stand-in model only knows the demo questions; for any other question "
        "it reports how many rows the tables it picked hold:\n" +
        shown + "\n\nThe demo questions:" + demo_question_list(script);
  }
  return tool_turn("GenerationOutput", {{"image_path", image_path}, {"final_response", answer}});
}

Turn check_query(const json& request) {
  // langchain's query checker puts the query first and its instructions after it.
  const std::string prompt = last_user_text(request);
  const auto end = prompt.find(kCheckerEnd);
  if (end != std::string::npos) return Turn{trim(prompt.substr(0, end)), "", {}};
  return Turn{"The offline stand-in model only answers the steps of the question graph.", "", {}};
}

}  // namespace

OfflineResponder::Turn OfflineResponder::respond(const json& request) const {
  const std::string tool = forced_tool(request);
  if (tool.empty()) return check_query(request);
  if (tool == "select_relevant_tables") return pick_tables(script_, request);
  if (tool == "SQLQueryInput") return write_sql(script_, request);
  if (tool == "RewriteQueryOutput") return rewrite_question(request);
  if (tool == "PythonCodeInput") return write_code(script_, request);
  if (tool == "GenerationOutput") return final_response(script_, request);
  throw std::invalid_argument("the offline stand-in model has no answer for the tool '" + tool +
                              "'");
}

// ---- OfflineModel -------------------------------------------------------------------------

namespace {

ordered_json error_body(const std::string& message, const char* code) {
  return {{"error",
           {{"message", message},
            {"type", "invalid_request_error"},
            {"param", nullptr},
            {"code", code}}}};
}

void reply_json(httplib::Response& response, int status, const ordered_json& body) {
  response.status = status;
  response.set_content(body.dump(-1, ' ', false, ordered_json::error_handler_t::replace),
                       "application/json");
}

long long unix_time() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

OfflineModel::OfflineModel(OfflineScript script)
    : responder_(std::move(script)), server_(std::make_unique<httplib::Server>()) {
  // One request per connection: stop() then never waits for a client's idle keep-alive.
  server_->set_keep_alive_max_count(1);
  server_->set_payload_max_length(kMaxBodyBytes);
  // Closing first leaves TIME_WAIT sockets on the port; with SO_REUSEADDR (httplib sets only
  // SO_REUSEPORT on Linux) the next server can bind it at once.
  server_->set_socket_options([](socket_t socket) {
    const int yes = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server_->set_error_handler([](const httplib::Request&, httplib::Response& response) {
    // Called for every status >= 400, including the JSON errors already written.
    if (!response.body.empty()) return;
    if (response.status == 404 || response.status == 405) {
      reply_json(response, response.status,
                 error_body("the offline stand-in model serves POST .../chat/completions only",
                            "not_found"));
    } else {
      reply_json(response, response.status,
                 error_body("request failed with HTTP status " + std::to_string(response.status),
                            "invalid_request"));
    }
  });
  server_->set_exception_handler(
      [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        response.set_header("x-should-retry", "false");
        reply_json(response, 500, error_body("the offline stand-in model failed", "server_error"));
      });
  // Both flavours: Azure's /openai/deployments/<name>/chat/completions and OpenAI's.
  server_->Post(R"(.*/chat/completions/?)",
                [this](const httplib::Request& request, httplib::Response& response) {
                  answer(request, response);
                });

  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) {
    throw std::system_error(errno, std::generic_category(),
                            "the offline stand-in model could not bind a loopback port");
  }
  thread_ = std::thread([this] {
    server_->listen_after_bind();
    loop_finished_.store(true);
  });
}

OfflineModel::~OfflineModel() { stop(); }

std::string OfflineModel::base_url() const { return "http://127.0.0.1:" + std::to_string(port_); }

void OfflineModel::stop() {
  std::lock_guard<std::mutex> lock(stop_mutex_);
  stopped_.store(true);
  if (!thread_.joinable()) return;
  // httplib ignores stop() until its accept loop has started, and allows one stop() only.
  while (!loop_finished_.load() && !server_->is_running()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!loop_finished_.load()) server_->stop();
  thread_.join();
}

void OfflineModel::answer(const httplib::Request& request, httplib::Response& response) {
  json body = json::parse(request.body, nullptr, /*allow_exceptions=*/false);
  if (!body.is_object() || !body.contains("messages") || !body["messages"].is_array()) {
    reply_json(response, 400,
               error_body("the request body must be a JSON object with a list \"messages\"",
                          "invalid_request"));
    return;
  }
  OfflineResponder::Turn turn;
  try {
    turn = responder_.respond(body);
  } catch (const std::invalid_argument& error) {
    reply_json(response, 400, error_body(error.what(), "unsupported_request"));
    return;
  }

  const long id = ++next_id_;
  ordered_json message = {{"role", "assistant"}};
  std::string produced = turn.content;
  if (turn.tool_name.empty()) {
    message["content"] = turn.content;
  } else {
    const std::string arguments = turn.arguments.dump();
    produced += arguments;
    message["content"] = nullptr;
    message["tool_calls"] =
        ordered_json::array({{{"id", "call_offline_" + std::to_string(id)},
                              {"type", "function"},
                              {"function", {{"name", turn.tool_name}, {"arguments", arguments}}}}});
  }
  const char* finish = turn.tool_name.empty() ? "stop" : "tool_calls";
  // Rough figures, about four characters a token, so usage callbacks have something to count.
  const long prompt_tokens = static_cast<long>(body["messages"].dump().size() / 4 + 1);
  const long completion_tokens = static_cast<long>(produced.size() / 4 + 1);
  const ordered_json usage = {{"prompt_tokens", prompt_tokens},
                              {"completion_tokens", completion_tokens},
                              {"total_tokens", prompt_tokens + completion_tokens}};
  const ordered_json envelope = {{"id", "chatcmpl-offline-" + std::to_string(id)},
                                 {"object", "chat.completion"},
                                 {"created", unix_time()},
                                 {"model", kModelName},
                                 {"system_fingerprint", nullptr}};

  if (flag_member(body, "stream")) {
    ordered_json chunk = envelope;
    chunk["object"] = "chat.completion.chunk";
    std::vector<ordered_json> deltas;
    deltas.push_back(ordered_json{{"role", "assistant"}, {"content", ""}});
    if (!turn.content.empty()) deltas.push_back(ordered_json{{"content", turn.content}});
    if (message.contains("tool_calls")) {
      ordered_json call = message["tool_calls"][0];
      call["index"] = 0;
      deltas.push_back({{"tool_calls", ordered_json::array({call})}});
    }
    std::string events;
    const auto emit = [&](const ordered_json& event) {
      events +=
          "data: " + event.dump(-1, ' ', false, ordered_json::error_handler_t::replace) + "\n\n";
    };
    for (const auto& delta : deltas) {
      chunk["choices"] = ordered_json::array(
          {{{"index", 0}, {"delta", delta}, {"logprobs", nullptr}, {"finish_reason", nullptr}}});
      emit(chunk);
    }
    chunk["choices"] = ordered_json::array({{{"index", 0},
                                             {"delta", ordered_json::object()},
                                             {"logprobs", nullptr},
                                             {"finish_reason", finish}}});
    emit(chunk);
    if (flag_member(object_member(body, "stream_options"), "include_usage")) {
      chunk["choices"] = ordered_json::array();
      chunk["usage"] = usage;
      emit(chunk);
    }
    events += "data: [DONE]\n\n";
    response.status = 200;
    response.set_content(events, "text/event-stream");
  } else {
    ordered_json completion = envelope;
    completion["choices"] = ordered_json::array(
        {{{"index", 0}, {"message", message}, {"logprobs", nullptr}, {"finish_reason", finish}}});
    completion["usage"] = usage;
    reply_json(response, 200, completion);
  }
  ++requests_served_;
}

}  // namespace norviai::cli
