// BoundedServer: cpp-httplib's server with the limits this library version lacks: a time limit on
// reading each request (head and body together), a cap on the bytes one request may send (chunked
// framing included), and enough workers that clients waiting on those limits do not stall others.
// Configure and use it like httplib::Server; connections run on the pool's threads. Throws only
// std::bad_alloc from the constructor.
#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>

namespace norviai::service {

struct ConnectionLimits {
  std::chrono::milliseconds request_read_time;  // from the request's first byte to its last
  std::size_t request_bytes;                    // everything one request may send
  std::size_t workers;                          // connections served at once
};

class BoundedServer : public httplib::Server {
 public:
  explicit BoundedServer(const ConnectionLimits& limits);

  // For a handler: the connection closes after the current response. The library itself ignores
  // a "Connection: close" the response sets.
  static void close_after_response();

 private:
  // Replaces the library's own connection loop, which bounds only each single read.
  bool process_and_close_socket(socket_t socket) override;
  // Waits in short steps so that stop() is not held up by idle connections.
  bool wait_for_request(socket_t socket, bool first, bool input_buffered) const;

  ConnectionLimits limits_;
};

}  // namespace norviai::service
