// Small text helpers: ASCII trimming and case mapping (bytes above 0x7f, such as UTF-8 sequences,
// are left as they are, whatever the process locale), and extraction of the one Markdown code
// fence a model may wrap its answer in. Pure functions of their arguments: thread-safe, no state,
// no Python (callers may hold or release the GIL). They throw nothing but std::bad_alloc.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace norviai::core {

// The text without leading and trailing ASCII whitespace (space, \t, \n, \r, \f, \v).
std::string trim(std::string_view text);

std::string ascii_upper(std::string_view text);
std::string ascii_lower(std::string_view text);

// The trimmed inner text of the only fenced block (``` optionally followed by a one-word language
// tag such as sql, up to the closing ```), prose around it ignored. std::nullopt when the text has
// no fence, an unclosed fence, or more than one fenced block.
std::optional<std::string> single_fenced_block(std::string_view text);

}  // namespace norviai::core
