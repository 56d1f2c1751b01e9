// Model calls bounded in time and length. The question's deadline lives in a context variable
// set for the length of one question, so that questions running at once on one agent each keep
// their own; each call gets a copy of the chat model or openai client whose time-out and retries
// fit the time left and whose reply limit fits what the server's context leaves. Expects the
// GIL; Python errors propagate; the environment readers raise ValueError naming their variable.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "modules/common/pyutil.hpp"

namespace norviai::py_common {

// The fault of a model call that the question's time limit did not let start or finish.
inline constexpr const char* kTimeLimitFault = "the question's time limit ended";

// The metadata key of a chat model holding the server's context size in tokens.
inline constexpr const char* kContextMetadataKey = "norviai_context_tokens";

// NORVIAI_QUESTION_TIME_LIMIT in seconds, 600 by default.
double question_time_limit();

// NORVIAI_MODEL_CONTEXT, a positive whole number of tokens; std::nullopt when unset or empty.
std::optional<long> context_from_environment();

// The context size an OpenAI-compatible server reports: llama.cpp's `n_ctx` in GET /props,
// vLLM's `max_model_len` in GET /v1/models (for `model`); std::nullopt when it reports none or
// cannot be asked within a few seconds.
std::optional<long> server_context(py::handle base_url, py::handle api_key, py::handle model);

// body() with the deadline of a question starting now; the previous deadline comes back after.
py::object with_question_deadline(const std::function<py::object()>& body);

// Seconds left of the current question; std::nullopt outside a question.
std::optional<double> question_seconds_left();
// Whether the current question's time is over (within half a second of its deadline).
bool question_time_over();

// What one call may take: the client's time-out per attempt and the retries after it, so that
// every attempt fits in the time left.
struct CallBudget {
  double timeout;
  int max_retries;
};

// The budget of a call starting now (model time-out and the client's two retries outside a
// question); std::nullopt once the question's time is over.
std::optional<CallBudget> call_budget();

// The reply limit a call may ask for: `configured`, lowered to what `context` leaves after a
// prompt of `prompt_tokens` (with room for the chat template's own tokens); 0 when nothing is
// left. Without a context size, `configured` as it is.
long reply_limit(long configured, std::optional<long> context, std::size_t prompt_tokens);

// Tokens of a prompt given as text, a list of messages or anything with a text form.
std::size_t prompt_tokens(py::handle prompt);

// A chat model for one call, or why no call can be made.
struct BoundedModel {
  py::object model;  // None when `fault` says why
  std::string fault;
};

// A copy of the langchain chat model (ChatOpenAI, AzureChatOpenAI) whose client has the
// budget's time-out and retries and whose reply limit fits the context after `prompt`.
BoundedModel bounded_chat_model(py::handle chat_model, const CallBudget& budget, py::handle prompt);

// The openai client with the budget's time-out and retries.
py::object bounded_client(py::handle client, const CallBudget& budget);

// Whether `error` is the client's time-out of a call that ran to the end of the question's time.
bool ended_by_time_limit(py::error_already_set& error);

}  // namespace norviai::py_common
