// Screens in step: the manager's side of a wall of boards. The leader serves
// its clock (GStreamer's network time provider, on its real-time clock) and
// the wall's plan, "item k shows from clock time T", on ADDR:PORT (the clock
// over UDP, the plan over TCP, the same number); each follower keeps a
// network clock in step with it and reads the plan. Every board runs its own
// player on that clock with the same playlist, and every player places each
// file at its planned time (switch_at), so the same frame is on every screen
// at the same moment. The networking runs on a thread of its own; the
// manager's loop only reads what it publishes and hands it the plan.
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

struct WallOptions {
  enum class Role { None, Lead, Follow };
  Role role = Role::None;
  std::string address;  // ADDR:PORT to serve, or HOST:PORT of the leader
  int latency_ms = 300;  // the pipeline latency every screen of the wall keeps
};

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
};

// The plan's line protocol, one line each: "wall 1 BASE LATENCY", "item
// current|next SEQUENCE START DURATION NAME". Names are sent as they are
// (a file name holds no line break here: such files are skipped).
std::string wall_plan_lines(const WallPlan& plan);
// Takes one line into the plan; false for a line it does not know.
bool read_wall_plan_line(const std::string& line, WallPlan& plan);

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
  // Both: for /status and /metrics (in_step is the manager's to set).
  WallStatus status() const;

 private:
  explicit Wall(const WallOptions& options) : options_(options) {}
  void run_leader();
  void run_follower();
  void read_clock_statistics();

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
  std::atomic<int> followers_{0};

  mutable std::mutex mutex_;  // guards what follows
  WallPlan plan_;
  uint64_t plan_version_ = 0;
  bool synced_ = false;
  double offset_ms_ = 0, rtt_ms_ = 0;
};
