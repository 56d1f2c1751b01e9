#include "offline/offline_model.hpp"

#include <httplib.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "offline/chat_request.hpp"
#include "offline/responder.hpp"

namespace norviai::offline {

namespace {

using nlohmann::json;
using nlohmann::ordered_json;

// The name langchain's usage callback knows how to price.
constexpr const char* kModelName = "gpt-35-turbo";
constexpr std::size_t kMaxBodyBytes = std::size_t{16} << 20;

ordered_json error_body(const std::string& message, const char* code) {
  return {{"error",
           {{"message", message},
            {"type", "invalid_request_error"},
            {"param", nullptr},
            {"code", code}}}};
}

void reply_json(httplib::Response& response, int status, const ordered_json& body) {
  response.status = status;
  response.set_content(body.dump(-1, ' ', false, ordered_json::error_handler_t::replace),
                       "application/json");
}

long long unix_time() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

OfflineModel::OfflineModel(OfflineScript script, PromptMarkers markers)
    : script_(std::move(script)),
      markers_(std::move(markers)),
      server_(std::make_unique<httplib::Server>()) {
  // One request per connection: stop() then never waits for a client's idle keep-alive.
  server_->set_keep_alive_max_count(1);
  server_->set_payload_max_length(kMaxBodyBytes);
  // Closing first leaves TIME_WAIT sockets on the port; with SO_REUSEADDR (httplib sets only
  // SO_REUSEPORT on Linux) the next server can bind it at once.
  server_->set_socket_options([](socket_t socket) {
    const int yes = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server_->set_error_handler([](const httplib::Request&, httplib::Response& response) {
    // Called for every status >= 400, including the JSON errors already written.
    if (!response.body.empty()) return;
    if (response.status == 404 || response.status == 405) {
      reply_json(response, response.status,
                 error_body("the offline stand-in model serves POST .../chat/completions only",
                            "not_found"));
    } else {
      reply_json(response, response.status,
                 error_body("request failed with HTTP status " + std::to_string(response.status),
                            "invalid_request"));
    }
  });
  server_->set_exception_handler(
      [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        response.set_header("x-should-retry", "false");
        reply_json(response, 500, error_body("the offline stand-in model failed", "server_error"));
      });
  // Both flavours: Azure's /openai/deployments/<name>/chat/completions and OpenAI's.
  server_->Post(R"(.*/chat/completions/?)",
                [this](const httplib::Request& request, httplib::Response& response) {
                  answer(request, response);
                });

  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) {
    throw std::system_error(errno, std::generic_category(),
                            "the offline stand-in model could not bind a loopback port");
  }
  thread_ = std::thread([this] {
    server_->listen_after_bind();
    loop_finished_.store(true);
  });
}

OfflineModel::~OfflineModel() { stop(); }

std::string OfflineModel::base_url() const { return "http://127.0.0.1:" + std::to_string(port_); }

void OfflineModel::stop() {
  std::lock_guard<std::mutex> lock(stop_mutex_);
  stopped_.store(true);
  if (!thread_.joinable()) return;
  // httplib ignores stop() until its accept loop has started, and allows one stop() only.
  while (!loop_finished_.load() && !server_->is_running()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!loop_finished_.load()) server_->stop();
  thread_.join();
}

void OfflineModel::answer(const httplib::Request& request, httplib::Response& response) {
  json body = json::parse(request.body, nullptr, /*allow_exceptions=*/false);
  if (!body.is_object() || !body.contains("messages") || !body["messages"].is_array()) {
    reply_json(response, 400,
               error_body("the request body must be a JSON object with a list \"messages\"",
                          "invalid_request"));
    return;
  }
  Turn turn;
  try {
    turn = respond(script_, markers_, body);
  } catch (const std::invalid_argument& error) {
    reply_json(response, 400, error_body(error.what(), "unsupported_request"));
    return;
  }

  const long id = ++next_id_;
  ordered_json message = {{"role", "assistant"}};
  std::string produced = turn.content;
  if (turn.tool_name.empty()) {
    message["content"] = turn.content;
  } else {
    const std::string arguments = turn.arguments.dump();
    produced += arguments;
    message["content"] = nullptr;
    message["tool_calls"] =
        ordered_json::array({{{"id", "call_offline_" + std::to_string(id)},
                              {"type", "function"},
                              {"function", {{"name", turn.tool_name}, {"arguments", arguments}}}}});
  }
  const char* finish = turn.tool_name.empty() ? "stop" : "tool_calls";
  // Rough figures, about four characters a token, so usage callbacks have something to count.
  const long prompt_tokens = static_cast<long>(body["messages"].dump().size() / 4 + 1);
  const long completion_tokens = static_cast<long>(produced.size() / 4 + 1);
  const ordered_json usage = {{"prompt_tokens", prompt_tokens},
                              {"completion_tokens", completion_tokens},
                              {"total_tokens", prompt_tokens + completion_tokens}};
  const ordered_json envelope = {{"id", "chatcmpl-offline-" + std::to_string(id)},
                                 {"object", "chat.completion"},
                                 {"created", unix_time()},
                                 {"model", kModelName},
                                 {"system_fingerprint", nullptr}};

  if (flag_member(body, "stream")) {
    ordered_json chunk = envelope;
    chunk["object"] = "chat.completion.chunk";
    std::vector<ordered_json> deltas;
    deltas.push_back(ordered_json{{"role", "assistant"}, {"content", ""}});
    if (!turn.content.empty()) deltas.push_back(ordered_json{{"content", turn.content}});
    if (message.contains("tool_calls")) {
      ordered_json call = message["tool_calls"][0];
      call["index"] = 0;
      deltas.push_back({{"tool_calls", ordered_json::array({call})}});
    }
    std::string events;
    const auto emit = [&](const ordered_json& event) {
      events +=
          "data: " + event.dump(-1, ' ', false, ordered_json::error_handler_t::replace) + "\n\n";
    };
    for (const auto& delta : deltas) {
      chunk["choices"] = ordered_json::array(
          {{{"index", 0}, {"delta", delta}, {"logprobs", nullptr}, {"finish_reason", nullptr}}});
      emit(chunk);
    }
    chunk["choices"] = ordered_json::array({{{"index", 0},
                                             {"delta", ordered_json::object()},
                                             {"logprobs", nullptr},
                                             {"finish_reason", finish}}});
    emit(chunk);
    if (flag_member(object_member(body, "stream_options"), "include_usage")) {
      chunk["choices"] = ordered_json::array();
      chunk["usage"] = usage;
      emit(chunk);
    }
    events += "data: [DONE]\n\n";
    response.status = 200;
    response.set_content(events, "text/event-stream");
  } else {
    ordered_json completion = envelope;
    completion["choices"] = ordered_json::array(
        {{{"index", 0}, {"message", message}, {"logprobs", nullptr}, {"finish_reason", finish}}});
    completion["usage"] = usage;
    reply_json(response, 200, completion);
  }
  ++requests_served_;
}

}  // namespace norviai::offline
