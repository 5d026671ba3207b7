#include "manager/wall.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gst/net/net.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <sstream>

#include "manager/http_api.h"
#include "manager/secret.h"

namespace {

constexpr size_t MAX_FOLLOWERS = 16;
// Connections still to prove themselves: at most this many, and this many
// from one address; a new one closes the oldest first.
constexpr size_t MAX_PENDING = 16;
constexpr size_t MAX_PENDING_PER_ADDRESS = 4;
constexpr gint64 PROOF_WITHIN_US = 2 * G_USEC_PER_SEC;
constexpr size_t MAX_LINE = 4096;
// The leader says the plan again this often, and a follower that it is
// there: a side that hears nothing for SILENT_S takes the other for gone (a
// follower then plays on by itself).
constexpr int KEEPALIVE_MS = 1000;
constexpr gint64 SILENT_US = 4 * G_USEC_PER_SEC;
// Out of descriptors, the listening socket stays readable: accepting waits
// this long instead of spinning.
constexpr int ACCEPT_PAUSE_MS = 500;
constexpr int RECONNECT_MS = 1000;
constexpr GstClockTime SYNC_WAIT = 3 * GST_SECOND;

bool split_address(const std::string& text, std::string& host, int& port) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) return false;
  std::string digits = text.substr(colon + 1);
  if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  port = std::atoi(digits.c_str());
  host = text.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  return port > 0 && port < 65536;
}

void close_fd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

addrinfo* resolve(const std::string& host, int port, bool passive) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  if (passive) hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return nullptr;
  return found;
}

// Sends all of it, or gives the peer up: a follower that does not read is
// taken for gone, and reconnects when it can.
bool send_all(int fd, const std::string& text) {
  size_t sent = 0;
  while (sent < text.size()) {
    ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::unique_ptr<Wall> Wall::start(const WallOptions& options, std::string& error) {
  std::unique_ptr<Wall> wall(new Wall(options));
  if (!split_address(options.address, wall->host_, wall->port_)) {
    error = "a wall's address is HOST:PORT, not \"" + options.address + "\"";
    return nullptr;
  }
  if (!options.token_file.empty()) {
    std::optional<std::string> token = read_token_file(options.token_file);
    if (!token) {
      error = "the token file " + options.token_file + " cannot be read or holds under 16 characters";
      return nullptr;
    }
    wall->token_ = *token;
  }
  if (!gst_is_initialized()) gst_init(nullptr, nullptr);
  if (pipe2(wall->wake_fd_, O_CLOEXEC | O_NONBLOCK) != 0) {
    error = std::string("no pipe: ") + strerror(errno);
    return nullptr;
  }
  if (options.role == WallOptions::Role::Lead) {
    // The real-time clock: a leader started again, even on a board started
    // again, goes on from where the followers' clocks are.
    wall->clock_ = GST_CLOCK(g_object_new(GST_TYPE_SYSTEM_CLOCK, "clock-type", GST_CLOCK_TYPE_REALTIME, "name",
                                          "wall-clock", nullptr));
    gst_object_ref_sink(wall->clock_);
    GstNetTimeProvider* provider =
        gst_net_time_provider_new(wall->clock_, wall->host_ == "0.0.0.0" ? nullptr : wall->host_.c_str(), wall->port_);
    if (!provider) {
      error = "cannot serve the clock on " + options.address + " (UDP)";
      return nullptr;
    }
    wall->provider_ = GST_OBJECT(provider);
    addrinfo* found = resolve(wall->host_, wall->port_, true);
    for (addrinfo* a = found; a && wall->listen_fd_ < 0; a = a->ai_next) {
      int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (fd < 0) continue;
      int one = 1;
      setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      if (bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, static_cast<int>(MAX_FOLLOWERS)) == 0)
        wall->listen_fd_ = fd;
      else
        close(fd);
    }
    if (found) freeaddrinfo(found);
    if (wall->listen_fd_ < 0) {
      error = "cannot serve the wall's plan on " + options.address + " (TCP): " + strerror(errno);
      return nullptr;
    }
    wall->thread_ = std::thread([w = wall.get()] { w->run_leader(); });
  } else {
    GstClockTime now = static_cast<GstClockTime>(g_get_real_time()) * GST_USECOND;
    wall->clock_ = gst_net_client_clock_new("wall-clock", wall->host_.c_str(), wall->port_, now);
    if (!wall->clock_) {
      error = "no network clock for " + options.address;
      return nullptr;
    }
    wall->clock_bus_ = gst_bus_new();
    g_object_set(wall->clock_, "bus", wall->clock_bus_, nullptr);
    gst_clock_wait_for_sync(wall->clock_, SYNC_WAIT);
    wall->thread_ = std::thread([w = wall.get()] { w->run_follower(); });
  }
  return wall;
}

Wall::~Wall() {
  stopping_ = true;
  if (wake_fd_[1] >= 0) {
    char c = 0;
    (void)!write(wake_fd_[1], &c, 1);
  }
  if (thread_.joinable()) thread_.join();
  close_fd(listen_fd_);
  close_fd(wake_fd_[0]);
  close_fd(wake_fd_[1]);
  if (provider_) gst_object_unref(provider_);
  if (clock_bus_) gst_object_unref(clock_bus_);
  if (clock_) gst_object_unref(clock_);
}

std::string Wall::player_clock_address() const {
  if (!leading()) return options_.address;
  bool any = host_ == "0.0.0.0" || host_ == "::" || host_.empty();
  return (any ? std::string("127.0.0.1") : host_.find(':') != std::string::npos ? "[" + host_ + "]" : host_) + ":" +
         std::to_string(port_);
}

GstClockTime Wall::now() const { return clock_ ? gst_clock_get_time(clock_) : 0; }

void Wall::publish(const WallPlan& plan) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (plan_.base_time == plan.base_time && plan_.latency == plan.latency && plan_.current == plan.current &&
        plan_.next == plan.next)
      return;
    plan_ = plan;
    ++plan_version_;
  }
  char c = 1;
  (void)!write(wake_fd_[1], &c, 1);
}

