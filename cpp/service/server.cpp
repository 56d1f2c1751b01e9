#include "service/server.hpp"

#include <cerrno>
#include <cstdio>
#include <string_view>
#include <system_error>

#include "service/utc_time.hpp"

namespace norviai::service {
namespace {

using nlohmann::ordered_json;

constexpr const char* kAzurePath = "/norvi/azure-openais/";
constexpr const char* kOpenAiPath = "/norvi/openais/";
constexpr const char* kQuestionsPath = "/norvi/user_questions/";

constexpr std::size_t kMaxBodyBytes = std::size_t{4} << 20;
constexpr time_t kKeepAliveSeconds = 2;
constexpr ConnectionLimits kLimits{
    .request_read_time = std::chrono::seconds(10),
    // Room for the head and for chunk framing around a body of the largest size.
    .request_bytes = 2 * kMaxBodyBytes + (std::size_t{64} << 10),
    // Far more than the clients one user runs, so that a few slow ones leave room for the rest.
    .workers = 64,
};
constexpr std::size_t kMaxLoggedPathBytes = 200;

void reply_json(httplib::Response& response, int status, const ordered_json& body) {
  response.status = status;
  // Stored text read back from SQLite may not be valid UTF-8; replace rather than throw.
  response.set_content(body.dump(-1, ' ', false, ordered_json::error_handler_t::replace),
                       "application/json");
}

void reply_error(httplib::Response& response, int status, const std::string& message) {
  reply_json(response, status, ordered_json{{"error", message}});
}

const char* generic_message(int status) {
  switch (status) {
    case 400:
      return "bad request";
    case 404:
      return "not found";
    case 405:
      return "method not allowed";
    case 413:
      return "request body too large";
    case 500:
      return "internal error";
    default:
      return "request failed";
  }
}

ordered_json to_json(const StoredQuestion& question) {
  return ordered_json{{"id", question.id},
                      {"query", question.query},
                      {"tokens", question.tokens},
                      {"total_cost", question.total_cost},
                      {"created_at", question.created_at}};
}

// The decoded path may hold control characters; a log line must stay one line.
std::string printable_path(std::string_view path) {
  std::string text;
  for (char c : path.substr(0, kMaxLoggedPathBytes)) {
    const auto byte = static_cast<unsigned char>(c);
    text += (byte < 0x20 || byte == 0x7f) ? '?' : c;
  }
  if (path.size() > kMaxLoggedPathBytes) text += "...";
  return text;
}

void log_line(const std::string& text) {
  const std::string line = text + "\n";
  // One call per line: stdio's stream lock keeps lines from different threads whole.
  std::fwrite(line.data(), 1, line.size(), stderr);
}

// A failure of the deployments file or the usage store: logged, and told to the client.
void reply_failure(httplib::Response& response, const std::exception& error) {
  log_line(std::string("norviai-service: ") + error.what());
  reply_error(response, 500, error.what());
}

// Closes the connection after the answer: part of the body may be unread, and must not be taken
// for the next request.
void refuse(httplib::Response& response, const Refusal& refusal) {
  if (refusal.status == 401) response.set_header("WWW-Authenticate", "Bearer");
  response.set_header("Connection", "close");
  BoundedServer::close_after_response();
  reply_error(response, refusal.status, refusal.message);
}

void log_access(const httplib::Request& request, const httplib::Response& response) {
  // Method, path and status only: query strings, headers and bodies may carry keys.
  log_line(utc_now_iso8601() + " " + printable_path(request.method) + " " +
           printable_path(request.path) + " " + std::to_string(response.status));
}

}  // namespace

VendorServer::VendorServer(const DeploymentsFile& deployments, UsageStore& store, AccessRules rules)
    : deployments_(deployments), store_(store), rules_(std::move(rules)), http_(kLimits) {
  http_.set_payload_max_length(kMaxBodyBytes);
  http_.set_keep_alive_timeout(kKeepAliveSeconds);
  http_.set_logger(log_access);
  http_.set_pre_routing_handler(
      [this](const httplib::Request& request, httplib::Response& response) {
        const auto refusal = guard_->check(request);
        if (!refusal) return httplib::Server::HandlerResponse::Unhandled;
        refuse(response, *refusal);
        return httplib::Server::HandlerResponse::Handled;
      });
  // Without this, the library invites the body of a request it is about to refuse.
  http_.set_expect_100_continue_handler(
      [this](const httplib::Request& request, httplib::Response& response) {
        const auto refusal = guard_->check(request);
        if (!refusal) return 100;
        refuse(response, *refusal);
        return refusal->status;
      });
  http_.set_error_handler([](const httplib::Request&, httplib::Response& response) {
    // Called for every status >= 400, including the JSON errors the routes already wrote.
    if (response.body.empty()) {
      reply_error(response, response.status, generic_message(response.status));
    }
  });
  http_.set_exception_handler(
      [](const httplib::Request& request, httplib::Response& response, std::exception_ptr) {
        // The exception's text may quote request data, so it is neither logged nor returned.
        log_line("norviai-service: unexpected failure while handling " +
                 printable_path(request.method) + " " + printable_path(request.path));
        reply_error(response, 500, generic_message(500));
      });
  add_routes();
}

void VendorServer::add_routes() {
  http_.Get(kAzurePath, [this](const httplib::Request&, httplib::Response& response) {
    serve_deployments(response, &Deployments::azure);
  });
  http_.Get(kOpenAiPath, [this](const httplib::Request&, httplib::Response& response) {
    serve_deployments(response, &Deployments::openai);
  });
  http_.Get(kQuestionsPath, [this](const httplib::Request&, httplib::Response& response) {
    list_questions(response);
  });
  http_.Post(kQuestionsPath, [this](const httplib::Request&, httplib::Response& response,
                                    const httplib::ContentReader& read_body) {
    add_question(response, read_body);
  });

  // httplib answers 404 for a known path with an unrouted method; these say 405 instead.
  auto not_allowed = [](const char* allow) {
    return [allow](const httplib::Request&, httplib::Response& response) {
      response.set_header("Allow", allow);
      reply_error(response, 405, generic_message(405));
    };
  };
  for (const char* path : {kAzurePath, kOpenAiPath}) {
    http_.Post(path, not_allowed("GET"));
    http_.Put(path, not_allowed("GET"));
    http_.Patch(path, not_allowed("GET"));
    http_.Delete(path, not_allowed("GET"));
    http_.Options(path, not_allowed("GET"));
  }
  http_.Put(kQuestionsPath, not_allowed("GET, POST"));
  http_.Patch(kQuestionsPath, not_allowed("GET, POST"));
  http_.Delete(kQuestionsPath, not_allowed("GET, POST"));
  http_.Options(kQuestionsPath, not_allowed("GET, POST"));
}

void VendorServer::serve_deployments(httplib::Response& response,
                                     nlohmann::ordered_json Deployments::*records) {
  try {
    reply_json(response, 200, deployments_.load().*records);
  } catch (const DeploymentsError& error) {
    reply_failure(response, error);
  }
}

void VendorServer::add_question(httplib::Response& response,
                                const httplib::ContentReader& read_body) {
  // Read here rather than by the library, which holds chunked bodies to no limit.
  std::string body;
  bool too_large = false;
  const bool complete = read_body([&](const char* data, std::size_t size) {
    too_large = size > kMaxBodyBytes - body.size();
    if (!too_large) body.append(data, size);
    return !too_large;
  });
  if (!complete) {
    // 413 too when the library refused a declared length over the limit.
    refuse(response, too_large || response.status == 413
                         ? Refusal{413, generic_message(413)}
                         : Refusal{400, "the request body could not be read"});
    return;
  }
  UsageReport report;
  try {
    report = parse_usage_report(body);
  } catch (const InvalidReport& error) {
    reply_error(response, 400, error.what());
    return;
  }
  try {
    reply_json(response, 201, to_json(store_.add(report)));
  } catch (const StoreError& error) {
    reply_failure(response, error);
  }
}

void VendorServer::list_questions(httplib::Response& response) {
  try {
    ordered_json rows = ordered_json::array();
    for (const auto& question : store_.all()) rows.push_back(to_json(question));
    reply_json(response, 200, rows);
  } catch (const StoreError& error) {
    reply_failure(response, error);
  }
}

int VendorServer::bind(const std::string& host, int port) {
  // httplib reports only failure; errno still holds the cause from bind/listen.
  errno = 0;
  int bound = port;
  bool ok;
  if (port == 0) {
    bound = http_.bind_to_any_port(host);
    ok = bound > 0;
  } else {
    ok = http_.bind_to_port(host, port);
  }
  if (ok) {
    guard_.emplace(host, bound, rules_.allowed_hosts, rules_.token);
  } else {
    const int cause = errno;
    std::string message = "cannot listen on " + host + ":" + std::to_string(port);
    message += cause != 0 ? std::string(": ") + std::system_category().message(cause)
                          : std::string(": address not available");
    throw ListenError(message);
  }
  return bound;
}

bool VendorServer::run() { return http_.listen_after_bind(); }

void VendorServer::stop() { http_.stop(); }

bool VendorServer::is_running() const { return http_.is_running(); }

}  // namespace norviai::service
