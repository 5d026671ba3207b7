// The HTTP API's connections: a listening socket and one event thread of the
// manager's own in front of cpp-httplib's request handling, so that no
// number of clients, idle, slow or quick, can take the manager's descriptors,
// its memory or the API's threads for long.
//
// The event thread accepts, reads every request whole (head and body, each
// bounded) and writes every answer, never waiting on one client. A request
// that is answered from what is at hand is answered on that thread; one that
// waits for someone else (a control call to the manager's loop) goes to one
// of a few workers, which hand the connection back with the answer. So a
// client holds a thread only while a request of its own is being answered.
//
// Bounds: at most `max_connections` (and a quarter of the descriptor limit),
// `per_address` from one address; at either bound the connection idle the
// longest (between two requests, or over a second before its first) makes
// room for the new one, else the one whose request or answer has been under
// way the longest (over a second), else the new one is closed, as is one
// that would leave fewer than `spare_descriptors` free (a new player needs
// its pipes). A connection with no request for `idle` is
// closed, a request must come whole within `request` of its first byte, an
// answer must be taken whole within `answer`, and a request waiting for a
// worker longer than `request` is answered 503.
#pragma once
#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// httplib's routing and handlers, fed one whole request at a time.
class HttpRouter : public httplib::Server {
 public:
  // False when the connection is to be closed; `closed` when the client asked for that.
  bool serve(httplib::Stream& stream, bool last, bool& closed) {
    return process_request(stream, last, closed, nullptr);
  }
  // Whether answering the request waits on someone else: such a request is
  // given to a worker, any other answered at once on the event thread.
  std::function<bool(const std::string& method, const std::string& path)> waits;
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
  using Clock = std::chrono::steady_clock;

  struct Limits {
    size_t max_connections = 256;
    size_t per_address = 128;
    size_t workers = 4;
    std::chrono::milliseconds idle{2000};
    std::chrono::milliseconds request{5000};
    std::chrono::milliseconds answer{10000};
    size_t max_head_bytes = 16 * 1024;  // request line and headers
    size_t max_body_bytes = 16 * 1024;  // a larger body is read and thrown away, up to
    size_t max_discard_bytes = 1024 * 1024;
    size_t max_requests = 100;  // on one connection
    // Answers being taken, all together: past it the slowest reader is closed.
    size_t max_answer_bytes = 64 * 1024 * 1024;
    int spare_descriptors = 32;
  };

  HttpFront(HttpRouter& router, Limits limits);
  ~HttpFront();
  HttpFront(const HttpFront&) = delete;
  HttpFront& operator=(const HttpFront&) = delete;

  // Listens on an address literal (port 0: any free one) and starts serving;
  // an error text when it cannot.
  std::optional<std::string> start(const std::string& host, int port);
  int port() const { return port_; }
  // Ends the threads (a handler still running is waited for) and closes
  // every connection.
  void stop();

  struct Connection;
  // A whole request as it came, and what answering it needs.
  struct Job {
    uint64_t id = 0;
    std::string request;
    std::string address;
    int port = 0, fd = -1;
    bool last = false;       // the connection's last request
    bool continued = false;  // "100 Continue" went out already
    Clock::time_point queued_at{};
  };
  struct Answer {
    uint64_t id = 0;
    std::string bytes;
    bool close = false;
  };

 private:
  void run();
  void accept_all();
  void admit(int fd, const std::string& address, int port);
  Connection* victim(const std::string* address, Clock::time_point now);
  void on_readable(Connection& c);
  void take_request(Connection& c);
  void start_answer(Connection& c, Answer answer);
  void on_writable(Connection& c);
  void close_connection(uint64_t id);
  void watch(Connection& c, uint32_t events);
  void sweep(Clock::time_point now);
  void take_answers();
  void pause_accepting(Clock::time_point now);
  Answer answer(const Job& job);
  void work();
  void wake();

  HttpRouter& router_;
  const Limits limits_;
  UniqueFd listener_, epoll_, wake_;
  int port_ = 0;
  std::thread events_;
  std::vector<std::thread> workers_;

  // The event thread's own.
  std::map<uint64_t, std::unique_ptr<Connection>> connections_;  // by id, oldest first
  uint64_t next_id_ = 2;                                          // 0 and 1 name the listener and the wake
  size_t answer_bytes_ = 0;                                       // not yet taken, all connections
  size_t released_bytes_ = 0;                                     // answers taken since memory was trimmed
  std::optional<Clock::time_point> accept_again_at_;              // accepting is paused until then
  std::vector<uint64_t> pending_;  // answered, with the next request read already

  std::mutex mutex_;  // guards the four below
  std::condition_variable queued_;
  std::deque<Job> jobs_;         // for a worker
  std::deque<Answer> answered_;  // by a worker, for the event thread
  bool stopping_ = false;
};
