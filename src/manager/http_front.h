// The HTTP API's connections: a listening socket and an accept thread of the
// manager's own in front of cpp-httplib's request handling, so that no
// number of clients, idle or slow, can take the manager's descriptors, its
// memory or the API's threads for long. At most `max_connections` are open
// at once (any more are closed as they come, as is any connection that would
// leave fewer than `spare_descriptors` free under the descriptor limit: a new
// player needs its pipes); a few workers serve them in turn; a connection
// with no request for `idle` is closed, and a request must come whole within
// `request` and `max_head_bytes` (its body is httplib's to bound).
#pragma once
#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

// httplib's routing and handlers, fed one request at a time from a stream.
class HttpRouter : public httplib::Server {
 public:
  // False when the connection is to be closed; `closed` when the client asked for that.
  bool serve(httplib::Stream& stream, bool last, bool& closed) {
    return process_request(stream, last, closed, nullptr);
  }
};

// A descriptor closed with its holder.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    reset(o.release());
    return *this;
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

class HttpFront {
 public:
  struct Limits {
    size_t max_connections = 32;
    size_t workers = 8;
    std::chrono::milliseconds idle{2000};
    std::chrono::milliseconds request{5000};
    std::chrono::milliseconds write{5000};
    size_t max_head_bytes = 16 * 1024;  // request line and headers
    // Read of a body, whether httplib keeps it or skips it for being too large.
    size_t max_body_bytes = 1024 * 1024;
    size_t max_requests = 100;  // on one connection
    int spare_descriptors = 32;
  };

  HttpFront(HttpRouter& router, Limits limits);
  ~HttpFront() { stop(); }
  HttpFront(const HttpFront&) = delete;
  HttpFront& operator=(const HttpFront&) = delete;

  // Listens on an address literal (port 0: any free one) and starts serving;
  // an error text when it cannot.
  std::optional<std::string> start(const std::string& host, int port);
  int port() const { return port_; }
  // Closes every connection and ends the threads; handlers still running are
  // waited for.
  void stop();

 private:
  void accept_loop();
  bool admit(int fd);
  void work();
  void serve(int fd);
  void release(int fd);

  HttpRouter& router_;
  const Limits limits_;
  UniqueFd listener_;
  UniqueFd wake_read_, wake_write_;
  int port_ = 0;
  std::thread acceptor_;
  std::vector<std::thread> workers_;

  std::mutex mutex_;  // guards the three below
  std::condition_variable queued_;
  std::set<int> live_;       // accepted and not yet closed, served or waiting
  std::deque<int> waiting_;  // for a worker
  bool stopping_ = false;
};
