// Landmarks of the prompts the question graph's steps send, by which the stand-in model tells the
// steps apart and reads their values. They are read from the prompt templates at start-up, so a
// reworded prompt moves them with it. Plain values, no Python, thread-safe once built;
// PromptMarkers::from_prompts throws MarkerError when a template no longer shows a landmark.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace norviai::offline {

class MarkerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Python's str.format ({name}, doubled braces literal) or jinja2 ({{ expr }}, {% tag %}).
enum class TemplateSyntax { kFormat, kJinja };

struct PromptTemplate {
  std::string name;  // where the text lives, for messages
  std::string text;
  TemplateSyntax syntax = TemplateSyntax::kFormat;
};

// The templates the landmarks come from, with the placeholders each must keep.
struct PromptTexts {
  PromptTemplate sql_prefix;             // {dialect}
  PromptTemplate sql_generation_system;  // {dialect}
  PromptTemplate sql_generation_human;   // {schemas_from_relevant_tables}
  PromptTemplate rewrite_question;       // {user_question}
  PromptTemplate pandas_system;          // {{ item[-2] }} then {{ item[-1] }}: a query, its rows
  PromptTemplate pandas_human;           // {{ original_question }}, {{ save_path }}
  PromptTemplate final_response;         // its five values, the last python_executed_output
  PromptTemplate query_checker;          // {query}
};

struct PromptMarkers {
  std::string schemas;                     // between the question and the schemas, SQL generation
  std::vector<std::string> dialect_leads;  // before the dialect's name, the SQL system prompts
  std::string rewrite_question;            // before the question, to the end, the rewrite prompt
  std::string program_question;            // before the question, to line end, program request
  std::string plots_folder;                // before the save folder, to line end, there too
  std::string query_header;                // before each query the program prompt lists
  std::string result_header;               // between such a query and its rows
  // The final response prompt: before each of its five values, and after the last.
  std::string response_question;
  std::string response_sql;
  std::string response_result;
  std::string response_code;
  std::string response_output;
  std::string response_end;
  std::string checker_end;  // after the query, the library's query checker prompt

  static PromptMarkers from_prompts(const PromptTexts& prompts);
};

// The literal text that stands next to the template's first placeholder showing `field` (an
// expression, compared without blanks), within the placeholder's paragraph (up to a blank line).
// std::nullopt when no placeholder shows `field`.
std::optional<std::string> text_before(const PromptTemplate& prompt, std::string_view field);
std::optional<std::string> text_after(const PromptTemplate& prompt, std::string_view field);

}  // namespace norviai::offline
