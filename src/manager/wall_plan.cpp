#include "manager/wall_plan.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace {

constexpr GstClockTime DAY = 24ULL * 3600 * GST_SECOND;
constexpr GstClockTime MAX_LATENCY = 10 * GST_SECOND;

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

bool within_a_day(GstClockTime t, GstClockTime now) { return t <= now + DAY && t + DAY >= now; }

std::string item_fault(const char* which, const std::optional<WallItem>& item, GstClockTime now) {
  if (!item) return "";
  if (!within_a_day(item->start, now)) return std::string("the ") + which + " item starts more than a day from now";
  if (item->duration > DAY) return std::string("the ") + which + " item lasts over a day";
  return "";
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

std::string wall_plan_fault(const WallPlan& plan, GstClockTime now) {
  // The base time is the leader's start, which may be months ago, never ahead.
  if (!GST_CLOCK_TIME_IS_VALID(plan.base_time) || plan.base_time > now + DAY)
    return "its base time is more than a day ahead";
  if (plan.latency > MAX_LATENCY) return "its latency is over 10 s";
  std::string fault = item_fault("current", plan.current, now);
  return fault.empty() ? item_fault("next", plan.next, now) : fault;
}

std::string wall_nonce() {
  unsigned char bytes[32];
  size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n > 0) got += static_cast<size_t>(n);
    else if (errno != EINTR) break;
  }
  // Never without randomness: a predictable nonce would let a recorded proof be sent again.
  for (size_t i = got; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>(g_random_int());
  std::string hex;
  for (unsigned char b : bytes) {
    char two[3];
    snprintf(two, sizeof two, "%02x", b);
    hex += two;
  }
  return hex;
}

std::string wall_proof(const std::string& token, const char* role, const std::string& nonce) {
  std::string message = std::string(role) + " " + nonce;
  gchar* mac = g_compute_hmac_for_string(G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(token.data()),
                                         token.size(), message.c_str(), static_cast<gssize>(message.size()));
  std::string proof = mac ? mac : "";
  g_free(mac);
  return proof;
}
