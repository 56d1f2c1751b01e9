// `norviai serve`: QuestionDesk answers questions for the HTTP routes (one agent per process,
// plots kept per question), RequestGuard decides which requests are answered at all.
// QuestionDesk's methods are called from the server's threads WITHOUT the GIL and take it
// themselves; it owns Python objects, so it must be destroyed with the GIL held. RequestGuard is
// immutable and thread-safe. Question failures become results; only std::bad_alloc escapes.
#pragma once

#include <httplib.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "http/request_guard.hpp"
#include "modules/cli/cli.hpp"

namespace norviai::cli {

// One progress event: kind "start", "end" or "error", and its JSON text.
using EventSink = std::function<void(const std::string& kind, const std::string& json)>;

class QuestionDesk {
 public:
  // `agent` answers every question; plots go under `media_root`, one folder per question.
  QuestionDesk(py::object agent, std::string media_root);

  // Runs one question and returns the result as JSON text; events go to `on_event`, which is
  // called without the GIL; an empty sink asks for none.
  std::string ask(const std::string& question, const EventSink& on_event = {});

  // {"tables": [...]} as the database wrapper lists them.
  std::string tables();

  // The file a question's result named as plot `name`, if this server wrote it.
  std::optional<std::string> plot_path(const std::string& name) const;

 private:
  std::string register_plot(const std::string& folder, py::object image_path);

  py::object agent_;
  std::string media_root_;
  std::atomic<long> next_id_{0};
  mutable std::mutex plots_mutex_;
  std::map<std::string, std::string> plots_;
};

// The vendor service's rules: Host naming the server, the bearer token, JSON bodies.
using http::Refusal;
using http::RequestGuard;

// The token in the file, blanks around it removed; UserError naming the file, never quoting it.
std::string read_token_file(const std::string& path);

// Code points of UTF-8 text (bytes that do not continue a sequence).
std::size_t count_characters(const std::string& text);

}  // namespace norviai::cli
