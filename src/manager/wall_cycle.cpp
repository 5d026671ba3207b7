// A screen of a wall: the leader plans each next file at a clock time, the
// same on every board, and every board's player places it there
// (switch_at); a follower shows what the leader plans, joins the file on
// screen where it is when it comes late, and plays on by itself without it.
#include <string>
#include <utility>

#include "manager/manager.h"
#include "protocol/protocol.h"

namespace {

// The first file after a start, or one asked for through the API, shows this
// far ahead: long enough for every follower to hear of it and preload it.
constexpr GstClockTime START_LEAD = 3 * GST_SECOND;
constexpr GstClockTime CUT_LEAD = 1500 * GST_MSECOND;
// A late follower joins the file on screen this far ahead of now (its
// preload is complete by then), unless the next file comes within
// JOIN_IF_NEXT_AFTER, or the file has less than JOIN_MIN_LEFT left.
constexpr GstClockTime JOIN_LEAD = 500 * GST_MSECOND;
constexpr GstClockTime JOIN_IF_NEXT_AFTER = 10 * GST_SECOND;
constexpr GstClockTime JOIN_MIN_LEFT = 2 * GST_SECOND;

std::string base_name(const std::string& path) { return path.substr(path.rfind('/') + 1); }

}  // namespace

void Manager::start_wall() {
  if (config_.wall.role == WallOptions::Role::None) return;
  std::string error;
  wall_ = Wall::start(config_.wall, error);
  if (!wall_) {
    out_.manager("the wall cannot be joined (" + error + "); this screen plays on its own");
    return;
  }
  wall_plan_.latency = wall_->latency();
  if (wall_->leading()) {
    wall_plan_.base_time = wall_->now();
    out_.manager("leading the wall on " + config_.wall.address + ": every change of file is placed on its clock");
  } else {
    out_.manager("following the wall's leader at " + config_.wall.address);
  }
}

std::vector<std::string> Manager::wall_player_args() const {
  if (!wall_) return {};
  std::vector<std::string> args = {"--clock", wall_->player_clock_address(), "--latency",
                                   std::to_string(config_.wall.latency_ms)};
  GstClockTime base = wall_->leading() ? wall_plan_.base_time : wall_->plan().base_time;
  if (GST_CLOCK_TIME_IS_VALID(base)) args.insert(args.end(), {"--base-time", std::to_string(base)});
  return args;
}

void Manager::publish_wall_plan() {
  if (!wall_ || !wall_->leading()) return;
  wall_plan_.current = wall_on_screen_;
  wall_plan_.next = wall_preload_item_;
  wall_->publish(wall_plan_);
}

void Manager::wall_player_started() {
  process_.set_wall_args(wall_player_args());
  if (!wall_) return;
  std::optional<WallItem> shown = std::exchange(wall_on_screen_, std::nullopt);
  wall_preload_item_.reset();
  wall_join_ = false;
  wall_done_sequence_ = 0;
  if (!wall_->leading() || !shown || !shown->duration) return;
  // The leader's player started again: it joins its own plan, and the
  // followers see nothing of it.
  const auto& files = playlist_.files();
  for (size_t i = 0; i < files.size(); ++i)
    if (base_name(files[i]) == shown->name && shown->start + shown->duration > wall_->now() + JOIN_MIN_LEFT) {
      wall_preload_item_ = shown;
      wall_join_ = true;
      goto_index_ = static_cast<int>(i);
      return;
    }
}

void Manager::plan_item_for(const Slot& slot) {
  if (!wall_ || !wall_->leading()) return;
  if (wall_preload_item_ && wall_preload_item_->name == base_name(slot.path)) return;  // joining its own plan
  GstClockTime now = wall_->now(), start = now + START_LEAD;
  // The next file starts where the one on screen ends, on every screen.
  if (!cut_requested_ && wall_on_screen_ && wall_on_screen_->duration) {
    GstClockTime end = wall_on_screen_->start + wall_on_screen_->duration;
    if (end > now + JOIN_LEAD) start = end;
  } else if (cut_requested_) {
    start = now + CUT_LEAD;
  }
  wall_preload_item_ = WallItem{++wall_sequence_, base_name(slot.path), start, 0};
  wall_join_ = false;
  publish_wall_plan();
}

void Manager::on_preload_length(const std::string& nanoseconds) {
  if (!wall_preload_item_ || !run_.preload.requested_or_complete()) return;
  wall_preload_item_->duration = std::strtoull(nanoseconds.c_str(), nullptr, 10);
  publish_wall_plan();
}

