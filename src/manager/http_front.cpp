#include "manager/http_front.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

using Clock = HttpFront::Clock;
using std::chrono::milliseconds;

constexpr int BACKLOG = 128;
constexpr uint64_t LISTENER = 0, WAKE = 1;
// Deadlines are looked at this often.
constexpr milliseconds SWEEP_PERIOD(100);
// accept() or epoll_wait() failing (no descriptor or memory left, for a
// while) is tried again after this, rather than at once and without end.
constexpr milliseconds FAILURE_PAUSE(50);
// A connection that has sent nothing yet, or whose request or answer is
// under way, for longer than this may make room for a newcomer at a bound;
// one that has just come, or is prompt, never does.
constexpr milliseconds ROOM_AFTER(1000);
constexpr int API_NICENESS = 10;
constexpr size_t TRIM_AFTER_BYTES = 4 * 1024 * 1024;
constexpr const char* CONTINUE = "HTTP/1.1 100 Continue\r\n\r\n";
// Reads a round on one connection, so that no client keeps the thread.
constexpr int READS_A_ROUND = 4;

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

// A fixed answer of the front's own, the connection closed after it.
std::string plain_answer(int status, const char* reason, const char* error) {
  std::string body = std::string("{\"error\":\"") + error + "\"}";
  return "HTTP/1.1 " + std::to_string(status) + " " + reason +
         "\r\nContent-Type: application/json\r\nConnection: close\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

bool same_name(const std::string& line, size_t colon, const char* name) {
  return colon == strlen(name) && strncasecmp(line.data(), name, colon) == 0;
}

std::string trimmed(const std::string& s, size_t from) {
  size_t start = s.find_first_not_of(" \t", from);
  if (start == std::string::npos) return "";
  size_t end = s.find_last_not_of(" \t\r");
  return s.substr(start, end + 1 - start);
}

// A whole request handed to httplib, and the answer it writes.
class Exchange : public httplib::Stream {
 public:
  explicit Exchange(const HttpFront::Job& job) : job_(job) {}

  bool is_readable() const override { return true; }
  bool is_writable() const override { return true; }
  ssize_t read(char* ptr, size_t size) override {
    size_t n = std::min(size, job_.request.size() - read_);
    memcpy(ptr, job_.request.data() + read_, n);
    read_ += n;
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char* ptr, size_t size) override {
    written_.append(ptr, size);
    return static_cast<ssize_t>(size);
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip = job_.address;
    port = job_.port;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (getsockname(job_.fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) ip = address_text(addr, port);
  }
  socket_t socket() const override { return job_.fd; }
  std::string& written() { return written_; }

 private:
  const HttpFront::Job& job_;
  size_t read_ = 0;
  std::string written_;
};

// Where the request read so far ends: its head, then a body of a length
// given or in chunks. Scans only what came since the last look.
class Framing {
 public:
  enum class State { More, Whole, HeadTooLarge };

  State scan(std::string& in, const HttpFront::Limits& limits) {
    if (!head_end_) {
      for (size_t i = scanned_; i < in.size(); ++i) {
        if (in[i] != '\n') continue;
        if (i + 1 < in.size() && in[i + 1] == '\n') head_end_ = i + 2;
        else if (i + 2 < in.size() && in[i + 1] == '\r' && in[i + 2] == '\n') head_end_ = i + 3;
        if (head_end_) break;
      }
      if (!head_end_) {
        if (in.size() > limits.max_head_bytes) return State::HeadTooLarge;
        scanned_ = in.size() > 2 ? in.size() - 2 : 0;
        return State::More;
      }
      if (head_end_ > limits.max_head_bytes) return State::HeadTooLarge;
      read_head(in.substr(0, head_end_));
      too_large_ = !chunked_ && length_ > static_cast<long long>(limits.max_body_bytes);
      chunk_at_ = head_end_;
    }
    if (too_large_) {
      // Read and thrown away, so that closing after the answer resets nothing
      // the client has still to read.
      discarded_ += in.size() - head_end_;
      in.resize(head_end_);
      if (discarded_ >= static_cast<unsigned long long>(length_) || discarded_ > limits.max_discard_bytes) {
        end_ = head_end_;
        return State::Whole;
      }
      return State::More;
    }
    if (chunked_) return scan_chunks(in, limits);
    if (in.size() - head_end_ < static_cast<unsigned long long>(length_)) return State::More;
    end_ = head_end_ + static_cast<size_t>(length_);
    return State::Whole;
  }

  size_t end() const { return end_; }
  // The request breaks the connection's framing or its body was left unread:
  // the connection ends with its answer.
  bool ends_connection() const { return bad_ || too_large_; }
  // The client waits for "100 Continue" before it sends the body.
  bool awaits_continue() const { return expect_continue_ && !too_large_ && (chunked_ || length_ > 0); }
  bool head_read() const { return head_end_ != 0; }
  const std::string& method() const { return method_; }
  const std::string& path() const { return path_; }

 private:
  void read_head(const std::string& head) {
    size_t eol = head.find('\n');
    std::string line = head.substr(0, eol);
    size_t sp = line.find(' ');
    method_ = line.substr(0, sp);
    if (sp != std::string::npos) {
      std::string target = line.substr(sp + 1, line.find(' ', sp + 1) - sp - 1);
      path_ = target.substr(0, target.find('?'));
    }
    for (size_t at = eol + 1; at < head.size();) {
      size_t next = head.find('\n', at);
      if (next == std::string::npos) next = head.size();
      std::string h = head.substr(at, next - at);
      at = next + 1;
      size_t colon = h.find(':');
      if (colon == std::string::npos) continue;
      std::string value = trimmed(h, colon + 1);
      if (same_name(h, colon, "content-length")) {
        if (value.empty() || value.size() > 18 || value.find_first_not_of("0123456789") != std::string::npos ||
            (length_ >= 0 && length_ != std::stoll(value))) {
          bad_ = true;
          continue;
        }
        length_ = std::stoll(value);
      } else if (same_name(h, colon, "transfer-encoding")) {
        std::string lower = value;
        for (char& ch : lower) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
        chunked_ = lower.find("chunked") != std::string::npos;
      } else if (same_name(h, colon, "expect")) {
        expect_continue_ = strcasecmp(value.c_str(), "100-continue") == 0;
      }
    }
    if (length_ < 0) length_ = 0;
  }

  // Chunks "SIZE[;ext]\r\n DATA\r\n", up to "0\r\n", trailers and a blank line.
  State scan_chunks(const std::string& in, const HttpFront::Limits& limits) {
    for (;;) {
      if (chunk_at_ - head_end_ > limits.max_body_bytes + 4096) {  // the body and its framing
        bad_ = true;
        end_ = in.size();
        return State::Whole;
      }
      size_t eol = in.find('\n', chunk_at_);
      if (eol == std::string::npos) return State::More;
      if (trailers_) {
        bool blank = eol == chunk_at_ || (eol == chunk_at_ + 1 && in[chunk_at_] == '\r');
        chunk_at_ = eol + 1;
        if (blank) {
          end_ = chunk_at_;
          return State::Whole;
        }
        continue;
      }
      std::string size = in.substr(chunk_at_, eol - chunk_at_);
      char* rest = nullptr;
      unsigned long long n = strtoull(size.c_str(), &rest, 16);
      if (rest == size.c_str() || n > limits.max_body_bytes) {
        bad_ = true;
        end_ = in.size();
        return State::Whole;
      }
      if (n == 0) {
        trailers_ = true;
        chunk_at_ = eol + 1;
        continue;
      }
      size_t after = eol + 1 + static_cast<size_t>(n);
      size_t data_eol = in.find('\n', after);
      if (data_eol == std::string::npos) return State::More;
      chunk_at_ = data_eol + 1;
    }
  }

  size_t scanned_ = 0, head_end_ = 0, end_ = 0, chunk_at_ = 0;
  std::string method_, path_;
  long long length_ = -1;
  bool chunked_ = false, expect_continue_ = false, bad_ = false, too_large_ = false, trailers_ = false;
  unsigned long long discarded_ = 0;
};

// The API's threads yield to the sign: under a flood of requests the
// player and the manager's loop get the processor first.
void yield_to_the_sign() { setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), API_NICENESS); }

}  // namespace

