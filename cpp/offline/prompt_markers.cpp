#include "offline/prompt_markers.hpp"

#include <cctype>

namespace norviai::offline {

namespace {

// A template cut into literal text and placeholders; a jinja2 tag or comment is an empty piece
// that is neither, so no literal runs across it.
struct Piece {
  bool placeholder = false;
  std::string text;  // the literal as it renders, or the placeholder's expression
};

std::string without_blanks(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (!std::isspace(static_cast<unsigned char>(c))) out += c;
  }
  return out;
}

void add_literal(std::vector<Piece>& pieces, char c) {
  if (pieces.empty() || pieces.back().placeholder) pieces.push_back({});
  pieces.back().text += c;
}

std::vector<Piece> format_pieces(std::string_view text) {
  std::vector<Piece> pieces;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if ((c == '{' || c == '}') && i + 1 < text.size() && text[i + 1] == c) {
      add_literal(pieces, c);
      ++i;
      continue;
    }
    if (c != '{') {
      add_literal(pieces, c);
      continue;
    }
    // The field runs to its matching brace (a format spec may nest one field).
    std::size_t depth = 1, end = i + 1;
    for (; end < text.size() && depth > 0; ++end) {
      if (text[end] == '{') ++depth;
      if (text[end] == '}') --depth;
    }
    if (depth > 0) {  // unclosed: str.format refuses it, so it is no placeholder either
      for (; i < text.size(); ++i) add_literal(pieces, text[i]);
      break;
    }
    const std::string_view field = text.substr(i + 1, end - i - 2);
    pieces.push_back({true, std::string(field.substr(0, field.find_first_of("!:")))});
    i = end - 1;
  }
  return pieces;
}

void strip_back(std::vector<Piece>& pieces) {
  if (pieces.empty() || pieces.back().placeholder) return;
  std::string& text = pieces.back().text;
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
}

std::vector<Piece> jinja_pieces(std::string_view text) {
  std::vector<Piece> pieces;
  bool strip_next = false;  // the previous delimiter ended with "-": leading blanks go
  for (std::size_t i = 0; i < text.size();) {
    const std::string_view open = text.substr(i, 2);
    const char* close = open == "{{" ? "}}" : open == "{%" ? "%}" : open == "{#" ? "#}" : nullptr;
    if (close == nullptr) {
      if (!(strip_next && std::isspace(static_cast<unsigned char>(text[i])))) {
        strip_next = false;
        add_literal(pieces, text[i]);
      }
      ++i;
      continue;
    }
    const auto end = text.find(close, i + 2);
    if (end == text.npos) {  // unclosed: jinja2 refuses the template
      for (; i < text.size(); ++i) add_literal(pieces, text[i]);
      break;
    }
    std::string_view inner = text.substr(i + 2, end - i - 2);
    if (!inner.empty() && inner.front() == '-') strip_back(pieces), inner.remove_prefix(1);
    strip_next = !inner.empty() && inner.back() == '-';
    if (strip_next) inner.remove_suffix(1);
    if (!inner.empty() && inner.front() == '+') inner.remove_prefix(1);
    pieces.push_back({open == "{{", open == "{{" ? without_blanks(inner) : ""});
    i = end + 2;
  }
  return pieces;
}

std::vector<Piece> pieces_of(const PromptTemplate& prompt) {
  return prompt.syntax == TemplateSyntax::kJinja ? jinja_pieces(prompt.text)
                                                 : format_pieces(prompt.text);
}

// The literal next to the first placeholder of `field`: offset -1 before it, +1 after it.
std::optional<std::string> neighbour(const PromptTemplate& prompt, std::string_view field,
                                     int offset) {
  const auto pieces = pieces_of(prompt);
  const std::string wanted = without_blanks(field);
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (!pieces[i].placeholder || pieces[i].text != wanted) continue;
    const std::size_t next = i + offset;
    if (next >= pieces.size() || pieces[next].placeholder) return std::string();
    return pieces[next].text;
  }
  return std::nullopt;
}

std::string shown(const PromptTemplate& prompt, std::string_view field) {
  return prompt.syntax == TemplateSyntax::kJinja ? "{{ " + std::string(field) + " }}"
                                                 : "{" + std::string(field) + "}";
}

bool blank(std::string_view text) {
  for (char c : text) {
    if (!std::isspace(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

std::string required(const PromptTemplate& prompt, std::string_view field, bool before) {
  const auto text = before ? text_before(prompt, field) : text_after(prompt, field);
  const std::string where = "the offline stand-in model cannot follow the prompt " + prompt.name;
  if (!text) throw MarkerError(where + ": it has no placeholder " + shown(prompt, field));
  if (blank(*text)) {
    throw MarkerError(where + ": no text stands " + (before ? "before " : "after ") +
                      shown(prompt, field) + " in its paragraph");
  }
  return *text;
}

}  // namespace

std::optional<std::string> text_before(const PromptTemplate& prompt, std::string_view field) {
  auto text = neighbour(prompt, field, -1);
  if (text) {
    if (const auto paragraph = text->rfind("\n\n"); paragraph != std::string::npos) {
      text->erase(0, paragraph + 2);
    }
  }
  return text;
}

std::optional<std::string> text_after(const PromptTemplate& prompt, std::string_view field) {
  auto text = neighbour(prompt, field, +1);
  if (text) {
    if (const auto paragraph = text->find("\n\n"); paragraph != std::string::npos) {
      text->resize(paragraph);
    }
  }
  return text;
}

PromptMarkers PromptMarkers::from_prompts(const PromptTexts& prompts) {
  PromptMarkers markers;
  markers.schemas = required(prompts.sql_generation_human, "schemas_from_relevant_tables", true);
  markers.dialect_leads = {required(prompts.sql_prefix, "dialect", true),
                           required(prompts.sql_generation_system, "dialect", true)};
  markers.rewrite_question = required(prompts.rewrite_question, "user_question", true);
  markers.program_question = required(prompts.pandas_human, "original_question", true);
  markers.plots_folder = required(prompts.pandas_human, "save_path", true);
  markers.query_header = required(prompts.pandas_system, "item[-2]", true);
  markers.result_header = required(prompts.pandas_system, "item[-1]", true);
  const PromptTemplate& response = prompts.final_response;
  markers.response_question = required(response, "user_question", true);
  markers.response_sql = required(response, "generated_sql_query", true);
  markers.response_result = required(response, "sql_execution_result", true);
  markers.response_code = required(response, "pandas_code", true);
  markers.response_output = required(response, "python_executed_output", true);
  markers.response_end = required(response, "python_executed_output", false);
  markers.checker_end = required(prompts.query_checker, "query", false);
  return markers;
}

}  // namespace norviai::offline
