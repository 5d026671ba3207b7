// The wall's plan and what its boards say to each other over TCP: the
// leader's plan lines, the bounds a follower holds them to, and the
// handshake by which each side proves it knows the wall's token without
// sending it.
#pragma once
#include <gst/gst.h>

#include <cstdint>
#include <optional>
#include <string>

// One planned showing: item `sequence` of the leader's run (it counts up),
// the file's name (followers find it in their own playlist by it), and the
// clock time its `position` shows at.
struct WallItem {
  uint64_t sequence = 0;
  std::string name;
  GstClockTime start = 0;     // clock time at which the item's position 0 shows
  GstClockTime duration = 0;  // its length, 0 when unknown
  bool operator==(const WallItem& o) const {
    return sequence == o.sequence && name == o.name && start == o.start && duration == o.duration;
  }
};

// The plan as the leader last sent it.
struct WallPlan {
  GstClockTime base_time = GST_CLOCK_TIME_NONE;  // the leader's base time
  GstClockTime latency = 0;
  std::optional<WallItem> current, next;
  bool operator==(const WallPlan& o) const {
    return base_time == o.base_time && latency == o.latency && current == o.current && next == o.next;
  }
};

// The plan's line protocol, one line each: "wall 1 BASE LATENCY", "item
// current|next SEQUENCE START DURATION NAME". Names are sent as they are
// (a file name holds no line break here: such files are skipped).
std::string wall_plan_lines(const WallPlan& plan);
// Takes one line into the plan; false for a line it does not know.
bool read_wall_plan_line(const std::string& line, WallPlan& plan);
// Why a plan cannot be followed at clock time `now` ("" when it can): a
// time more than a day from now, a length over a day, a latency over 10 s.
// Such a plan would cut the file on screen at once or hold its last picture
// for a day.
std::string wall_plan_fault(const WallPlan& plan, GstClockTime now);

// The handshake. The leader opens with "wall-hello 1 NONCE token|open"; the
// follower answers "wall-proof PROOF NONCE" (its proof of the leader's
// nonce, "-" without a token, and a nonce of its own); the leader, once it
// has checked it, says "wall-welcome PROOF" (its proof of the follower's
// nonce) and the plan follows. A follower then says "alive" every second.
namespace wall_words {
constexpr const char* HELLO = "wall-hello";
constexpr const char* PROOF = "wall-proof";
constexpr const char* WELCOME = "wall-welcome";
constexpr const char* ALIVE = "alive";
}  // namespace wall_words

// 32 random bytes in hex.
std::string wall_nonce();
// HMAC-SHA256 of the other side's nonce under the token, for a role
// ("leader" or "follower"), so that a proof cannot be sent back to its maker.
std::string wall_proof(const std::string& token, const char* role, const std::string& nonce);