WallPlan Wall::plan() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return plan_;
}

void Wall::note(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (text == last_note_) return;
  last_note_ = text;
  notes_.push_back(text);
}

std::vector<std::string> Wall::take_notes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(notes_, {});
}

WallStatus Wall::status() const {
  WallStatus s;
  s.role = leading() ? "lead" : "follow";
  s.leader_connected = leading() || connected_;
  s.followers = followers_;
  std::lock_guard<std::mutex> lock(mutex_);
  s.clock_synced = leading() || synced_;
  s.clock_offset_ms = offset_ms_;
  s.clock_rtt_ms = rtt_ms_;
  return s;
}

void Wall::read_clock_statistics() {
  while (GstMessage* msg = gst_bus_pop(clock_bus_)) {
    const GstStructure* s = gst_message_get_structure(msg);
    if (s && gst_structure_has_name(s, "gst-netclock-statistics")) {
      gboolean synced = FALSE;
      GstClockTime rtt = 0;
      gst_structure_get_boolean(s, "synchronised", &synced);
      gst_structure_get_clock_time(s, "rtt-average", &rtt);
      // How far the board's own real-time clock is from the leader's.
      double offset = (static_cast<double>(gst_clock_get_time(clock_)) -
                       static_cast<double>(g_get_real_time()) * GST_USECOND) / GST_MSECOND;
      std::lock_guard<std::mutex> lock(mutex_);
      synced_ = synced;
      rtt_ms_ = static_cast<double>(rtt) / GST_MSECOND;
      offset_ms_ = offset;
    }
    gst_message_unref(msg);
  }
}


namespace {

std::string peer_address(const sockaddr_storage& a) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (a.ss_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(a).sin_addr, text, sizeof text);
  else if (a.ss_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(a).sin6_addr, text, sizeof text);
  return text;
}