struct HttpFront::Connection {
  enum class State { Idle, Reading, Serving, Writing };
  uint64_t id = 0;
  UniqueFd fd;
  std::string address;
  int port = 0;
  State state = State::Idle;
  Clock::time_point since{};  // the state began
  uint32_t events = 0;        // asked of epoll
  std::string in;             // read and not yet handed on
  Framing framing;
  bool continued = false;    // "100 Continue" went out for the request being read
  bool peer_closed = false;  // the client will send no more
  std::string out;           // the answer
  size_t out_done = 0;
  bool close_after = false;
  size_t served = 0;
};

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

HttpFront::HttpFront(HttpRouter& router, Limits limits) : router_(router), limits_(limits) {}

HttpFront::~HttpFront() { stop(); }

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
  epoll_.reset(epoll_create1(EPOLL_CLOEXEC));
  wake_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!epoll_ || !wake_) return failed("cannot wait for connections on");
  epoll_event listening{EPOLLIN, {}}, waking{EPOLLIN, {}};
  listening.data.u64 = LISTENER;
  waking.data.u64 = WAKE;
  if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, listener_.get(), &listening) != 0 ||
      epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wake_.get(), &waking) != 0)
    return failed("cannot wait for connections on");
  events_ = std::thread(&HttpFront::run, this);
  for (size_t i = 0; i < limits_.workers; ++i) workers_.emplace_back(&HttpFront::work, this);
  return std::nullopt;
}

