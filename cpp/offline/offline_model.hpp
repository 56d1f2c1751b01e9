// The offline stand-in model: a chat-completions server on a free loopback port that answers
// with respond(), so the real question graph runs with no model service. Owns its HTTP server and
// serving thread; stop() (or destruction) joins them. Thread-safe: requests are answered on the
// server's threads from the immutable script and landmarks. No Python: callers may hold or
// release the GIL around any call. Throws std::system_error when it cannot bind a port.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "offline/offline_script.hpp"
#include "offline/prompt_markers.hpp"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace norviai::offline {

class OfflineModel {
 public:
  // Binds a free port on 127.0.0.1 and starts serving.
  OfflineModel(OfflineScript script, PromptMarkers markers);
  ~OfflineModel();
  OfflineModel(const OfflineModel&) = delete;
  OfflineModel& operator=(const OfflineModel&) = delete;

  int port() const { return port_; }
  std::string base_url() const;  // "http://127.0.0.1:PORT"
  long requests_served() const { return requests_served_.load(); }
  bool running() const { return !stopped_.load(); }
  const OfflineScript& script() const { return script_; }

  // Closes the listening socket and waits for requests in flight; idempotent.
  void stop();

 private:
  void answer(const httplib::Request& request, httplib::Response& response);

  const OfflineScript script_;
  const PromptMarkers markers_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
  std::atomic<long> requests_served_{0};
  std::atomic<long> next_id_{0};
  std::atomic<bool> loop_finished_{false};
  std::atomic<bool> stopped_{false};
  std::mutex stop_mutex_;
};

}  // namespace norviai::offline
