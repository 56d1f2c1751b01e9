#include "offline/responder.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>
#include <sstream>
#include <string_view>
#include <vector>

#include "core/text_util.hpp"
#include "modules/common/contract.hpp"
#include "offline/chat_request.hpp"

namespace norviai::offline {

namespace {

using core::trim;
using nlohmann::json;
namespace tool = contract::tool;

// Share of words a question must have in common with a demo question to count as it.
constexpr double kMatchThreshold = 0.6;

// ---- text ---------------------------------------------------------------------------------

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

// Whether the question names the table, singular or plural, with underscores read as spaces.
bool mentions(std::string_view question, std::string_view table) {
  // Padded so that every word, the first and last too, stands between blanks. (Appending, not
  // " " + text: GCC 12 at -O3 warns falsely about the latter.)
  std::string padded = " ";
  padded += join(words(question), " ");
  padded += ' ';
  const std::string name = join(words(table), " ");
  if (name.empty()) return false;
  std::vector<std::string> forms = {name, name + "s"};
  if (name.ends_with("ies")) forms.push_back(name.substr(0, name.size() - 3) + "y");
  if (name.ends_with("y")) forms.push_back(name.substr(0, name.size() - 1) + "ies");
  if (name.ends_with("s") && name.size() > 1) forms.push_back(name.substr(0, name.size() - 1));
  return std::any_of(forms.begin(), forms.end(), [&](const std::string& form) {
    std::string needle = " ";
    needle += form;
    needle += ' ';
    return padded.find(needle) != std::string::npos;
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
std::string row_count_query(const PromptMarkers& markers, std::string_view prompt) {
  std::string dialect;
  for (std::string_view lead : markers.dialect_leads) {
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

LastResult last_result(const PromptMarkers& markers, std::string_view prompt) {
  LastResult last;
  const auto header = prompt.rfind(markers.result_header);
  if (header == prompt.npos) return last;
  const auto from = header + markers.result_header.size();
  const auto line_end = prompt.find('\n', from);
  std::string literal =
      trim(prompt.substr(from, line_end == prompt.npos ? prompt.npos : line_end - from));
  if (literal.size() >= 2 && literal.front() == '[' && literal.back() == ']') last.rows = literal;
  // The query sits between its own header and its result's header.
  const auto query = prompt.rfind(markers.query_header, header);
  if (query != prompt.npos && query + markers.query_header.size() <= header) {
    const auto sql_start = query + markers.query_header.size();
    last.sql = trim(prompt.substr(sql_start, header - sql_start));
  }
  return last;
}

// Whether the state's query list (as Python prints a list of str) ends with `sql`.
bool list_ends_with_query(std::string_view printed_list, const std::string& sql) {
  // Escaped line breaks and tabs read as blanks.
  std::string text;
  for (std::size_t i = 0; i < printed_list.size(); ++i) {
    const bool escape = printed_list[i] == '\\' && i + 1 < printed_list.size() &&
                        std::string_view("ntr").find(printed_list[i + 1]) != std::string_view::npos;
    text += escape ? ' ' : printed_list[i];
    if (escape) ++i;
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

// ---- answers ------------------------------------------------------------------------------

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
  return tool_turn(tool::kSelectRelevantTables, {{"relevant_tables", chosen}});
}

Turn write_sql(const OfflineScript& script, const PromptMarkers& markers, const json& request) {
  // A first attempt carries the question before the schemas; a repair request (the scripted
  // query failed on this database) gets the query that works anywhere.
  const std::string user = last_user_text(request);
  const auto schemas = user.find(markers.schemas);
  if (schemas != std::string::npos) {
    if (const DemoQuestion* demo = match(script, user.substr(0, schemas))) {
      return tool_turn(tool::kSqlQueryInput, {{"sql_query", demo->sql}});
    }
  }
  return tool_turn(tool::kSqlQueryInput,
                   {{"sql_query", row_count_query(markers, all_text(request))}});
}

Turn rewrite_question(const PromptMarkers& markers, const json& request) {
  auto question = find_in_messages(request, markers.rewrite_question, "");
  return tool_turn(tool::kRewriteQueryOutput,
                   {{"rewritten_question", trim(question ? *question : last_user_text(request))}});
}

Turn write_code(const OfflineScript& script, const PromptMarkers& markers, const json& request) {
  const auto question = find_in_messages(request, markers.program_question, "\n");
  if (!question) {
    return tool_turn(tool::kPythonCodeInput,
                     {{"code", "print(" + python_string(kRepairNote) + ")\n"}});
  }
  const LastResult last = last_result(markers, all_text(request));
  const DemoQuestion* demo = match(script, *question);
  // The scripted program knows the scripted query's columns, and no other query's.
  if (demo != nullptr && query_key(last.sql) == query_key(demo->sql) && last.rows != "[]") {
    const auto folder = find_in_messages(request, markers.plots_folder, "\n");
    return tool_turn(tool::kPythonCodeInput,
                     {{"code", scripted_program(*demo, last.rows, trim(folder ? *folder : "."))}});
  }
  return tool_turn(tool::kPythonCodeInput, {{"code", listing_program(last.rows)}});
}

Turn final_response(const OfflineScript& script, const PromptMarkers& markers,
                    const json& request) {
  const std::string prompt = last_user_text(request);
  const auto between = [&](const std::string& start, const std::string& end) {
    return section(prompt, start, end).value_or("");
  };
  const std::string question = between(markers.response_question, markers.response_sql);
  const std::string queries = between(markers.response_sql, markers.response_result);
  const std::string result = trim(between(markers.response_result, markers.response_code));
  std::string printed =
      section(prompt, markers.response_output, "", /*last_start=*/true).value_or("");
  if (const auto end = printed.rfind(markers.response_end); end != std::string::npos) {
    printed.resize(end);
  }

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
  const bool analysed =
      !output.empty() && output != contract::give_up::kPython && output != kRepairNote;
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
  return tool_turn(tool::kGenerationOutput,
                   {{"image_path", image_path}, {"final_response", answer}});
}

Turn check_query(const PromptMarkers& markers, const json& request) {
  // langchain's query checker puts the query first and its instructions after it.
  const std::string prompt = last_user_text(request);
  const auto end = prompt.find(markers.checker_end);
  if (end != std::string::npos) return Turn{trim(prompt.substr(0, end)), "", {}};
  return Turn{"The offline stand-in model only answers the steps of the question graph.", "", {}};
}

}  // namespace

Turn respond(const OfflineScript& script, const PromptMarkers& markers, const json& request) {
  const std::string name = forced_tool(request);
  if (name.empty()) return check_query(markers, request);
  if (name == tool::kSelectRelevantTables) return pick_tables(script, request);
  if (name == tool::kSqlQueryInput) return write_sql(script, markers, request);
  if (name == tool::kRewriteQueryOutput) return rewrite_question(markers, request);
  if (name == tool::kPythonCodeInput) return write_code(script, markers, request);
  if (name == tool::kGenerationOutput) return final_response(script, markers, request);
  throw std::invalid_argument("the offline stand-in model has no answer for the tool '" + name +
                              "'");
}

}  // namespace norviai::offline
