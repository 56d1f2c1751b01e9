#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "offline/offline_script.hpp"
#include "offline/prompt_markers.hpp"
#include "offline/responder.hpp"

namespace norviai::offline {
namespace {

using nlohmann::json;
constexpr auto kFormat = TemplateSyntax::kFormat;
constexpr auto kJinja = TemplateSyntax::kJinja;

TEST(PromptMarkersTest, TextNextToAPlaceholder) {
  struct Case {
    PromptTemplate prompt;
    std::string field;
    std::optional<std::string> before, after;
  };
  const std::vector<Case> cases = {
      {{"doubled braces", "{{x}} A: {a}\nB {{b}}: {b}", kFormat}, "b", "\nB {b}: ", ""},
      {{"format spec", "Sum: {a!r:>{w}} done", kFormat}, "a", "Sum: ", " done"},
      {{"paragraph", "Intro.\n\nQ: {q}\n\nOutro", kFormat}, "q", "Q: ", ""},
      {{"first one", "{d} and {d} again", kFormat}, "d", "", " and "},
      {{"missing", "No field here {{q}}", kFormat}, "q", std::nullopt, std::nullopt},
      {{"tags", "{% for item in xs %}Query:\n{{ item[-2] }}\nRows: {{item[-1]}}{% endfor %}",
        kJinja},
       "item[ -2 ]",
       "Query:\n",
       "\nRows: "},
      {{"whitespace control", "Q:  {{- q -}}  \n end {# note #}", kJinja}, "q", "Q:", "end "},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(text_before(c.prompt, c.field), c.before) << c.prompt.name;
    EXPECT_EQ(text_after(c.prompt, c.field), c.after) << c.prompt.name;
  }
}

// Small prompts of their own wording: the responder must follow whatever its landmarks say.
PromptTexts test_prompts() {
  PromptTexts p;
  p.sql_prefix = {"SQL_PREFIX", "Expert in {dialect} SQL.\n{user_question}", kFormat};
  p.sql_generation_system = {"SYSTEM", "Write {dialect} queries.", kFormat};
  p.sql_generation_human = {"HUMAN", "{user_question}\nTables: {schemas_from_relevant_tables}",
                            kFormat};
  p.rewrite_question = {"REWRITE", "Schema:\n{schemas_from_all_tables}\n\nQ: {user_question}",
                        kFormat};
  p.pandas_system = {"PANDAS_SYSTEM",
                     "Q: {{ original_question }}\n\n{% for item in zipped_queries_results %}"
                     "Query:\n{{ item[-2] }}\nRows:\n{{ item[-1] }}\n\n{% endfor %}Print findings.",
                     kJinja};
  p.pandas_human = {"PANDAS_HUMAN", "Program for: {{ original_question }}\nFolder: {{ save_path }}",
                    kJinja};
  p.final_response = {"FINAL",
                      "Q={user_question}\nSQL={generated_sql_query}\nRES={sql_execution_result}\n"
                      "CODE={pandas_code}\nOUT={python_executed_output}\nAnswer it.",
                      kFormat};
  p.query_checker = {"CHECKER", "\n{query}\nCheck this {dialect} query.", kFormat};
  return p;
}

TEST(PromptMarkersTest, APromptThatLostItsLandmarkIsRefusedByName) {
  PromptTexts renamed = test_prompts();
  renamed.pandas_human.text = "Program for: {{ question }}\nFolder: {{ save_path }}";
  PromptTexts bare = test_prompts();
  bare.final_response.text = "{user_question}\n{generated_sql_query}";
  for (const auto& [prompts, message] :
       {std::pair{renamed, "PANDAS_HUMAN: it has no placeholder {{ original_question }}"},
        std::pair{bare, "FINAL: no text stands before {user_question} in its paragraph"}}) {
    try {
      PromptMarkers::from_prompts(prompts);
      ADD_FAILURE() << message;
    } catch (const MarkerError& error) {
      EXPECT_TRUE(std::string(error.what()).ends_with(message)) << error.what();
    }
  }
}

const char* const kScript = R"js({"questions": [
  {"question": "Which five customers spent the most?", "tables": ["customers", "orders"],
   "sql": "SELECT name, total FROM spend ORDER BY total DESC LIMIT 5",
   "code": ["top = rows[0]", "print(top[0])"], "chart_file": "top.png",
   "answer": "Top: {output} ({result}), chart {image_path}"},
  {"question": "How many orders per month?", "tables": ["orders"],
   "sql": "SELECT month, n FROM monthly", "code": "print(len(rows))", "answer": "{output}"}]})js";