// Whole lines read from a peer; false when it left, failed or sent a line
// no board of the wall would send.
bool read_lines(int fd, std::string& buffer, std::vector<std::string>& lines, bool* heard = nullptr) {
  char chunk[4096];
  ssize_t n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return false;
  if (n > 0) buffer.append(chunk, static_cast<size_t>(n));
  if (heard) *heard = n > 0;
  size_t at;
  while ((at = buffer.find('\n')) != std::string::npos) {
    lines.push_back(buffer.substr(0, at));
    buffer.erase(0, at + 1);
  }
  return buffer.size() <= MAX_LINE;
}

// "WORD REST": the rest after a word, or nothing.
std::optional<std::string> after_word(const std::string& line, const char* word) {
  std::string w = std::string(word) + " ";
  if (line.compare(0, w.size(), w) != 0) return std::nullopt;
  return line.substr(w.size());
}

// One connection to the leader's plan port.
struct Peer {
  int fd = -1;
  std::string address;
  std::string nonce;  // the leader's, in its hello
  bool proven = false;
  gint64 since = 0, heard = 0;
  std::string in;
  uint64_t version_sent = 0;
};

}  // namespace

// The leader's connections: admitted with a hello, kept once they prove
// themselves and while they speak.
class Wall::Peers {
 public:
  Peers(Wall& wall) : wall_(wall) {}
  ~Peers() {
    for (Peer& p : peers_) close_fd(p.fd);
  }

  void add_to(std::vector<pollfd>& fds) const {
    for (const Peer& p : peers_) fds.push_back({p.fd, POLLIN, 0});
  }