void HttpFront::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  queued_.notify_all();
  if (wake_) wake();
  if (events_.joinable()) events_.join();
  for (auto& w : workers_) w.join();
  workers_.clear();
  connections_.clear();
  listener_.reset();
}

void HttpFront::wake() {
  uint64_t one = 1;
  (void)!::write(wake_.get(), &one, sizeof one);
}

// The event thread: it never returns before stop(), whatever fails.
void HttpFront::run() {
  yield_to_the_sign();
  epoll_event events[64];
  Clock::time_point next_sweep = Clock::now() + SWEEP_PERIOD;
  for (;;) {
    Clock::time_point now = Clock::now();
    if (now >= next_sweep) {
      sweep(now);
      next_sweep = now + SWEEP_PERIOD;
    }
    if (accept_again_at_ && now >= *accept_again_at_) {
      epoll_event listening{EPOLLIN, {}};
      listening.data.u64 = LISTENER;
      epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, listener_.get(), &listening);
      accept_again_at_.reset();
    }
    Clock::time_point until = accept_again_at_ ? std::min(next_sweep, *accept_again_at_) : next_sweep;
    auto wait_ms = std::chrono::duration_cast<milliseconds>(until - now).count() + 1;
    if (!pending_.empty()) wait_ms = 0;
    int n = epoll_wait(epoll_.get(), events, 64, static_cast<int>(std::max<long long>(wait_ms, 0)));
    if (n < 0) {
      if (errno != EINTR) std::this_thread::sleep_for(FAILURE_PAUSE);
      continue;
    }
    for (int i = 0; i < n; ++i) {
      uint64_t id = events[i].data.u64;
      if (id == WAKE) {
        uint64_t count;
        (void)!::read(wake_.get(), &count, sizeof count);
        {
          std::lock_guard<std::mutex> lock(mutex_);
          if (stopping_) return;
        }
        take_answers();
        continue;
      }
      if (id == LISTENER) {
        accept_all();
        continue;
      }
      auto it = connections_.find(id);
      if (it == connections_.end()) continue;  // closed earlier in this round
      Connection& c = *it->second;
      if (c.state == Connection::State::Writing)
        on_writable(c);
      else if (c.state != Connection::State::Serving)
        on_readable(c);
    }
    // Requests sent on the heels of an answered one: one each a round.
    std::vector<uint64_t> next;
    next.swap(pending_);
    for (uint64_t id : next) {
      auto it = connections_.find(id);
      if (it != connections_.end() && it->second->state == Connection::State::Idle) take_request(*it->second);
    }
  }
}

void HttpFront::accept_all() {
  for (int n = 0; n < 64; ++n) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    int fd = accept4(listener_.get(), reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
      // No descriptor or memory left (EMFILE, ENFILE, ENOBUFS, ENOMEM) or
      // worse: the listener rests a moment, the connections go on.
      pause_accepting(Clock::now());
      return;
    }
    int port = 0;
    std::string address = address_text(addr, port);
    admit(fd, address, port);
  }
}

void HttpFront::pause_accepting(Clock::time_point now) {
  epoll_event resting{0, {}};
  resting.data.u64 = LISTENER;
  epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, listener_.get(), &resting);
  accept_again_at_ = now + FAILURE_PAUSE;
}

void HttpFront::admit(int fd, const std::string& address, int port) {
  UniqueFd held(fd);
  int limit = descriptor_limit();
  if (fd >= limit - limits_.spare_descriptors) return;
  Clock::time_point now = Clock::now();
  size_t cap = std::max<size_t>(1, std::min(limits_.max_connections, static_cast<size_t>(limit / 4)));
  size_t same = 0;
  for (const auto& entry : connections_) same += entry.second->address == address;
  while (same >= limits_.per_address || connections_.size() >= cap) {
    bool by_address = same >= limits_.per_address;
    Connection* room = victim(by_address ? &address : nullptr, now);
    if (!room) return;  // everyone is being served or is prompt: the newcomer goes
    same -= room->address == address;
    close_connection(room->id);
  }
  auto c = std::make_unique<Connection>();
  c->id = next_id_++;
  c->fd = std::move(held);
  c->address = address;
  c->port = port;
  c->since = now;
  Connection& added = *c;
  connections_.emplace(c->id, std::move(c));
  watch(added, EPOLLIN);
}

