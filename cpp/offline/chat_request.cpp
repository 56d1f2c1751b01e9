#include "offline/chat_request.hpp"

namespace norviai::offline {

namespace {

using nlohmann::json;

std::string string_member(const json& object, const char* name) {
  if (!object.is_object()) return "";
  const auto found = object.find(name);
  return found != object.end() && found->is_string() ? found->get<std::string>() : "";
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
  if (!request.is_object()) return kNone;
  const auto found = request.find("messages");
  return found != request.end() && found->is_array() ? *found : kNone;
}

}  // namespace

std::optional<std::string> section(std::string_view text, std::string_view start,
                                   std::string_view end, bool last_start) {
  const auto begin = last_start ? text.rfind(start) : text.find(start);
  if (begin == std::string_view::npos) return std::nullopt;
  const auto from = begin + start.size();
  const auto stop = end.empty() ? std::string_view::npos : text.find(end, from);
  return std::string(text.substr(from, stop == std::string_view::npos ? text.npos : stop - from));
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

std::string last_user_text(const json& request) {
  const json& messages = messages_of(request);
  for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
    if (string_member(*it, "role") == "user") return message_text(*it);
  }
  return messages.empty() ? "" : message_text(messages.back());
}

std::string all_text(const json& request) {
  std::string text;
  for (const auto& message : messages_of(request)) text += message_text(message) + "\n\n";
  return text;
}

std::optional<std::string> find_in_messages(const json& request, std::string_view start,
                                            std::string_view end) {
  for (const auto& message : messages_of(request)) {
    if (auto found = section(message_text(message), start, end)) return found;
  }
  return std::nullopt;
}

std::string forced_tool(const json& request) {
  if (!request.is_object()) return "";
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

std::vector<std::string> offered_tables(const json& request) {
  std::vector<std::string> names;
  if (!request.is_object()) return names;
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

}  // namespace norviai::offline
