// `norviai serve`: the HTTP API and page on cpp-httplib's thread pool. Handlers take the GIL only
// inside QuestionDesk; the main thread waits with the GIL released and stops the server on
// SIGINT or SIGTERM.
#include <cerrno>
#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <system_error>
#include <thread>
#include <variant>

#include "modules/cli/serve.hpp"

namespace norviai::cli {

namespace {

namespace common = norviai::py_common;
using nlohmann::json;

constexpr std::size_t kMaxQuestionCharacters = 4000;
constexpr std::size_t kMaxBodyBytes = std::size_t{64} << 10;
// Threads beyond the question pool, so that health, tables, plots and 429s are answered while
// every question slot is busy.
constexpr int kSpareThreads = 8;
constexpr const char* kRetryAfterSeconds = "2";

py::object import(const char* name) { return py::module_::import(name); }

void reply_json(httplib::Response& response, int status, const std::string& body) {
  response.status = status;
  response.set_content(body, "application/json");
}

void reply_error(httplib::Response& response, int status, const std::string& message) {
  reply_json(response, status, json{{"error", message}}.dump());
}

void log_line(const std::string& text) {
  const std::string line = text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

// The question of a POST /v1/questions body, or why there is none.
std::variant<std::string, Refusal> read_question(const std::string& body) {
  json document = json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded() || !document.is_object()) {
    return Refusal{400, "the body must be a JSON object such as {\"question\": \"...\"}"};
  }
  auto found = document.find("question");
  if (found == document.end()) return Refusal{400, "\"question\" is missing"};
  if (!found->is_string()) return Refusal{400, "\"question\" must be a string"};
  std::string question = found->get<std::string>();
  if (question.find_first_not_of(" \t\r\n") == std::string::npos) {
    return Refusal{400, "\"question\" is empty"};
  }
  if (count_characters(question) > kMaxQuestionCharacters) {
    return Refusal{413, "the question is longer than " + std::to_string(kMaxQuestionCharacters) +
                            " characters"};
  }
  return question;
}

// One of the pool's question slots, held while its question runs.
class Slot {
 public:
  Slot(std::atomic<int>& busy, int limit) : busy_(busy) {
    int now = busy_.load();
    while (now < limit) {
      if (busy_.compare_exchange_weak(now, now + 1)) {
        held_ = true;
        return;
      }
    }
  }
  ~Slot() {
    if (held_) --busy_;
  }
  Slot(const Slot&) = delete;
  Slot& operator=(const Slot&) = delete;
  bool held() const { return held_; }

 private:
  std::atomic<int>& busy_;
  bool held_ = false;
};

std::string sse(const std::string& event, const std::string& data) {
  return "event: " + event + "\ndata: " + data + "\n\n";
}

const char* media_type(const std::string& path) {
  if (path.ends_with(".png")) return "image/png";
  if (path.ends_with(".svg")) return "image/svg+xml";
  if (path.ends_with(".jpg") || path.ends_with(".jpeg")) return "image/jpeg";
  return "application/octet-stream";
}

class QuestionServer {
 public:
  QuestionServer(QuestionDesk& desk, int pool, std::string page) : desk_(desk), pool_(pool) {
    page_ = std::move(page);
    // httplib owns and deletes the queue it is handed.
    http_.new_task_queue = [threads = pool + kSpareThreads] {
      return new httplib::ThreadPool(threads);
    };
    http_.set_payload_max_length(kMaxBodyBytes);
    http_.set_read_timeout(10);
    http_.set_keep_alive_timeout(2);
    http_.set_logger([](const httplib::Request& request, const httplib::Response& response) {
      log_line(request.method + " " + request.path + " " + std::to_string(response.status));
    });
    http_.set_error_handler([](const httplib::Request&, httplib::Response& response) {
      if (response.body.empty()) {
        reply_error(response, response.status,
                    response.status == 404 ? "not found" : "the request was refused");
      }
    });
    http_.set_exception_handler(
        [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
          reply_error(response, 500, "internal error");
        });
    http_.set_pre_routing_handler(
        [this](const httplib::Request& request, httplib::Response& response) {
          if (auto refusal = guard_->check(request)) {
            reply_error(response, refusal->status, refusal->message);
            return httplib::Server::HandlerResponse::Handled;
          }
          return httplib::Server::HandlerResponse::Unhandled;
        });
    add_routes();
  }

  int bind(const std::string& host, int port, const std::vector<std::string>& allowed,
           const std::string& token) {
    const int bound =
        port == 0 ? http_.bind_to_any_port(host) : (http_.bind_to_port(host, port) ? port : -1);
    if (bound <= 0) {
      throw UserError("cannot listen on " + host + ":" + std::to_string(port) + ": " +
                      std::system_category().message(errno));
    }
    guard_.emplace(host, bound, allowed, token, "server");
    return bound;
  }

  bool run() { return http_.listen_after_bind(); }
  void stop() { http_.stop(); }
  bool is_running() const { return http_.is_running(); }

 private:
  void add_routes() {
    http_.Get("/", [this](const httplib::Request&, httplib::Response& response) {
      response.set_content(page_, "text/html; charset=utf-8");
    });
    http_.Get("/v1/health", [this](const httplib::Request&, httplib::Response& response) {
      reply_json(
          response, 200,
          json{{"status", "ok"}, {"questions_running", busy_.load()}, {"pool", pool_}}.dump());
    });
    http_.Get("/v1/tables", [this](const httplib::Request&, httplib::Response& response) {
      reply_json(response, 200, desk_.tables());
    });
    http_.Get(R"(/v1/plots/([^/]+))",
              [this](const httplib::Request& request, httplib::Response& response) {
                serve_plot(request.matches[1], response);
              });
    http_.Post("/v1/questions", [this](const httplib::Request& request,
                                       httplib::Response& response) { ask(request, response); });
  }

