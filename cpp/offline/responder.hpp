// The offline stand-in model's answers: one chat-completions request body in, the assistant's
// turn out, a pure function of the script, the prompt landmarks and the request (no state,
// thread-safe, no Python). Throws std::invalid_argument for a forced tool no step of the question
// graph uses; any other request, malformed ones included, gets a turn.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "offline/offline_script.hpp"
#include "offline/prompt_markers.hpp"

namespace norviai::offline {

struct Turn {
  std::string content;    // text answer, when no tool is forced
  std::string tool_name;  // non-empty when answering with a forced tool call
  nlohmann::json arguments;
};

Turn respond(const OfflineScript& script, const PromptMarkers& markers,
             const nlohmann::json& request);

}  // namespace norviai::offline