// Who makes room at a bound: the connection idle the longest (between two
// requests, or over a second before its first), else the one whose request
// or answer has been under way the longest, over a second.
HttpFront::Connection* HttpFront::victim(const std::string* address, Clock::time_point now) {
  Connection *idle = nullptr, *slow = nullptr;
  for (auto& entry : connections_) {
    Connection* c = entry.second.get();
    if ((address && c->address != *address) || c->state == Connection::State::Serving) continue;
    bool idle_now = c->state == Connection::State::Idle && c->in.empty();
    if (!(idle_now && c->served > 0) && now - c->since < ROOM_AFTER) continue;
    Connection*& oldest = idle_now ? idle : slow;
    if (!oldest || c->since < oldest->since) oldest = c;
  }
  return idle ? idle : slow;
}

void HttpFront::on_readable(Connection& c) {
  const uint64_t id = c.id;
  char buffer[16 * 1024];
  // What is read is bounded: a whole request fits, and is handed on before more is read.
  const size_t bound = limits_.max_head_bytes + limits_.max_body_bytes + sizeof buffer;
  for (int n = 0; n < READS_A_ROUND && !c.peer_closed && c.in.size() < bound; ++n) {
    ssize_t got = recv(c.fd.get(), buffer, sizeof buffer, 0);
    if (got > 0) {
      if (c.state == Connection::State::Idle) {
        c.state = Connection::State::Reading;
        c.since = Clock::now();
      }
      c.in.append(buffer, static_cast<size_t>(got));
      if (static_cast<size_t>(got) < sizeof buffer) break;
    } else if (got == 0) {
      c.peer_closed = true;
    } else if (errno == EINTR) {
      continue;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      break;
    } else {
      close_connection(c.id);
      return;
    }
  }
  take_request(c);
  // Still not whole at the bound: not a request of this API.
  if (connections_.count(id) && c.state == Connection::State::Reading && c.in.size() >= bound) close_connection(id);
}

// Hands on the request read whole, if there is one; closes a connection the
// client has left with nothing to answer.
void HttpFront::take_request(Connection& c) {
  if (c.in.empty() && !c.framing.head_read()) {
    if (c.peer_closed) close_connection(c.id);
    return;
  }
  if (c.state == Connection::State::Idle) {  // sent on the heels of the last one
    c.state = Connection::State::Reading;
    c.since = Clock::now();
  }
  Framing::State state = c.framing.scan(c.in, limits_);
  if (state == Framing::State::HeadTooLarge) {
    c.in.clear();
    start_answer(c, {c.id, plain_answer(431, "Request Header Fields Too Large", "the request head is too large"), true});
    return;
  }
  if (state == Framing::State::More) {
    if (c.peer_closed) {
      close_connection(c.id);
    } else if (c.framing.awaits_continue() && !c.continued) {
      c.continued = true;
      if (send(c.fd.get(), CONTINUE, strlen(CONTINUE), MSG_NOSIGNAL) != static_cast<ssize_t>(strlen(CONTINUE)))
        close_connection(c.id);
    }
    return;
  }
  Job job;
  job.id = c.id;
  job.request = c.in.substr(0, c.framing.end());
  c.in.erase(0, c.framing.end());
  if (c.in.empty()) c.in.shrink_to_fit();
  job.address = c.address;
  job.port = c.port;
  job.fd = c.fd.get();
  job.last = c.served + 1 >= limits_.max_requests;
  job.continued = c.continued;
  c.close_after = c.framing.ends_connection() || c.peer_closed;
  bool waits = router_.waits && router_.waits(c.framing.method(), c.framing.path());
  c.framing = Framing();
  c.continued = false;
  c.state = Connection::State::Serving;
  c.since = Clock::now();
  if (!waits) {
    start_answer(c, answer(job));
    return;
  }
  watch(c, 0);  // its client is not read until it is answered
  job.queued_at = c.since;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  queued_.notify_one();
}

