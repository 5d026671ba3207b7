// Clients of the kinds that hold an HTTP server's connections, all on one
// thread of their own: keep-alive pollers (a dashboard, a scraper: one
// connection, a request every period), slow senders (a byte of a request
// every period) and slow readers (an answer taken a few bytes at a time
// through a small window). A client the server closes connects again: a
// poller when its next poll is due, the others at once.
#pragma once
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

class HttpCrowd {
 public:
  using Clock = std::chrono::steady_clock;
  using ms = std::chrono::milliseconds;

  struct Plan {
    int pollers = 0;
    ms poll_every{1000};
    std::vector<std::string> poll_paths{"/healthz"};  // in turn
    int senders = 0;
    ms byte_every{500};
    int readers = 0;
    std::string read_path = "/";
    size_t read_bytes = 64;
    ms read_every{200};
  };

  HttpCrowd(int port, Plan plan) : port_(port), plan_(std::move(plan)) {
    for (int i = 0; i < plan_.pollers; ++i) clients_.emplace_back(Poller);
    for (int i = 0; i < plan_.senders; ++i) clients_.emplace_back(Sender);
    for (int i = 0; i < plan_.readers; ++i) clients_.emplace_back(Reader);
    thread_ = std::thread([this] { run(); });
  }
  ~HttpCrowd() { stop(); }
  HttpCrowd(const HttpCrowd&) = delete;
  HttpCrowd& operator=(const HttpCrowd&) = delete;

  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  int polls_sent() const { return polls_sent_; }
  int polls_answered() const { return polls_answered_; }
  int connections() const { return connections_; }  // made, reconnections included

 private:
  enum Kind { Poller, Sender, Reader };
  struct Client {
    explicit Client(Kind k) : kind(k) {}
    Kind kind;
    int fd = -1;
    bool awaiting = false;  // a poll is out
    bool retry = false;     // the last poll is to be sent again
    size_t sent = 0, polls = 0;
    Clock::time_point next{};  // of the next step
    Clock::time_point due{};   // of the next poll
    std::string got;
  };

  void connect_client(Client& c, Clock::time_point now) {
    Client old = c;
    c = Client(c.kind);
    c.polls = old.polls;
    c.retry = old.retry;
    c.due = old.due;
    c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (c.kind == Reader) {
      int small = 4096;
      setsockopt(c.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    }
    sockaddr_in addr{AF_INET, htons(static_cast<uint16_t>(port_)), {htonl(INADDR_LOOPBACK)}, {}};
    connect(c.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    c.next = now;
    ++connections_;
  }
  // A poll out when the server closed the connection is sent again on a new
  // one at once, as HTTP clients do for a request that got no answer.
  static void drop(Client& c) {
    close(c.fd);
    c.fd = -1;
    if (c.awaiting && c.got.empty()) c.retry = true;
    c.awaiting = false;
  }
  // A whole answer at the front of `got`: taken away, true.
  static bool take_answer(std::string& got) {
    size_t head = got.find("\r\n\r\n");
    size_t length = got.find("Content-Length: ");
    if (head == std::string::npos || length == std::string::npos || length > head) return false;
    size_t end = head + 4 + std::stoul(got.substr(length + 16));
    if (got.size() < end) return false;
    got.erase(0, end);
    return true;
  }
  // Sends what is due; false when the server has closed the connection.
  bool act(Client& c, Clock::time_point now) {
    if (now < c.next) return true;
    if (c.kind == Poller && !c.awaiting && (c.retry || now >= c.due)) {
      const std::string& path = plan_.poll_paths[c.polls % plan_.poll_paths.size()];
      std::string request = "GET " + path + " HTTP/1.1\r\nHost: sign\r\n\r\n";
      ssize_t n = send(c.fd, request.data(), request.size(), MSG_NOSIGNAL);
      if (n < 0) return still_connecting(c, now);
      c.awaiting = true;
      if (c.retry) {
        c.retry = false;
        return true;
      }
      ++c.polls;
      ++polls_sent_;
      c.due = now + plan_.poll_every;
    } else if (c.kind == Sender) {
      std::string request = "GET /healthz HTTP/1.1\r\nHost: sign\r\nX-Slow: " + std::string(64, 'x') + "\r\n\r\n";
      if (c.sent < request.size()) {
        ssize_t n = send(c.fd, &request[c.sent], 1, MSG_NOSIGNAL);
        if (n < 0) return still_connecting(c, now);
        ++c.sent;
      }
      c.next = now + plan_.byte_every;
    } else if (c.kind == Reader && c.sent == 0) {
      std::string request = "GET " + plan_.read_path + " HTTP/1.1\r\nHost: sign\r\n\r\n";
      ssize_t n = send(c.fd, request.data(), request.size(), MSG_NOSIGNAL);
      if (n < 0) return still_connecting(c, now);
      c.sent = request.size();
    }
    return true;
  }
  // A send before the connection is made: tried again a moment later.
  static bool still_connecting(Client& c, Clock::time_point now) {
    if (errno != EAGAIN && errno != ENOTCONN) return false;
    c.next = now + ms(10);
    return true;
  }
  // Takes what came; false when the server has closed the connection.
  bool take(Client& c, Clock::time_point now) {
    char buffer[16 * 1024];
    size_t want = c.kind == Reader ? plan_.read_bytes : sizeof buffer;
    ssize_t n = recv(c.fd, buffer, want, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return false;
    if (n < 0) return true;
    if (c.kind == Reader) {
      c.next = now + plan_.read_every;
      return true;
    }
    c.got.append(buffer, static_cast<size_t>(n));
    if (c.kind == Poller && c.awaiting && take_answer(c.got)) {
      c.awaiting = false;
      ++polls_answered_;
    }
    if (c.kind == Sender) c.got.clear();
    return true;
  }

  void run() {
    std::vector<pollfd> fds;
    std::vector<Client*> polled;
    while (!stop_) {
      auto now = Clock::now();
      auto wake = now + ms(50);
      fds.clear();
      polled.clear();
      for (auto& c : clients_) {
        if (c.fd < 0 && c.kind == Poller && now < c.due && !c.retry) {
          wake = std::min(wake, c.due);
          continue;
        }
        if (c.fd < 0) connect_client(c, now);
        if (!act(c, now)) {
          drop(c);
          continue;
        }
        bool reading = c.kind != Reader || now >= c.next;
        if (reading) {
          fds.push_back({c.fd, POLLIN, 0});
          polled.push_back(&c);
        }
        if (c.kind == Poller)
          wake = std::min(wake, c.awaiting ? wake : std::max(c.next, c.due));
        else if (c.kind == Sender || !reading)
          wake = std::min(wake, c.next);
      }
      auto wait = std::chrono::duration_cast<ms>(wake - now).count();
      if (poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(wait, 0))) <= 0) continue;
      now = Clock::now();
      for (size_t i = 0; i < fds.size(); ++i)
        if (fds[i].revents && !take(*polled[i], now)) drop(*polled[i]);
    }
    for (auto& c : clients_)
      if (c.fd >= 0) close(c.fd);
  }

  const int port_;
  const Plan plan_;
  std::vector<Client> clients_;
  std::atomic<bool> stop_{false};
  std::atomic<int> polls_sent_{0}, polls_answered_{0}, connections_{0};
  std::thread thread_;
};
