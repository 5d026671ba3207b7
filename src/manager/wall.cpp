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
#include <sstream>

namespace {

constexpr int MAX_FOLLOWERS = 16;
constexpr size_t MAX_LINE = 4096;
// The leader says the plan again this often; a follower that hears nothing
// for LEADER_SILENT_S takes the leader for gone and plays on by itself.
constexpr int KEEPALIVE_MS = 1000;
constexpr double LEADER_SILENT_S = 4;
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

std::string item_line(const char* which, const std::optional<WallItem>& item) {
  if (!item) return std::string("item ") + which + " -\n";
  return std::string("item ") + which + " " + std::to_string(item->sequence) + " " + std::to_string(item->start) +
         " " + std::to_string(item->duration) + " " + item->name + "\n";
}

bool read_number(std::istringstream& in, unsigned long long& out) {
  std::string word;
  if (!(in >> word) || word.empty() || word.find_first_not_of("0123456789") != std::string::npos || word.size() > 20)
    return false;
  errno = 0;
  out = std::strtoull(word.c_str(), nullptr, 10);
  return errno == 0;
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

std::string wall_plan_lines(const WallPlan& plan) {
  std::string text = "wall 1 " + std::to_string(plan.base_time) + " " + std::to_string(plan.latency) + "\n";
  return text + item_line("current", plan.current) + item_line("next", plan.next);
}

bool read_wall_plan_line(const std::string& line, WallPlan& plan) {
  std::istringstream in(line);
  std::string kind;
  in >> kind;
  if (kind == "wall") {
    unsigned long long version = 0, base = 0, latency = 0;
    if (!read_number(in, version) || version != 1 || !read_number(in, base) || !read_number(in, latency)) return false;
    plan.base_time = base;
    plan.latency = latency;
    return true;
  }
  if (kind != "item") return false;
  std::string which;
  in >> which;
  std::optional<WallItem>* slot = which == "current" ? &plan.current : which == "next" ? &plan.next : nullptr;
  if (!slot) return false;
  std::string rest;
  std::getline(in >> std::ws, rest);
  if (rest == "-") {
    slot->reset();
    return true;
  }
  std::istringstream fields(rest);
  unsigned long long sequence = 0, start = 0, duration = 0;
  if (!read_number(fields, sequence) || !read_number(fields, start) || !read_number(fields, duration)) return false;
  WallItem item;
  item.sequence = sequence;
  item.start = start;
  item.duration = duration;
  std::getline(fields >> std::ws, item.name);
  if (item.name.empty()) return false;
  *slot = item;
  return true;
}

std::unique_ptr<Wall> Wall::start(const WallOptions& options, std::string& error) {
  std::unique_ptr<Wall> wall(new Wall(options));
  if (!split_address(options.address, wall->host_, wall->port_)) {
    error = "a wall's address is HOST:PORT, not \"" + options.address + "\"";
    return nullptr;
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
      if (bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, MAX_FOLLOWERS) == 0)
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

void Wall::run_leader() {
  struct Follower {
    int fd;
    uint64_t version_sent;
  };
  std::vector<Follower> followers;
  gint64 last_said = 0;
  while (!stopping_) {
    std::vector<pollfd> fds = {{wake_fd_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}};
    for (const Follower& f : followers) fds.push_back({f.fd, POLLIN, 0});
    poll(fds.data(), fds.size(), KEEPALIVE_MS);
    char drain[64];
    while (read(wake_fd_[0], drain, sizeof drain) > 0) {
    }
    if (fds[1].revents & POLLIN) {
      int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd >= 0 && followers.size() >= static_cast<size_t>(MAX_FOLLOWERS)) {
        close(fd);
      } else if (fd >= 0) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        followers.push_back({fd, 0});
      }
    }
    // What a follower sends is not read: anything it says, or its leaving, ends it here.
    for (size_t i = 0; i < followers.size() && i + 2 < fds.size(); ++i)
      if (fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR)) {
        char sink[256];
        ssize_t n = recv(followers[i].fd, sink, sizeof sink, MSG_DONTWAIT);
        if (n <= 0 && !(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) close_fd(followers[i].fd);
      }
    WallPlan plan;
    uint64_t version;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      plan = plan_;
      version = plan_version_;
    }
    bool keepalive = g_get_monotonic_time() - last_said >= KEEPALIVE_MS * 1000;
    if (keepalive) last_said = g_get_monotonic_time();
    std::string text = wall_plan_lines(plan);
    for (Follower& f : followers)
      if (f.fd >= 0 && version > 0 && (f.version_sent != version || keepalive)) {
        if (send_all(f.fd, text))
          f.version_sent = version;
        else
          close_fd(f.fd);
      }
    std::vector<Follower> still;
    for (const Follower& f : followers)
      if (f.fd >= 0) still.push_back(f);
    followers.swap(still);
    followers_ = static_cast<int>(followers.size());
  }
  for (Follower& f : followers) close(f.fd);
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

void Wall::run_follower() {
  int fd = -1;
  std::string buffer;
  gint64 heard_at = 0, tried_at = 0;
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
      heard_at = now;
    }
    std::vector<pollfd> fds = {{wake_fd_[0], POLLIN, 0}};
    if (fd >= 0) fds.push_back({fd, POLLIN, 0});
    poll(fds.data(), fds.size(), 200);
    char drain[64];
    while (read(wake_fd_[0], drain, sizeof drain) > 0) {
    }
    if (fd >= 0 && fds.size() > 1 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      char chunk[4096];
      ssize_t n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
      if (n > 0) {
        heard_at = g_get_monotonic_time();
        buffer.append(chunk, static_cast<size_t>(n));
        size_t at;
        WallPlan plan = this->plan();
        while ((at = buffer.find('\n')) != std::string::npos) {
          read_wall_plan_line(buffer.substr(0, at), plan);
          buffer.erase(0, at + 1);
        }
        if (buffer.size() > MAX_LINE) buffer.clear();  // no line is that long: not the leader speaking
        {
          std::lock_guard<std::mutex> lock(mutex_);
          plan_ = plan;
        }
        connected_ = true;
      } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
        close_fd(fd);
        connected_ = false;
      }
    }
    if (fd >= 0 && g_get_monotonic_time() - heard_at > static_cast<gint64>(LEADER_SILENT_S * G_USEC_PER_SEC)) {
      close_fd(fd);
      connected_ = false;
    }
  }
  close_fd(fd);
}
