#include "service/bounded_server.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

namespace norviai::service {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kStopCheckInterval{100};
// After a refusal the client may still be sending; reading it for a moment lets the answer arrive
// before the close, which would otherwise reset the connection and discard the answer.
constexpr std::chrono::milliseconds kDrainTime{1000};
constexpr std::size_t kDrainBytes = std::size_t{8} << 20;

// Each connection is served start to end on one pool thread, handlers included.
thread_local bool close_requested = false;

int poll_millis(std::chrono::milliseconds wait) {
  return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(wait.count(), 0, 60'000));
}

bool wait_for(socket_t socket, short events, std::chrono::milliseconds wait) {
  pollfd entry{socket, events, 0};
  int ready;
  do {
    ready = ::poll(&entry, 1, poll_millis(wait));
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

void socket_address(socket_t socket, bool peer, std::string& ip, int& port) {
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  auto* raw = reinterpret_cast<sockaddr*>(&address);
  if ((peer ? ::getpeername(socket, raw, &length) : ::getsockname(socket, raw, &length)) != 0) {
    return;
  }
  std::array<char, NI_MAXHOST> host{};
  std::array<char, NI_MAXSERV> service{};
  if (::getnameinfo(raw, length, host.data(), host.size(), service.data(), service.size(),
                    NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
    ip = host.data();
    port = std::atoi(service.data());
  }
}

// A connection's socket as the library's Stream, with a deadline and a byte budget that
// start_request() renews for each request. Reads are buffered: the library reads the head one
// byte at a time.
class ConnectionStream final : public httplib::Stream {
 public:
  ConnectionStream(socket_t socket, std::chrono::milliseconds read_wait,
                   std::chrono::milliseconds write_wait)
      : socket_(socket), read_wait_(read_wait), write_wait_(write_wait) {}

  void start_request(Clock::time_point deadline, std::size_t budget) {
    deadline_ = deadline;
    budget_ = budget;
    cut_off_ = false;
  }

  // The request ran out of time or bytes: the rest of it is still on the connection.
  bool cut_off() const { return cut_off_; }

  bool is_readable() const override {
    return buffered_ < filled_ || wait_for(socket_, POLLIN, read_wait());
  }

  bool is_writable() const override { return wait_for(socket_, POLLOUT, write_wait_); }

  ssize_t read(char* target, size_t size) override {
    if (budget_ == 0) {
      cut_off_ = true;
      return -1;
    }
    size = std::min(size, budget_);
    if (buffered_ == filled_) {
      if (!wait_for(socket_, POLLIN, read_wait())) {
        cut_off_ = true;
        return -1;
      }
      ssize_t got;
      do {
        got = ::recv(socket_, buffer_.data(), buffer_.size(), 0);
      } while (got < 0 && errno == EINTR);
      if (got <= 0) return got;
      buffered_ = 0;
      filled_ = static_cast<std::size_t>(got);
    }
    const std::size_t taken = std::min(size, filled_ - buffered_);
    std::memcpy(target, buffer_.data() + buffered_, taken);
    buffered_ += taken;
    budget_ -= taken;
    return static_cast<ssize_t>(taken);
  }

  // Sends everything or fails: the library does not retry short writes of a response head.
  ssize_t write(const char* data, size_t size) override {
    std::size_t sent = 0;
    while (sent < size) {
      if (!is_writable()) return -1;
      const ssize_t done = ::send(socket_, data + sent, size - sent, MSG_NOSIGNAL);
      if (done < 0 && errno == EINTR) continue;
      if (done <= 0) return -1;
      sent += static_cast<std::size_t>(done);
    }
    return static_cast<ssize_t>(size);
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    socket_address(socket_, true, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    socket_address(socket_, false, ip, port);
  }
  socket_t socket() const override { return socket_; }

  bool has_buffered_input() const { return buffered_ < filled_; }
  bool has_unread_input() const {
    return has_buffered_input() || wait_for(socket_, POLLIN, std::chrono::milliseconds(0));
  }

 private:
  std::chrono::milliseconds read_wait() const {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
    return std::max(std::chrono::milliseconds(0), std::min(read_wait_, left));
  }

  socket_t socket_;
  std::chrono::milliseconds read_wait_;
  std::chrono::milliseconds write_wait_;
  Clock::time_point deadline_ = Clock::now();
  std::size_t budget_ = 0;
  bool cut_off_ = false;
  std::array<char, 16384> buffer_{};
  std::size_t buffered_ = 0;  // consumed part of buffer_
  std::size_t filled_ = 0;
};

void drain_then_close(socket_t socket, const ConnectionStream& stream) {
  if (stream.has_unread_input()) {
    ::shutdown(socket, SHUT_WR);
    const auto until = Clock::now() + kDrainTime;
    std::array<char, 16384> sink;
    std::size_t drained = 0;
    while (drained < kDrainBytes) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
      if (left.count() <= 0 || !wait_for(socket, POLLIN, left)) break;
      const ssize_t got = ::recv(socket, sink.data(), sink.size(), 0);
      if (got <= 0) break;
      drained += static_cast<std::size_t>(got);
    }
  }
  ::shutdown(socket, SHUT_RDWR);
  ::close(socket);
}

}  // namespace

BoundedServer::BoundedServer(const ConnectionLimits& limits) : limits_(limits) {
  const std::size_t workers = limits_.workers;
  // The library takes ownership of the queue it is handed and deletes it after serving.
  new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
}

void BoundedServer::close_after_response() { close_requested = true; }

bool BoundedServer::wait_for_request(socket_t socket, bool first, bool input_buffered) const {
  if (input_buffered) return svr_sock_ != INVALID_SOCKET;  // a pipelined request
  // A loaded client may be slow to send its first request after connecting; giving up on it
  // just as it arrives would reset the connection.
  const auto until =
      Clock::now() +
      (first ? std::chrono::duration_cast<std::chrono::seconds>(limits_.request_read_time)
             : std::chrono::seconds(keep_alive_timeout_sec_));
  while (svr_sock_ != INVALID_SOCKET) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) return false;
    if (wait_for(socket, POLLIN, std::min(left, kStopCheckInterval))) return true;
  }
  return false;
}

bool BoundedServer::process_and_close_socket(socket_t socket) {
  using std::chrono::microseconds;
  using std::chrono::seconds;
  const auto read_wait = std::chrono::duration_cast<std::chrono::milliseconds>(
      seconds(read_timeout_sec_) + microseconds(read_timeout_usec_));
  const auto write_wait = std::chrono::duration_cast<std::chrono::milliseconds>(
      seconds(write_timeout_sec_) + microseconds(write_timeout_usec_));
  ConnectionStream stream(socket, read_wait, write_wait);
  bool served = true;
  for (std::size_t left = keep_alive_max_count_;
       left > 0 &&
       wait_for_request(socket, left == keep_alive_max_count_, stream.has_buffered_input());
       --left) {
    stream.start_request(Clock::now() + limits_.request_read_time, limits_.request_bytes);
    bool closed = false;
    close_requested = false;
    served = process_request(stream, left == 1, closed, nullptr);
    if (!served || closed || close_requested || stream.cut_off()) break;
  }
  drain_then_close(socket, stream);
  return served;
}

}  // namespace norviai::service
