// norviai-service: serves model deployments from a JSON file and stores usage reports in SQLite.
// Exit codes: 0 after SIGINT/SIGTERM, 1 when it cannot start or serve, 2 for a bad command line.

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <thread>

#include "http/request_guard.hpp"
#include "service/deployments.hpp"
#include "service/options.hpp"
#include "service/server.hpp"
#include "service/usage_store.hpp"

namespace {

using norviai::service::DeploymentsFile;
using norviai::service::ServiceOptions;
using norviai::service::UsageStore;
using norviai::service::VendorServer;

void print_error(const std::string& message) {
  std::fprintf(stderr, "norviai-service: %s\n", message.c_str());
}

std::string url_host(const std::string& host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

sigset_t stop_signals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

// Waits for SIGINT/SIGTERM on its own thread and stops the server. Returns when a signal came or
// when `serving_done` is set.
void watch_stop_signals(VendorServer& server, const std::atomic<bool>& serving_done,
                        std::atomic<bool>& stop_requested) {
  const sigset_t signals = stop_signals();
  const timespec poll_interval{0, 200'000'000};
  while (!serving_done.load()) {
    if (sigtimedwait(&signals, nullptr, &poll_interval) > 0) {
      stop_requested.store(true);
      break;
    }
  }
  // httplib ignores stop() until its accept loop has started, and a second stop() is not allowed,
  // so wait for the loop and stop it once.
  while (!serving_done.load() && !server.is_running()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!serving_done.load()) server.stop();
}

int serve(const ServiceOptions& options) {
  DeploymentsFile deployments(options.deployments_path);
  deployments.load();  // refuse to start on a file that would fail every request
  norviai::service::AccessRules rules{options.allowed_hosts, {}};
  if (!options.token_file.empty()) {
    rules.token = norviai::http::read_token_file(options.token_file);
  }
  UsageStore store(options.db_path);
  VendorServer server(deployments, store, std::move(rules));
  const int port = server.bind(options.host, options.port);

  std::printf("norviai-service listening on http://%s:%d\n", url_host(options.host).c_str(), port);
  std::fflush(stdout);

  std::atomic<bool> serving_done{false};
  std::atomic<bool> stop_requested{false};
  std::thread watcher(watch_stop_signals, std::ref(server), std::cref(serving_done),
                      std::ref(stop_requested));
  const bool served = server.run();
  serving_done.store(true);
  watcher.join();
  if (stop_requested.load()) return 0;
  print_error(served ? "server stopped unexpectedly" : "the server's accept loop failed");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  ServiceOptions options;
  try {
    options = norviai::service::parse_command_line(argc, argv);
  } catch (const norviai::service::UsageError& error) {
    print_error(error.what());
    std::fputs(norviai::service::usage_text().c_str(), stderr);
    return 2;
  }
  if (options.help) {
    std::fputs(norviai::service::usage_text().c_str(), stdout);
    return 0;
  }

  // A client that hangs up mid-answer must not kill the process.
  signal(SIGPIPE, SIG_IGN);
  // Blocked before any thread starts, so every thread inherits the mask and only the watcher
  // takes these signals.
  const sigset_t signals = stop_signals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  try {
    return serve(options);
  } catch (const std::exception& error) {
    // Our errors (deployments file, token file, database, listening) carry one clear line without
    // secrets.
    print_error(error.what());
    return 1;
  }
}
