#include "modules/common/model_call.hpp"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>

#include "core/text_util.hpp"
#include "modules/common/token_count.hpp"

namespace norviai::py_common {

namespace {

// The client's own default: the first request and two more.
constexpr int kClientRetries = 2;
// The openai client's wait before its n-th retry: 0.5 s doubling, at most 8 s (less jitter).
constexpr double kFirstRetryWait = 0.5;
constexpr double kLongestRetryWait = 8.0;
// Tokens the chat template and the tool definition add around the prompt's text, and the share
// by which another tokenizer may count the text above the one we count with.
constexpr long kTemplateTokens = 128;
constexpr long kTokenizerSlackPercent = 25;
// A reply limit below this cannot hold any useful answer.
constexpr long kSmallestReply = 16;
// The time-out of a call ended by the question's limit fires within this of the deadline.
constexpr double kDeadlineSlack = 0.5;

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// One variable for the process, shared by every module that includes this unit: it lives in
// the package's namespace, not in each module's copy of this code.
py::object deadline_var() {
  py::module_ package = py::module_::import("norviai");
  py::object var = py::getattr(package, "_question_deadline", py::none());
  if (var.is_none()) {
    var = py::module_::import("contextvars")
              .attr("ContextVar")("norviai_question_deadline", py::arg("default") = py::none());
    package.attr("_question_deadline") = var;
  }
  return var;
}

std::optional<long> positive_number(py::handle value) {
  if (!py::isinstance<py::int_>(value) || py::isinstance<py::bool_>(value)) return std::nullopt;
  long number = value.cast<long>();
  if (number <= 0) return std::nullopt;
  return number;
}

// GET `url` as JSON, or None when the server does not answer it with a JSON object or list.
py::object get_json(const std::string& url, py::handle api_key) {
  py::module_ httpx = py::module_::import("httpx");
  py::dict headers;
  if (!api_key.is_none()) headers["Authorization"] = py::str("Bearer ") + py::str(api_key);
  return except_exception(
      [&]() -> py::object {
        py::object response =
            httpx.attr("get")(url, py::arg("headers") = headers, py::arg("timeout") = 5.0);
        if (!response.attr("is_success").cast<bool>()) return py::none();
        return response.attr("json")();
      },
      [](py::object) -> py::object { return py::none(); });
}

}  // namespace

double question_time_limit() {
  return seconds_from_environment("NORVIAI_QUESTION_TIME_LIMIT", 600.0);
}

std::optional<long> context_from_environment() {
  constexpr const char* kVariable = "NORVIAI_MODEL_CONTEXT";
  const char* text = std::getenv(kVariable);
  if (text == nullptr || *text == '\0') return std::nullopt;
  const std::string number = core::trim(text);
  long tokens = 0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), tokens);
  if (error == std::errc() && end == number.data() + number.size() && tokens > 0) return tokens;
  raise_error(
      PyExc_ValueError,
      std::string(kVariable) + " must be a positive whole number of tokens, got '" + text + "'");
}

std::optional<long> server_context(py::handle base_url, py::handle api_key, py::handle model) {
  std::string base = base_url.is_none() ? "https://api.openai.com/v1" : py::str(base_url);
  while (!base.empty() && base.back() == '/') base.pop_back();
  std::string root = base;
  if (root.size() >= 3 && root.compare(root.size() - 3, 3, "/v1") == 0)
    root.resize(root.size() - 3);

  py::object props = get_json(root + "/props", api_key);
  if (py::isinstance<py::dict>(props)) {
    py::object settings = props.attr("get")("default_generation_settings");
    if (py::isinstance<py::dict>(settings)) {
      if (auto n_ctx = positive_number(settings.attr("get")("n_ctx"))) return n_ctx;
    }
    if (auto n_ctx = positive_number(props.attr("get")("n_ctx"))) return n_ctx;
  }
  py::object models = get_json(base + "/models", api_key);
  if (py::isinstance<py::dict>(models) && py::isinstance<py::list>(models.attr("get")("data"))) {
    for (py::handle entry : models.attr("get")("data")) {
      if (!py::isinstance<py::dict>(entry)) continue;
      if (!entry.attr("get")("id").equal(model)) continue;
      if (auto length = positive_number(entry.attr("get")("max_model_len"))) return length;
    }
  }
  return std::nullopt;
}

py::object with_question_deadline(const std::function<py::object()>& body) {
  py::object var = deadline_var();
  py::object token = var.attr("set")(py::float_(now() + question_time_limit()));
  py::object result;
  try {
    result = body();
  } catch (...) {
    var.attr("reset")(token);
    throw;
  }
  var.attr("reset")(token);
  return result;
}

