// Reading a chat-completions request body as any client may send it: the messages' text, the
// forced tool, the tables the picker's tool offers. Members of the wrong type read as absent.
// Pure functions, thread-safe, no Python; they throw nothing but std::bad_alloc.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norviai::offline {

// The text after `start` up to `end` (empty: to the end of the text), if `start` occurs; with
// last_start the last occurrence of `start` counts.
std::optional<std::string> section(std::string_view text, std::string_view start,
                                   std::string_view end, bool last_start = false);

bool flag_member(const nlohmann::json& object, const char* name);
// The member when it is an object, else an empty object.
const nlohmann::json& object_member(const nlohmann::json& object, const char* name);

// The last user message's text (else the last message's); content parts are joined.
std::string last_user_text(const nlohmann::json& request);
// Every message's text, each followed by a blank line.
std::string all_text(const nlohmann::json& request);
// section() of the first message holding `start`.
std::optional<std::string> find_in_messages(const nlohmann::json& request, std::string_view start,
                                            std::string_view end);

// The tool the request forces: named by tool_choice, or the only tool offered unless
// tool_choice is "none". Empty when no tool is forced.
std::string forced_tool(const nlohmann::json& request);
// The table names the picker's tool offers (the enum of its items).
std::vector<std::string> offered_tables(const nlohmann::json& request);

}  // namespace norviai::offline