  // Accepts what waits; false when descriptors ran out (accepting then pauses).
  bool accept_all(int listen_fd) {
    for (int i = 0; i < 16; ++i) {
      sockaddr_storage from{};
      socklen_t len = sizeof from;
      int fd = accept4(listen_fd, reinterpret_cast<sockaddr*>(&from), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd >= 0) {
        admit(fd, peer_address(from));
        continue;
      }
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        wall_.note(std::string("the wall's plan port cannot take a connection now (") + strerror(errno) +
                   "); trying again shortly");
        return false;
      }
      break;
    }
    return true;
  }

  // What each peer said (`fds` from add_to, after the first `skip`).
  void read(const std::vector<pollfd>& fds, size_t skip, gint64 now) {
    for (size_t i = 0; i < peers_.size() && i + skip < fds.size(); ++i) {
      Peer& p = peers_[i];
      if (p.fd < 0 || p.fd != fds[i + skip].fd || !(fds[i + skip].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      std::vector<std::string> lines;
      if (!read_lines(p.fd, p.in, lines)) {
        close_fd(p.fd);
        continue;
      }
      for (const std::string& line : lines) {
        if (p.fd < 0) break;
        if (!p.proven)
          take_proof(p, line);
        else if (line == wall_words::ALIVE)
          p.heard = now;
      }
    }
  }

  // Closes the unproven after their time and the silent; sends the plan to
  // the others when it changed, and as a keep-alive.
  void tend(gint64 now, const std::string& plan, uint64_t version, bool keepalive) {
    for (Peer& p : peers_)
      if (p.fd >= 0 && (p.proven ? now - p.heard > SILENT_US : now - p.since > PROOF_WITHIN_US)) close_fd(p.fd);
    for (Peer& p : peers_)
      if (p.fd >= 0 && p.proven && version > 0 && (p.version_sent != version || keepalive)) {
        if (send_all(p.fd, plan))
          p.version_sent = version;
        else
          close_fd(p.fd);
      }
    peers_.erase(std::remove_if(peers_.begin(), peers_.end(), [](const Peer& p) { return p.fd < 0; }), peers_.end());
  }

  int proven() const {
    int n = 0;
    for (const Peer& p : peers_) n += p.fd >= 0 && p.proven;
    return n;
  }

 private:
  size_t pending_from(const std::string* address) const {
    size_t n = 0;
    for (const Peer& p : peers_) n += p.fd >= 0 && !p.proven && (!address || p.address == *address);
    return n;
  }

  void close_oldest_pending(const std::string* address) {
    for (Peer& p : peers_)
      if (p.fd >= 0 && !p.proven && (!address || p.address == *address)) {
        close_fd(p.fd);
        return;
      }
  }

  void admit(int fd, const std::string& address) {
    if (pending_from(&address) >= MAX_PENDING_PER_ADDRESS) close_oldest_pending(&address);
    if (pending_from(nullptr) >= MAX_PENDING) close_oldest_pending(nullptr);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Peer p;
    p.fd = fd;
    p.address = address;
    p.nonce = wall_nonce();
    p.since = p.heard = g_get_monotonic_time();
    std::string hello =
        std::string(wall_words::HELLO) + " 1 " + p.nonce + (wall_.token_.empty() ? " open\n" : " token\n");
    if (send_all(fd, hello))
      peers_.push_back(std::move(p));
    else
      close(fd);
  }

  // A follower's answer to the hello: its proof of the nonce, and a nonce of
  // its own to prove ours by.
  void take_proof(Peer& p, const std::string& line) {
    const std::string& token = wall_.token_;
    std::istringstream words(after_word(line, wall_words::PROOF).value_or(""));
    std::string proof, nonce;
    words >> proof >> nonce;
    bool ok = !nonce.empty() && nonce.size() <= 128 &&
              (token.empty() || same_secret(proof, wall_proof(token, "follower", p.nonce)));
    if (!ok) {
      wall_.note("a connection from " + p.address + " to the wall's plan did not prove the wall's token; it was closed");
      close_fd(p.fd);
    } else if (proven() >= static_cast<int>(MAX_FOLLOWERS)) {
      wall_.note("the wall has " + std::to_string(MAX_FOLLOWERS) + " followers already; one more from " + p.address +
                 " was turned away");
      close_fd(p.fd);
    } else if (send_all(p.fd, std::string(wall_words::WELCOME) + " " +
                                  (token.empty() ? "-" : wall_proof(token, "leader", nonce)) + "\n")) {
      p.proven = true;
      p.heard = g_get_monotonic_time();
      p.version_sent = 0;
    } else {
      close_fd(p.fd);
    }
  }

  Wall& wall_;
  std::vector<Peer> peers_;
};

void Wall::run_leader() {
  Peers peers(*this);
  gint64 last_said = 0, accept_from = 0;
  while (!stopping_) {
    gint64 now = g_get_monotonic_time();
    bool accepting = now >= accept_from;
    std::vector<pollfd> fds = {{wake_fd_[0], POLLIN, 0}, {accepting ? listen_fd_ : -1, POLLIN, 0}};
    peers.add_to(fds);
    int timeout = accepting ? KEEPALIVE_MS : std::min(KEEPALIVE_MS, ACCEPT_PAUSE_MS);
    if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) g_usleep(100000);  // ENOMEM and the like: wait it out
    char drain[64];
    while (read(wake_fd_[0], drain, sizeof drain) > 0) {
    }
    if ((fds[1].revents & POLLIN) && !peers.accept_all(listen_fd_))
      accept_from = g_get_monotonic_time() + ACCEPT_PAUSE_MS * 1000;
    now = g_get_monotonic_time();
    peers.read(fds, 2, now);
    WallPlan plan;
    uint64_t version;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      plan = plan_;
      version = plan_version_;
    }
    bool keepalive = now - last_said >= KEEPALIVE_MS * 1000;
    if (keepalive) last_said = now;
    peers.tend(now, wall_plan_lines(plan), version, keepalive);
    followers_ = peers.proven();
  }
}

// The follower's side of one connection to the leader.
struct FollowerLink {
  bool welcomed = false;
  std::string nonce;  // ours, which the leader proves
  bool heard = false;  // something came at the last read
};