std::optional<double> question_seconds_left() {
  py::object deadline = deadline_var().attr("get")();
  if (deadline.is_none()) return std::nullopt;
  return deadline.cast<double>() - now();
}

bool question_time_over() {
  auto left = question_seconds_left();
  return left && *left <= kDeadlineSlack;
}

std::optional<CallBudget> call_budget() {
  const double model = model_timeout();
  auto left = question_seconds_left();
  if (!left) return CallBudget{model, kClientRetries};
  if (*left <= kDeadlineSlack) return std::nullopt;
  CallBudget budget{std::min(model, *left), 0};
  // Every attempt may run to the time-out, and the client waits before each retry: only as
  // many retries as fit in the time left with their waits.
  double needed = budget.timeout;
  for (int retry = 0; retry < kClientRetries; ++retry) {
    needed += std::min(kFirstRetryWait * std::pow(2.0, retry), kLongestRetryWait) + budget.timeout;
    if (needed > *left) break;
    budget.max_retries = retry + 1;
  }
  return budget;
}

long reply_limit(long configured, std::optional<long> context, std::size_t prompt_tokens) {
  if (!context) return configured;
  const long prompt = static_cast<long>(prompt_tokens);
  const long left = *context - prompt - prompt * kTokenizerSlackPercent / 100 - kTemplateTokens;
  if (left < kSmallestReply) return 0;
  return configured > 0 ? std::min(configured, left) : left;
}

std::size_t prompt_tokens(py::handle prompt) {
  if (py::isinstance<py::str>(prompt)) return count_tokens(prompt.cast<std::string>());
  py::object messages = py::reinterpret_borrow<py::object>(prompt);
  if (py::hasattr(prompt, "to_messages")) messages = prompt.attr("to_messages")();
  if (!py::isinstance<py::list>(messages) && !py::isinstance<py::tuple>(messages)) {
    return count_tokens(py::str(prompt).cast<std::string>());
  }
  std::size_t tokens = 0;
  for (py::handle message : messages) {
    py::object content = py::getattr(message, "content", py::none());
    tokens += count_tokens(py::str(content.is_none() ? message : content).cast<std::string>());
  }
  return tokens;
}

py::object bounded_client(py::handle client, const CallBudget& budget) {
  const int retries = std::min(budget.max_retries, client.attr("max_retries").cast<int>());
  return client.attr("with_options")(py::arg("timeout") = budget.timeout,
                                     py::arg("max_retries") = retries);
}

BoundedModel bounded_chat_model(py::handle chat_model, const CallBudget& budget,
                                py::handle prompt) {
  py::object root = py::getattr(chat_model, "root_client", py::none());
  // Not an openai-based model: nothing to bound it by.
  if (root.is_none()) return {py::reinterpret_borrow<py::object>(chat_model), ""};
  py::dict update;
  update["client"] = bounded_client(root, budget).attr("chat").attr("completions");

  std::optional<long> context;
  py::object metadata = py::getattr(chat_model, "metadata", py::none());
  if (py::isinstance<py::dict>(metadata) && metadata.contains(kContextMetadataKey)) {
    context = positive_number(metadata[py::str(kContextMetadataKey)]);
  } else {
    context = context_from_environment();
  }
  if (context) {
    // The command line's ChatOpenAI models carry the limit in the body, others as max_tokens.
    py::object extra_body = py::getattr(chat_model, "extra_body", py::none());
    const bool in_body = py::isinstance<py::dict>(extra_body) && extra_body.contains("max_tokens");
    py::object configured = in_body ? py::object(extra_body[py::str("max_tokens")])
                                    : py::getattr(chat_model, "max_tokens", py::none());
    const long limit = reply_limit(configured.is_none() ? 0 : configured.cast<long>(), context,
                                   prompt_tokens(prompt));
    if (limit == 0) {
      return {py::none(), "the prompt leaves no room for a reply in the model's context of " +
                              std::to_string(*context) + " tokens"};
    }
    if (in_body) {
      py::dict body = py::dict(extra_body);
      body["max_tokens"] = limit;
      update["extra_body"] = body;
    } else {
      update["max_tokens"] = limit;
    }
  }
  return {chat_model.attr("model_copy")(py::arg("update") = update), ""};
}

bool ended_by_time_limit(py::error_already_set& error) {
  if (!error.matches(py::module_::import("openai").attr("APITimeoutError"))) return false;
  auto left = question_seconds_left();
  return left && *left <= kDeadlineSlack;
}

}  // namespace norviai::py_common
