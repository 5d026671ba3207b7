// Screens in step: the manager's side of a wall of boards. The leader serves
// its clock (GStreamer's network time provider, on its real-time clock) and
// the wall's plan, "item k shows from clock time T", on ADDR:PORT (the clock
// over UDP, the plan over TCP, the same number); each follower keeps a
// network clock in step with it and reads the plan. Every board runs its own
// player on that clock with the same playlist, and every player places each
// file at its planned time (switch_at), so the same frame is on every screen
// at the same moment. The networking runs on a thread of its own; the
// manager's loop only reads what it publishes and hands it the plan.
//
// Only the wall's boards take part: with a token, a follower and its leader
// each prove they know it (wall_plan.h) before the plan is sent; a
// connection that has not proved itself within 2 s is closed, as is a
// follower silent for 4 s, and a few unproven connections from one address
// at most are kept, the oldest closed first, so that no one on the network
// can take a follower's place.
#pragma once
#include <gst/gst.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "manager/wall_plan.h"

struct WallOptions {
  enum class Role { None, Lead, Follow };
  Role role = Role::None;
  std::string address;  // ADDR:PORT to serve, or HOST:PORT of the leader
  int latency_ms = 300;  // the pipeline latency every screen of the wall keeps
  std::string token_file;  // the wall's shared secret; needed off loopback
};

// What /status and /metrics say of the wall.
struct WallStatus {
  std::string role;  // "lead", "follow" or "none"
  bool clock_synced = false;
  double clock_offset_ms = 0;  // the leader's clock less this board's own real-time clock
  double clock_rtt_ms = 0;     // round trip to the leader's clock, averaged
  bool leader_connected = false;
  int followers = 0;
  bool in_step = false;
};

struct FollowerLink;

class Wall {
 public:
  // Starts the clock and the plan's networking; false (with a line in
  // `error`) when the address cannot be served or read.
  static std::unique_ptr<Wall> start(const WallOptions& options, std::string& error);
  ~Wall();
  Wall(const Wall&) = delete;
  Wall& operator=(const Wall&) = delete;

  WallOptions::Role role() const { return options_.role; }
  bool leading() const { return options_.role == WallOptions::Role::Lead; }
  // The clock every player of the wall runs on, as the player's --clock takes it.
  std::string player_clock_address() const;
  GstClockTime latency() const { return static_cast<GstClockTime>(options_.latency_ms) * GST_MSECOND; }
  // The wall's clock now (the leader's real-time clock, or the follower's
  // network clock in step with it).
  GstClockTime now() const;

  // Leader: the plan every follower gets, at once and on joining.
  void publish(const WallPlan& plan);
  // Follower: the plan as last received, and whether the leader is there.
  WallPlan plan() const;
  bool leader_connected() const { return connected_; }
  // Follower: the last plan heard may be followed (it was read whole and
  // within bounds).
  bool plan_usable() const { return connected_ && plan_ok_; }
  // What the networking thread has to say, for the manager's log; each once.
  std::vector<std::string> take_notes();
  // Both: for /status and /metrics (in_step is the manager's to set).
  WallStatus status() const;

 private:
  explicit Wall(const WallOptions& options) : options_(options) {}
  class Peers;
  void run_leader();
  void run_follower();
  void read_clock_statistics();
  void note(const std::string& text);
  // Follower: takes what the leader said; false when the connection is to close.
  bool take_leader_lines(std::string& buffer, int fd, FollowerLink& link);
  void take_plan_lines(const std::vector<std::string>& lines);

  WallOptions options_;
  std::string host_;
  int port_ = 0;
  GstClock* clock_ = nullptr;           // leader: the system's real-time clock; follower: the network clock
  GstObject* provider_ = nullptr;       // leader: the network time provider
  GstBus* clock_bus_ = nullptr;         // follower: the clock's statistics
  int listen_fd_ = -1;
  int wake_fd_[2] = {-1, -1};           // wakes the thread for a new plan or the end
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> connected_{false};
  std::atomic<bool> plan_ok_{false};
  std::string token_;
  std::atomic<int> followers_{0};

  mutable std::mutex mutex_;  // guards what follows
  WallPlan plan_;
  uint64_t plan_version_ = 0;
  bool synced_ = false;
  double offset_ms_ = 0, rtt_ms_ = 0;
  std::vector<std::string> notes_;
  std::string last_note_;
};