bool Wall::take_leader_lines(std::string& buffer, int fd, FollowerLink& link) {
  std::vector<std::string> lines;
  bool open = read_lines(fd, buffer, lines, &link.heard);
  std::vector<std::string> plan_lines;
  for (const std::string& line : lines) {
    if (link.welcomed) {
      plan_lines.push_back(line);
      continue;
    }
    if (auto hello = after_word(line, wall_words::HELLO)) {
      std::istringstream words(*hello);
      std::string version, nonce, mode;
      words >> version >> nonce >> mode;
      if (mode == "token" && token_.empty()) {
        note("the wall's leader at " + options_.address +
             " asks for the wall's token (--wall-token-file); this screen plays on by itself");
        return false;
      }
      if (mode != "token" && !token_.empty()) {
        note("the wall's leader at " + options_.address +
             " has no token and is not followed; this screen plays on by itself");
        return false;
      }
      link.nonce = wall_nonce();
      std::string proof = token_.empty() ? "-" : wall_proof(token_, "follower", nonce);
      if (!send_all(fd, std::string(wall_words::PROOF) + " " + proof + " " + link.nonce + "\n")) return false;
    } else if (auto welcome = after_word(line, wall_words::WELCOME)) {
      if (!token_.empty() && !same_secret(*welcome, wall_proof(token_, "leader", link.nonce))) {
        note("the wall's leader at " + options_.address +
             " did not prove the wall's token; this screen plays on by itself");
        return false;
      }
      link.welcomed = true;
      connected_ = true;
    } else {
      note("the wall's leader at " + options_.address +
           " speaks an older version of the wall's protocol; give every board the same version");
      return false;
    }
  }
  if (!plan_lines.empty()) take_plan_lines(plan_lines);
  return open;
}

void Wall::take_plan_lines(const std::vector<std::string>& lines) {
  WallPlan plan = this->plan();
  std::string fault;
  for (const std::string& line : lines)
    if (fault.empty() && !read_wall_plan_line(line, plan)) fault = "a line it cannot read: \"" + line.substr(0, 80) + "\"";
  if (fault.empty()) fault = wall_plan_fault(plan, now());
  if (!fault.empty()) {
    plan_ok_ = false;
    note("the wall's plan is refused (" + fault + "); this screen plays on by itself");
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    plan_ = plan;
    last_note_.clear();  // a refusal that comes again is said again
  }
  plan_ok_ = true;
}

void Wall::run_follower() {
  int fd = -1;
  std::string buffer;
  FollowerLink link;
  gint64 heard_at = 0, tried_at = 0, said_at = 0;
  auto drop = [&] {
    close_fd(fd);
    connected_ = false;
    plan_ok_ = false;
  };
  while (!stopping_) {
    read_clock_statistics();
    gint64 now = g_get_monotonic_time();
    if (fd < 0 && now - tried_at >= RECONNECT_MS * 1000) {
      tried_at = now;
      addrinfo* found = resolve(host_, port_, false);
      for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) continue;
        if (connect(fd, a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) close_fd(fd);
      }
      if (found) freeaddrinfo(found);
      buffer.clear();
      link = FollowerLink();
      heard_at = now;
    }
    std::vector<pollfd> fds = {{wake_fd_[0], POLLIN, 0}};
    if (fd >= 0) fds.push_back({fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), 200) < 0 && errno != EINTR) g_usleep(100000);
    char drain[64];
    while (read(wake_fd_[0], drain, sizeof drain) > 0) {
    }
    if (fd >= 0 && fds.size() > 1 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      bool open = take_leader_lines(buffer, fd, link);
      if (link.heard) heard_at = g_get_monotonic_time();
      if (!open) drop();
    }
    now = g_get_monotonic_time();
    if (fd >= 0 && link.welcomed && now - said_at >= KEEPALIVE_MS * 1000) {
      said_at = now;
      if (!send_all(fd, std::string(wall_words::ALIVE) + "\n")) drop();
    }
    if (fd >= 0 && now - heard_at > SILENT_US) drop();
  }
  close_fd(fd);
}