bool Manager::place_wall_switch(bool moved) {
  if (!wall_ || !wall_preload_item_ || base_name(run_.preload.slot().path) != wall_preload_item_->name) return false;
  WallItem& item = *wall_preload_item_;
  GstClockTime now = wall_->now();
  // Asked for through the API on the leader: the planned time comes sooner.
  bool sooner = wall_->leading() && cut_requested_ && item.start > now + CUT_LEAD;
  if (sooner) {
    item.start = now + CUT_LEAD;
    publish_wall_plan();
  }
  if (!run_.arm.none() && !sooner && !moved) return true;
  GstClockTime at = item.start, position = 0;
  if (wall_join_) {
    at = now + JOIN_LEAD;
    position = at > item.start ? at - item.start : 0;
  }
  send(std::string(protocol::CMD_SWITCH_AT) + std::to_string(at) + " " + std::to_string(position));
  if (run_.arm.none()) run_.arm.asked();
  return true;
}

void Manager::wall_item_shown() {
  if (!wall_) return;
  bool placed = wall_preload_item_ && base_name(run_.on_screen.path) == wall_preload_item_->name;
  wall_on_screen_ = placed ? wall_preload_item_ : std::nullopt;
  if (placed) wall_done_sequence_ = wall_preload_item_->sequence;
  wall_preload_item_.reset();
  wall_join_ = false;
  publish_wall_plan();
}

void Manager::follow_wall_plan() {
  if (!wall_ || wall_->leading() || !run_.phase.running()) return;
  if (!wall_->leader_connected()) return;  // plays on alone; an item already armed still shows at its time
  WallPlan plan = wall_->plan();
  // A leader started again numbers its items afresh.
  if (plan.base_time != wall_leader_base_) {
    wall_leader_base_ = plan.base_time;
    wall_done_sequence_ = 0;
  }
  GstClockTime now = wall_->now();
  std::optional<WallItem> want;
  bool join = false;
  // Late, or back after the leader was gone: the wall's file on screen,
  // joined where it is, unless the next one comes soon or it is nearly over.
  const std::optional<WallItem>& current = plan.current;
  if (current && current->sequence > wall_done_sequence_ && current->duration &&
      current->start + current->duration > now + JOIN_MIN_LEFT &&
      !(plan.next && plan.next->start < now + JOIN_IF_NEXT_AFTER)) {
    want = current;
    join = current->start < now + JOIN_LEAD;
  } else if (plan.next && plan.next->sequence > wall_done_sequence_) {
    want = plan.next;
  }
  if (!want) return;
  if (wall_on_screen_ && plan.current && wall_on_screen_->sequence == plan.current->sequence)
    wall_on_screen_->duration = plan.current->duration;
  if (wall_preload_item_ && wall_preload_item_->sequence == want->sequence) {
    wall_preload_item_->duration = want->duration;
    // The leader moved its time (a file asked for through its API): armed again.
    if (wall_preload_item_->start != want->start && !join) {
      wall_preload_item_->start = want->start;
      if (!run_.arm.none() && run_.preload.is(PreloadState::State::Complete)) place_wall_switch(true);
    }
    return;
  }
  // The item armed here is the one the wall shows now: its switch is due or
  // under way, and the next is taken once it has shown (or it would not be
  // known for the one on screen).
  if (!run_.arm.none() && wall_preload_item_ && current && wall_preload_item_->sequence == current->sequence &&
      wall_preload_item_->start == current->start && (!current->duration || current->start + current->duration > now))
    return;
  const auto& files = playlist_.files();
  int index = -1;
  for (size_t i = 0; i < files.size() && index < 0; ++i)
    if (base_name(files[i]) == want->name) index = static_cast<int>(i);
  if (index < 0) {
    if (wall_missing_ != want->name) out_.manager("the wall plans " + want->name + ", which is not in this playlist");
    wall_missing_ = want->name;
    return;
  }
  out_.manager(std::string(join ? "joining" : "following") + " the wall: item " + std::to_string(want->sequence) +
               " (" + want->name + ")");
  wall_preload_item_ = want;
  wall_join_ = join;
  goto_index_ = index;
  advance();
}

nlohmann::json Manager::wall_json() const {
  if (!wall_) return nullptr;
  WallStatus s = wall_->status();
  WallPlan plan = wall_->leading() ? wall_plan_ : wall_->plan();
  bool in_step = wall_->leading() ||
                 (s.leader_connected && s.clock_synced && wall_on_screen_ && plan.current &&
                  wall_on_screen_->sequence == plan.current->sequence);
  auto item = [](const std::optional<WallItem>& i) -> nlohmann::json {
    if (!i) return nullptr;
    return {{"sequence", i->sequence}, {"name", i->name}, {"start_clock_ns", i->start}, {"length_ns", i->duration}};
  };
  return {{"role", s.role},
          {"in_step", in_step},
          {"leader_connected", s.leader_connected},
          {"followers", s.followers},
          {"clock", {{"synced", s.clock_synced}, {"offset_ms", s.clock_offset_ms}, {"rtt_ms", s.clock_rtt_ms}}},
          {"on_screen", item(wall_on_screen_)},
          {"planned_next", item(plan.next)}};
}
