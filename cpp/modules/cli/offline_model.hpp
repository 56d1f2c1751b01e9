// The offline stand-in model: a chat-completions server on a free loopback port that replays
// scripted answers to the demo's questions, so the real question graph runs with no model service.
// OfflineModel owns its HTTP server and serving thread; stop() (or destruction) joins them.
// Thread-safe: requests are answered on the server's threads from an immutable script.
// Pure C++, no Python: callers may hold or release the GIL around any call.
// Throws ScriptError for a malformed script, std::system_error when it cannot be read or bound.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace norviai::cli {

class ScriptError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One question the stand-in knows, with everything needed to answer each step for it.
struct DemoQuestion {
  std::string question;             // exact text, as the demo asks it
  std::vector<std::string> tables;  // the tables the picker answers with
  std::string sql;                  // the query SQL generation answers with
  std::string code;                 // program body; `rows` and `chart_path` are defined before it
  std::string chart_file;           // file name of the chart under the run's save folder
  std::string answer;               // final response; {result}, {output} and {image_path} filled in
};

struct OfflineScript {
  std::vector<DemoQuestion> questions;

  static OfflineScript parse(const std::string& json_text);
  static OfflineScript load(const std::string& path);
};

// The answering logic: one chat-completions request body in, the assistant's turn out.
class OfflineResponder {
 public:
  struct Turn {
    std::string content;    // text answer, when no tool is forced
    std::string tool_name;  // non-empty when answering with a forced tool call
    nlohmann::json arguments;
  };

  explicit OfflineResponder(OfflineScript script) : script_(std::move(script)) {}

  // Throws std::invalid_argument for a request no step of the question graph sends.
  Turn respond(const nlohmann::json& request) const;
  const OfflineScript& script() const { return script_; }

 private:
  OfflineScript script_;
};

class OfflineModel {
 public:
  // Binds a free port on 127.0.0.1 and starts serving.
  explicit OfflineModel(OfflineScript script);
  ~OfflineModel();
  OfflineModel(const OfflineModel&) = delete;
  OfflineModel& operator=(const OfflineModel&) = delete;

  int port() const { return port_; }
  std::string base_url() const;  // "http://127.0.0.1:PORT"
  long requests_served() const { return requests_served_.load(); }
  bool running() const { return !stopped_.load(); }
  const OfflineScript& script() const { return responder_.script(); }

  // Closes the listening socket and waits for requests in flight; idempotent.
  void stop();

 private:
  void answer(const httplib::Request& request, httplib::Response& response);

  OfflineResponder responder_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
  std::atomic<long> requests_served_{0};
  std::atomic<long> next_id_{0};
  std::atomic<bool> loop_finished_{false};
  std::atomic<bool> stopped_{false};
  std::mutex stop_mutex_;
};

}  // namespace norviai::cli