const std::string kTopSql = "SELECT name, total FROM spend ORDER BY total DESC LIMIT 5";

json messages(const std::string& system, const std::string& user) {
  json list = json::array();
  if (!system.empty()) list.push_back({{"role", "system"}, {"content", system}});
  list.push_back({{"role", "user"}, {"content", user}});
  return list;
}

json forced(const std::string& tool, json messages) {
  const json function = {{"name", tool}};
  return {{"messages", std::move(messages)},
          {"tools", {{{"type", "function"}, {"function", function}}}},
          {"tool_choice", {{"type", "function"}, {"function", function}}}};
}

json picker(const std::string& question, const std::vector<std::string>& tables) {
  const json items = {{"type", "string"},
                      {"properties", {{"table_name", {{"type", "string"}, {"enum", tables}}}}}};
  const json function = {
      {"name", "select_relevant_tables"},
      {"parameters", {{"properties", {{"relevant_tables", {{"items", items}}}}}}}};
  return {{"messages", messages("", question)},
          {"tools", {{{"type", "function"}, {"function", function}}}},
          {"tool_choice", {{"type", "function"}, {"function", {{"name", function["name"]}}}}}};
}

std::string pandas_system(const std::string& question,
                          const std::vector<std::pair<std::string, std::string>>& results) {
  std::string text = "Q: " + question + "\n\n";
  for (const auto& [sql, rows] : results) text += "Query:\n" + sql + "\nRows:\n" + rows + "\n\n";
  return text + "Print findings.";
}

std::string final_prompt(const std::string& question, const std::string& result,
                         const std::string& output) {
  return "Q=" + question + "\nSQL=['" + kTopSql + "']\nRES=" + result +
         "\nCODE=print(1)\nOUT=" + output + "\nAnswer it.";
}

