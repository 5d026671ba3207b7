#include "manager/http_front.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int BACKLOG = 64;
// accept() fails while the process has no descriptor left: it is tried again
// after this, rather than at once and without end.
constexpr auto NO_DESCRIPTOR_PAUSE = std::chrono::milliseconds(50);

// True when `events` came before the deadline.
bool wait_for(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    int n = poll(&p, 1, static_cast<int>(left));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

std::string address_text(const sockaddr_storage& addr, int& port) {
  char text[INET6_ADDRSTRLEN] = "";
  if (addr.ss_family == AF_INET) {
    auto* a = reinterpret_cast<const sockaddr_in*>(&addr);
    inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
    port = ntohs(a->sin_port);
  } else if (addr.ss_family == AF_INET6) {
    auto* a = reinterpret_cast<const sockaddr_in6*>(&addr);
    inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
    port = ntohs(a->sin6_port);
  }
  return text;
}

int descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > (1 << 20))
    return 1 << 20;
  return static_cast<int>(limit.rlim_cur);
}

// One connection as httplib reads and writes it. Every read waits at most
// until the request's deadline and counts against its size; a write waits at
// most the write time-out.
class Connection : public httplib::Stream {
 public:
  Connection(int fd, const HttpFront::Limits& limits) : fd_(fd), limits_(limits) {}

  // Waits for the next request to start; false when the client stays idle or leaves.
  bool await_request() {
    if (start_ < end_) return true;  // sent on the heels of the last one
    return wait_for(fd_, POLLIN, Clock::now() + limits_.idle);
  }
  void begin_request() {
    deadline_ = Clock::now() + limits_.request;
    head_bytes_ = body_bytes_ = 0;
    in_body_ = false;
    tail_ = 0;
  }

  bool is_readable() const override { return start_ < end_ || wait_for(fd_, POLLIN, deadline_); }
  bool is_writable() const override { return wait_for(fd_, POLLOUT, Clock::now() + limits_.write); }

  ssize_t read(char* ptr, size_t size) override {
    if (size == 0) return 0;
    if (start_ == end_ && !fill()) return -1;
    if (start_ == end_) return 0;  // the client closed its side
    // The head is handed out a byte at a time when httplib reads it line by
    // line, so its end is seen where it is.
    size_t n = std::min(size, end_ - start_);
    if (!in_body_) {
      n = std::min(n, limits_.max_head_bytes - std::min(head_bytes_, limits_.max_head_bytes));
      if (n == 0) return -1;
      for (size_t i = 0; i < n && !in_body_; ++i) {
        tail_ = (tail_ << 8) | static_cast<unsigned char>(buffer_[start_ + i]);
        ++head_bytes_;
        if (tail_ == 0x0d0a0d0a) {  // "\r\n\r\n"
          in_body_ = true;
          n = i + 1;
        }
      }
    } else {
      if (body_bytes_ >= limits_.max_body_bytes) return -1;
      n = std::min(n, limits_.max_body_bytes - body_bytes_);
      body_bytes_ += n;
    }
    memcpy(ptr, buffer_ + start_, n);
    start_ += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    auto deadline = Clock::now() + limits_.write;
    for (;;) {
      ssize_t n = send(fd_, ptr, size, MSG_NOSIGNAL);
      if (n >= 0) return n;
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
      if (!wait_for(fd_, POLLOUT, deadline)) return -1;
    }
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (getpeername(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) ip = address_text(addr, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) ip = address_text(addr, port);
  }
  socket_t socket() const override { return fd_; }

 private:
  // False on an error or at the deadline; leaves the buffer empty when the client closed.
  bool fill() {
    start_ = end_ = 0;
    for (;;) {
      ssize_t n = recv(fd_, buffer_, sizeof buffer_, 0);
      if (n >= 0) {
        end_ = static_cast<size_t>(n);
        return true;
      }
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
      if (!wait_for(fd_, POLLIN, deadline_)) return false;
    }
  }

  const int fd_;
  const HttpFront::Limits& limits_;
  char buffer_[4096];
  size_t start_ = 0, end_ = 0;
  Clock::time_point deadline_{};
  size_t head_bytes_ = 0, body_bytes_ = 0;
  bool in_body_ = false;
  uint32_t tail_ = 0;  // the last four bytes of the head
};

}  // namespace

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

HttpFront::HttpFront(HttpRouter& router, Limits limits) : router_(router), limits_(limits) {}

std::optional<std::string> HttpFront::start(const std::string& host, int port) {
  sockaddr_storage addr{};
  socklen_t len = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
  if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    len = sizeof *v4;
  } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    len = sizeof *v6;
  } else {
    return "not an address: " + host;
  }
  auto failed = [&](const char* what) { return std::string(what) + " " + host + ":" + std::to_string(port) + ": " + strerror(errno); };
  listener_.reset(socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!listener_) return failed("cannot make a socket for");
  int on = 1;
  setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (addr.ss_family == AF_INET6) setsockopt(listener_.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  if (bind(listener_.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) return failed("cannot listen on");
  if (::listen(listener_.get(), BACKLOG) != 0) return failed("cannot listen on");
  sockaddr_storage bound{};
  socklen_t bound_len = sizeof bound;
  getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&bound), &bound_len);
  address_text(bound, port_);
  int wake[2];
  if (pipe2(wake, O_CLOEXEC) != 0) return failed("cannot make a pipe for");
  wake_read_.reset(wake[0]);
  wake_write_.reset(wake[1]);
  acceptor_ = std::thread(&HttpFront::accept_loop, this);
  for (size_t i = 0; i < limits_.workers; ++i) workers_.emplace_back(&HttpFront::work, this);
  return std::nullopt;
}

void HttpFront::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    // Wakes the workers' waits on their clients.
    for (int fd : live_) shutdown(fd, SHUT_RDWR);
  }
  queued_.notify_all();
  if (wake_write_) {
    char byte = 0;
    (void)!::write(wake_write_.get(), &byte, 1);
  }
  if (acceptor_.joinable()) acceptor_.join();
  for (auto& w : workers_) w.join();
  workers_.clear();
  listener_.reset();
}

void HttpFront::accept_loop() {
  pollfd fds[2] = {{listener_.get(), POLLIN, 0}, {wake_read_.get(), POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (fds[1].revents) return;
    if (!(fds[0].revents & POLLIN)) continue;
    int fd = accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        std::this_thread::sleep_for(NO_DESCRIPTOR_PAUSE);
      continue;
    }
    if (!admit(fd)) close(fd);
  }
}

bool HttpFront::admit(int fd) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || live_.size() >= limits_.max_connections ||
        fd >= descriptor_limit() - limits_.spare_descriptors)
      return false;
    live_.insert(fd);
    waiting_.push_back(fd);
  }
  queued_.notify_one();
  return true;
}

void HttpFront::work() {
  for (;;) {
    int fd;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      queued_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
      if (waiting_.empty()) return;
      fd = waiting_.front();
      waiting_.pop_front();
      if (stopping_) shutdown(fd, SHUT_RDWR);
    }
    serve(fd);
    release(fd);
  }
}

void HttpFront::serve(int fd) {
  Connection connection(fd, limits_);
  for (size_t n = 1; n <= limits_.max_requests; ++n) {
    if (!connection.await_request()) return;
    connection.begin_request();
    bool closed = false;
    if (!router_.serve(connection, n == limits_.max_requests, closed) || closed) return;
  }
}

void HttpFront::release(int fd) {
  // Closed under the lock, so that stop() never shuts down a number already reused.
  std::lock_guard<std::mutex> lock(mutex_);
  live_.erase(fd);
  close(fd);
}
