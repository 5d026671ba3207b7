// A screen of a wall, as the manager's cycle sees it. It owns the wall's
// networking and the plan's state, and answers the cycle's few questions:
// the player's clock options, whether a preload is the wall's, where and
// when its switch is placed, and what the wall shows. The leader plans each
// next file where the one on screen ends; a follower shows what the leader
// plans, joins the file on screen where it is when it comes late, and plays
// on by itself without it. Main thread only.
#pragma once
#include <gst/gst.h>

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "manager/output.h"
#include "manager/wall.h"

class WallCycle {
 public:
  WallCycle(WallOptions options, Output& out) : options_(std::move(options)), out_(out) {}

  // Joins or leads the wall; a wall that cannot be joined is said, and the
  // screen plays on its own.
  void start();
  bool on() const { return wall_ != nullptr; }
  // The options that put a player on the wall's clock.
  std::vector<std::string> player_args() const;

  // A new player shows none of the plan yet. The leader's own player joins
  // its plan's file on screen where the wall is: its index in `files`.
  std::optional<size_t> player_started(const std::vector<std::string>& files);
  // Leader: a preload of `path` is asked for (`cut`: asked for through the API).
  void preload_asked(const std::string& path, bool cut);
  // The preload's length, as the player says it.
  void preload_length(GstClockTime length);

  enum class Place { NotTheWalls, Armed, Send };
  struct Placement {
    Place what = Place::NotTheWalls;
    GstClockTime at = 0, position = 0;  // for Send: switch_at AT POSITION
  };
  // The switch to the complete preload of `path`: an ordinary one (not the
  // wall's, or its placement was refused), one armed already, or one to
  // place. `armed`: a placement was asked for already; `moved`: the plan's
  // time changed since.
  Placement place(const std::string& path, bool cut, bool armed, bool moved = false);
  // The player would not place the preload's switch: the cycle switches at
  // the end instead, out of step, and the wall does not count it as placed.
  void placement_refused();
  // `path` is on screen now.
  void shown(const std::string& path);

  // Follower: what the leader's plan asks of this board now.
  struct Follow {
    std::optional<size_t> go_to;  // the playlist's item to preload for the plan
    bool place_again = false;     // the armed item's time moved
  };
  Follow follow(const std::vector<std::string>& files, bool armed, bool preload_complete);
  // Says what the networking had to say.
  void say_notes();
  // For /status and /metrics; null without a wall.
  nlohmann::json json() const;

 private:
  void publish();

  WallOptions options_;
  Output& out_;
  std::unique_ptr<Wall> wall_;
  WallPlan plan_;                        // leader: what it serves; base and latency for both
  uint64_t sequence_ = 0;                // leader: the number of the last item planned
  std::optional<WallItem> preload_item_;  // the plan's item the preload is for
  bool join_ = false;                    // that item is joined where it is now, not at its start
  bool refused_ = false;                 // the player would not place that item
  std::optional<WallItem> on_screen_;    // the plan's item on screen, placed by the wall's clock
  uint64_t done_sequence_ = 0;           // follower: the last plan item shown
  GstClockTime leader_base_ = GST_CLOCK_TIME_NONE;  // follower: the leader's base time, new with each leader
  std::string missing_;                  // follower: a planned name not in the playlist, said once
};