  void serve_plot(const std::string& name, httplib::Response& response) {
    auto path = desk_.plot_path(name);
    std::ifstream file;
    if (path) file.open(*path, std::ios::binary);
    if (!path || !file.is_open()) {
      reply_error(response, 404, "no plot of that name was written by this server");
      return;
    }
    response.set_content(std::string((std::istreambuf_iterator<char>(file)), {}),
                         media_type(*path));
  }

  void ask(const httplib::Request& request, httplib::Response& response) {
    auto question = read_question(request.body);
    if (auto* refusal = std::get_if<Refusal>(&question)) {
      reply_error(response, refusal->status, refusal->message);
      return;
    }
    auto slot = std::make_shared<Slot>(busy_, pool_);
    if (!slot->held()) {
      response.set_header("Retry-After", kRetryAfterSeconds);
      reply_error(response, 429,
                  "all " + std::to_string(pool_) + " question slots are busy; try again shortly");
      return;
    }
    std::string text = std::get<std::string>(std::move(question));
    if (request.get_header_value("Accept").find("text/event-stream") == std::string::npos) {
      reply_json(response, 200, desk_.ask(text));
      return;
    }
    response.set_header("Cache-Control", "no-store");
    // The question runs as the stream is written; a reader who leaves stops the writing, not
    // the question, whose slot is released when it has finished.
    response.set_chunked_content_provider(
        "text/event-stream", [this, slot, text](std::size_t, httplib::DataSink& sink) {
          bool reading = true;
          // Steps that run in parallel report from their own threads.
          std::mutex writing;
          auto send = [&](const std::string& event, const std::string& data) {
            const std::string frame = sse(event, data);
            std::lock_guard lock(writing);
            if (reading) reading = sink.write(frame.data(), frame.size());
          };
          const std::string result =
              desk_.ask(text, [&](const std::string& kind, const std::string& data) {
                send("step_" + kind, data);
              });
          send("result", result);
          sink.done();
          return reading;
        });
  }

  QuestionDesk& desk_;
  const int pool_;
  std::string page_;
  std::atomic<int> busy_{0};
  std::optional<RequestGuard> guard_;
  httplib::Server http_;
};

std::string read_page() {
  std::ifstream file(common::package_path("data/serve_page.html"), std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), {});
}

// Serves until SIGINT or SIGTERM; the GIL is released while waiting, so handlers can take it.
void serve_until_stopped(QuestionServer& server) {
  py::object signal = import("signal");
  signal.attr("signal")(signal.attr("SIGTERM"), signal.attr("default_int_handler"));
  std::atomic<bool> finished{false};
  std::thread loop;
  {
    py::gil_scoped_release release;
    loop = std::thread([&] {
      server.run();
      finished = true;
    });
  }
  std::optional<py::error_already_set> pending;
  while (!finished) {
    {
      py::gil_scoped_release release;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (PyErr_CheckSignals() != 0) {
      py::error_already_set error;
      if (!error.matches(PyExc_KeyboardInterrupt)) pending = std::move(error);
      break;
    }
  }
  {
    // Questions in flight need the GIL to finish.
    py::gil_scoped_release release;
    while (!finished && !server.is_running()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!finished) server.stop();
    loop.join();
  }
  if (pending) throw *pending;
}

}  // namespace

int run_serve(py::object args) {
  const int pool = args.attr("pool").cast<int>();
  const int port = args.attr("port").cast<int>();
  if (pool < 1) throw UserError("--pool must be at least 1");
  if (port < 0 || port > 65535) throw UserError("--port must be between 0 and 65535");
  const std::string token = args.attr("token_file").is_none()
                                ? std::string()
                                : read_token_file(py::str(args.attr("token_file")));
  std::vector<std::string> allowed;
  if (!args.attr("allowed_host").is_none()) {
    for (auto name : args.attr("allowed_host")) allowed.push_back(py::str(name));
  }
  const std::string host = py::str(args.attr("host"));

  Session session;
  session.source = model_source(common::truthy(args.attr("offline")));
  session.concurrent_questions = pool;
  build_agent(session, database_url(args.attr("db")));
  // Each running question may have its analysis child starting; with fewer kept, a burst of
  // questions would end each other's children and run cold.
  import("norviai.askflow.flowsteps").attr("_reserve_warm_analyses")(pool);
  const std::string media =
      py::str(import("tempfile").attr("mkdtemp")(py::arg("prefix") = "norviai-serve-"));
  int status = 0;
  {
    QuestionDesk desk(session.agent, media);
    QuestionServer server(desk, pool, read_page());
    const int bound = server.bind(host, port, allowed, token);
    out("Using " + describe(session.source) + ".");
    const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    out("norviai serve: open http://" + shown + ":" + std::to_string(bound) + "/");
    import("sys").attr("stdout").attr("flush")();
    try {
      serve_until_stopped(server);
    } catch (...) {
      import("shutil").attr("rmtree")(media, py::arg("ignore_errors") = true);
      throw;
    }
  }
  import("shutil").attr("rmtree")(media, py::arg("ignore_errors") = true);
  return status;
}

}  // namespace norviai::cli