HttpFront::Answer HttpFront::answer(const Job& job) {
  Answer a;
  a.id = job.id;
  bool queued = job.queued_at != Clock::time_point{};
  if (queued && Clock::now() - job.queued_at > limits_.request) {
    a.bytes = plain_answer(503, "Service Unavailable", "too many requests at once");
    a.close = true;
    return a;
  }
  Exchange exchange(job);
  bool closed = false, kept = false;
  try {
    kept = router_.serve(exchange, job.last, closed);
  } catch (...) {
    kept = false;
  }
  a.bytes = std::move(exchange.written());
  // httplib says "100 Continue" too, once the head is read; it went out already.
  if (job.continued && a.bytes.compare(0, strlen(CONTINUE), CONTINUE) == 0) a.bytes.erase(0, strlen(CONTINUE));
  a.close = !kept || closed || job.last;
  return a;
}

void HttpFront::start_answer(Connection& c, Answer answer) {
  if (answer.bytes.empty()) {
    close_connection(c.id);
    return;
  }
  c.out = std::move(answer.bytes);
  c.out_done = 0;
  c.close_after = c.close_after || answer.close;
  c.state = Connection::State::Writing;
  c.since = Clock::now();
  answer_bytes_ += c.out.size();
  // Past the bound the answers taken the slowest make room, never this one.
  while (answer_bytes_ > limits_.max_answer_bytes) {
    Connection* slowest = nullptr;
    for (auto& entry : connections_) {
      Connection* other = entry.second.get();
      if (other != &c && other->state == Connection::State::Writing && (!slowest || other->since < slowest->since))
        slowest = other;
    }
    if (!slowest) break;
    close_connection(slowest->id);
  }
  on_writable(c);
}

void HttpFront::on_writable(Connection& c) {
  while (c.out_done < c.out.size()) {
    ssize_t n = send(c.fd.get(), c.out.data() + c.out_done, c.out.size() - c.out_done, MSG_NOSIGNAL);
    if (n > 0) {
      c.out_done += static_cast<size_t>(n);
      answer_bytes_ -= static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      watch(c, EPOLLOUT);
      return;
    } else {
      close_connection(c.id);
      return;
    }
  }
  ++c.served;
  if (c.close_after) {
    close_connection(c.id);
    return;
  }
  released_bytes_ += c.out.size();
  c.out.clear();
  c.out.shrink_to_fit();
  c.out_done = 0;
  c.state = Connection::State::Idle;
  c.since = Clock::now();
  watch(c, EPOLLIN);
  if (!c.in.empty() || c.peer_closed) pending_.push_back(c.id);
}

void HttpFront::close_connection(uint64_t id) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  Connection& c = *it->second;
  answer_bytes_ -= c.out.size() - c.out_done;
  released_bytes_ += c.out.size();
  connections_.erase(it);  // closing the descriptor takes it out of epoll
}

void HttpFront::watch(Connection& c, uint32_t events) {
  if (c.events == events) return;
  epoll_event e{events, {}};
  e.data.u64 = c.id;
  // Out of epoll while served: a client gone meanwhile would be reported again and again.
  int op = events == 0 ? EPOLL_CTL_DEL : c.events == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
  if (epoll_ctl(epoll_.get(), op, c.fd.get(), &e) != 0 && events != 0) {
    close_connection(c.id);
    return;
  }
  c.events = events;
}

void HttpFront::sweep(Clock::time_point now) {
  // Pictures of the screen are large: once every answer is taken, their
  // memory goes back to the system rather than staying with the allocator.
  if (answer_bytes_ == 0 && released_bytes_ >= TRIM_AFTER_BYTES) {
    malloc_trim(0);
    released_bytes_ = 0;
  }
  std::vector<uint64_t> late;
  for (const auto& entry : connections_) {
    const Connection& c = *entry.second;
    milliseconds allowed = c.state == Connection::State::Idle      ? limits_.idle
                           : c.state == Connection::State::Reading ? limits_.request
                           : c.state == Connection::State::Writing ? limits_.answer
                                                                   : milliseconds::max();
    if (allowed != milliseconds::max() && now - c.since >= allowed) late.push_back(c.id);
  }
  for (uint64_t id : late) close_connection(id);
}

void HttpFront::take_answers() {
  std::deque<Answer> answers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    answers.swap(answered_);
  }
  for (Answer& a : answers) {
    auto it = connections_.find(a.id);
    if (it != connections_.end()) start_answer(*it->second, std::move(a));
  }
}

void HttpFront::work() {
  yield_to_the_sign();
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      queued_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    Answer a = answer(job);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      answered_.push_back(std::move(a));
    }
    wake();
  }
}