TEST(OfflineResponderTest, AnswersEachStepOfTheQuestionGraph) {
  const OfflineScript script = OfflineScript::parse(kScript);
  const PromptMarkers markers = PromptMarkers::from_prompts(test_prompts());
  const std::string top = "Which five customers spent the most?";
  const std::string rows = "[('Ann', 5.0), ('Bo', 3.0)]";

  struct Case {
    const char* name;
    json request;
    std::string tool;                        // the forced tool answered, empty for a text answer
    json exact;                              // when set: the arguments, or the content, in full
    std::string field = {};                  // else: the argument (empty: the content) that holds
    std::vector<std::string> contains = {};  // each of these
  };
  const std::vector<Case> cases = {
      {"picker, reworded demo question, scripted tables that are offered",
       picker("which FIVE customers spent the most", {"orders", "products"}),
       "select_relevant_tables",
       {{"relevant_tables", {"orders"}}}},
      {"picker, unknown question naming a table in the plural",
       picker("How many categories are there?", {"category", "products"}),
       "select_relevant_tables",
       {{"relevant_tables", {"category"}}}},
      {"picker, unknown question naming no table",
       picker("Tell me a joke", {"customers", "orders"}),
       "select_relevant_tables",
       {{"relevant_tables", {"customers", "orders"}}}},
      {"SQL generation of a demo question",
       forced("SQLQueryInput",
              messages("Write sqlite queries.", top + "\nTables: CREATE TABLE spend (x INT)")),
       "SQLQueryInput",
       {{"sql_query", kTopSql}}},
      {"SQL repair: row counts, quoted the dialect's way",
       forced("SQLQueryInput", messages("Expert in MySQL SQL.\n" + top,
                                        "Tables:\nCREATE TABLE `order items` (id INT)\n\n"
                                        "CREATE TABLE products (id INT)")),
       "SQLQueryInput",
       {{"sql_query",
         "SELECT 'order items' AS table_name, COUNT(*) AS row_count FROM `order items`\n"
         "UNION ALL\nSELECT 'products' AS table_name, COUNT(*) AS row_count FROM products"}}},
      {"query checker",
       {{"messages", messages("", "\nSELECT 1\nCheck this sqlite query.")}},
       "",
       "SELECT 1"},
      {"rewrite, the only tool offered and not named",
       {{"messages", messages("Schema:\nCREATE TABLE t (x INT)\n\nQ:  What sold best? ", "")},
        {"tools", {{{"type", "function"}, {"function", {{"name", "RewriteQueryOutput"}}}}}}},
       "RewriteQueryOutput",
       {{"rewritten_question", "What sold best?"}}},
      {"program for a demo question over its scripted query",
       forced("PythonCodeInput", messages(pandas_system(top, {{kTopSql + ";", rows}}),
                                          "Program for: " + top + "\nFolder: /tmp/media")),
       "PythonCodeInput",
       nullptr,
       "code",
       {"rows = " + rows + "\n", "save_folder = '/tmp/media'", "'top.png'",
        "top = rows[0]\nprint(top[0])"}},
      {"program over a repair query: the last result is listed",
       forced("PythonCodeInput",
              messages(pandas_system(top, {{kTopSql, rows}, {"SELECT 'x', 1", "[('x', 1)]"}}),
                       "Program for: " + top + "\nFolder: /tmp/media")),
       "PythonCodeInput",
       nullptr,
       "code",
       {"rows = [('x', 1)]\n", "The query returned {len(rows)} row(s)"}},
      {"program correction",
       forced("PythonCodeInput", messages("", "It fails: NameError")),
       "PythonCodeInput",
       nullptr,
       "code",
       {"cannot repair analysis programs"}},
      {"final response of an analysed demo question",
       forced("GenerationOutput",
              messages("", final_prompt(top, rows, "Ann leads\n/tmp/media/top.png\n"))),
       "GenerationOutput",
       {{"image_path", "/tmp/media/top.png"},
        {"final_response", "Top: Ann leads (" + rows + "), chart /tmp/media/top.png"}}},
      {"final response after the analysis gave up",
       forced("GenerationOutput", messages("", final_prompt(top, rows,
                                                            "Python generation failed after max "
                                                            "iterations"))),
       "GenerationOutput",
       nullptr,
       "final_response",
       {"could not run its scripted answer", rows}},
      {"final response of an unknown question",
       forced("GenerationOutput", messages("", final_prompt("Why?", "[('t', 2)]", ""))),
       "GenerationOutput",
       nullptr,
       "final_response",
       {"only knows the demo questions", "[('t', 2)]", "\n- " + top,
        "\n- How many orders per month?"}},
      {"malformed request",
       {{"messages", "no list"}, {"tools", 3}, {"tool_choice", {1}}},
       "",
       "The offline stand-in model only answers the steps of the question graph."},
      {"malformed messages, text parts joined",
       {{"messages",
         {7,
          {{"role", "user"},
           {"content", {{{"text", "\nSELECT 2\n"}}, 5, {{"text", "Check this x"}}}}}}},
        {"tool_choice", "none"},
        {"tools", {{{"function", {{"name", "SQLQueryInput"}}}}}}},
       "",
       "SELECT 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Turn turn = respond(script, markers, c.request);
    EXPECT_EQ(turn.tool_name, c.tool);
    if (!c.exact.is_null()) {
      EXPECT_EQ(c.tool.empty() ? json(turn.content) : turn.arguments, c.exact);
      continue;
    }
    const std::string text =
        c.field.empty() ? turn.content : turn.arguments.value(c.field, std::string());
    for (const auto& part : c.contains) EXPECT_NE(text.find(part), std::string::npos) << part;
  }
  EXPECT_THROW(respond(script, markers, forced("Weather", messages("", "Rain?"))),
               std::invalid_argument);
}

}  // namespace
}  // namespace norviai::offline
