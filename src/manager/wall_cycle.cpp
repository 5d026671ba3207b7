#include "manager/wall_cycle.h"

#include <string>
#include <utility>

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

std::optional<size_t> find_name(const std::vector<std::string>& files, const std::string& name) {
  for (size_t i = 0; i < files.size(); ++i)
    if (base_name(files[i]) == name) return i;
  return std::nullopt;
}

}  // namespace

void WallCycle::start() {
  if (options_.role == WallOptions::Role::None) return;
  std::string error;
  wall_ = Wall::start(options_, error);
  if (!wall_) {
    out_.manager("the wall cannot be joined (" + error + "); this screen plays on its own");
    return;
  }
  plan_.latency = wall_->latency();
  if (wall_->leading()) {
    plan_.base_time = wall_->now();
    out_.manager("leading the wall on " + options_.address + ": every change of file is placed on its clock");
  } else {
    out_.manager("following the wall's leader at " + options_.address);
  }
}

std::vector<std::string> WallCycle::player_args() const {
  if (!wall_) return {};
  std::vector<std::string> args = {"--clock", wall_->player_clock_address(), "--latency",
                                   std::to_string(options_.latency_ms)};
  GstClockTime base = wall_->leading() ? plan_.base_time : wall_->plan().base_time;
  if (GST_CLOCK_TIME_IS_VALID(base)) args.insert(args.end(), {"--base-time", std::to_string(base)});
  return args;
}

void WallCycle::publish() {
  if (!wall_ || !wall_->leading()) return;
  plan_.current = on_screen_;
  plan_.next = preload_item_;
  wall_->publish(plan_);
}

std::optional<size_t> WallCycle::player_started(const std::vector<std::string>& files) {
  if (!wall_) return std::nullopt;
  std::optional<WallItem> shown = std::exchange(on_screen_, std::nullopt);
  preload_item_.reset();
  join_ = refused_ = false;
  done_sequence_ = 0;
  if (!wall_->leading() || !shown || !shown->duration) return std::nullopt;
  // The leader's player started again: it joins its own plan, and the
  // followers see nothing of it.
  std::optional<size_t> index = find_name(files, shown->name);
  if (!index || shown->start + shown->duration <= wall_->now() + JOIN_MIN_LEFT) return std::nullopt;
  preload_item_ = shown;
  join_ = true;
  return index;
}

void WallCycle::preload_asked(const std::string& path, bool cut) {
  if (!wall_ || !wall_->leading()) return;
  if (preload_item_ && preload_item_->name == base_name(path)) return;  // joining its own plan
  GstClockTime now = wall_->now(), start = now + START_LEAD;
  // The next file starts where the one on screen ends, on every screen.
  if (!cut && on_screen_ && on_screen_->duration) {
    GstClockTime end = on_screen_->start + on_screen_->duration;
    if (end > now + JOIN_LEAD) start = end;
  } else if (cut) {
    start = now + CUT_LEAD;
  }
  preload_item_ = WallItem{++sequence_, base_name(path), start, 0};
  join_ = refused_ = false;
  publish();
}

void WallCycle::preload_length(GstClockTime length) {
  if (!preload_item_) return;
  preload_item_->duration = length;
  publish();
}

WallCycle::Placement WallCycle::place(const std::string& path, bool cut, bool armed, bool moved) {
  if (!wall_ || !preload_item_ || refused_ || base_name(path) != preload_item_->name) return {};
  WallItem& item = *preload_item_;
  GstClockTime now = wall_->now();
  // Asked for through the API on the leader: the planned time comes sooner.
  bool sooner = wall_->leading() && cut && item.start > now + CUT_LEAD;
  if (sooner) {
    item.start = now + CUT_LEAD;
    publish();
  }
  if (armed && !sooner && !moved) return {Place::Armed};
  Placement p{Place::Send, item.start, 0};
  if (join_) {
    p.at = now + JOIN_LEAD;
    p.position = p.at > item.start ? p.at - item.start : 0;
  }
  return p;
}

void WallCycle::placement_refused() {
  if (preload_item_) refused_ = true;
}

void WallCycle::shown(const std::string& path) {
  if (!wall_) return;
  bool planned = preload_item_ && base_name(path) == preload_item_->name;
  // An item whose placement was refused is shown out of step: it is done,
  // but the screen is not in step with it.
  on_screen_ = planned && !refused_ ? preload_item_ : std::nullopt;
  if (planned) done_sequence_ = preload_item_->sequence;
  preload_item_.reset();
  join_ = refused_ = false;
  publish();
}

void WallCycle::say_notes() {
  if (!wall_) return;
  for (const std::string& note : wall_->take_notes()) out_.manager(note);
}

WallCycle::Follow WallCycle::follow(const std::vector<std::string>& files, bool armed, bool preload_complete) {
  Follow f;
  // Without a leader, or with a plan it cannot follow, the board plays on
  // alone; an item already armed still shows at its time.
  if (!wall_ || wall_->leading() || !wall_->plan_usable()) return f;
  WallPlan plan = wall_->plan();
  // A leader started again numbers its items afresh.
  if (plan.base_time != leader_base_) {
    leader_base_ = plan.base_time;
    done_sequence_ = 0;
  }
  GstClockTime now = wall_->now();
  std::optional<WallItem> want;
  bool join = false;
  // Late, or back after the leader was gone: the wall's file on screen,
  // joined where it is, unless the next one comes soon or it is nearly over.
  const std::optional<WallItem>& current = plan.current;
  if (current && current->sequence > done_sequence_ && current->duration &&
      current->start + current->duration > now + JOIN_MIN_LEFT &&
      !(plan.next && plan.next->start < now + JOIN_IF_NEXT_AFTER)) {
    want = current;
    join = current->start < now + JOIN_LEAD;
  } else if (plan.next && plan.next->sequence > done_sequence_) {
    want = plan.next;
  }
  if (!want) return f;
  if (on_screen_ && current && on_screen_->sequence == current->sequence) on_screen_->duration = current->duration;
  if (preload_item_ && preload_item_->sequence == want->sequence) {
    preload_item_->duration = want->duration;
    // The leader moved its time (a file asked for through its API): armed again.
    if (preload_item_->start != want->start && !join) {
      preload_item_->start = want->start;
      f.place_again = armed && preload_complete;
    }
    return f;
  }
  // The item armed here is the one the wall shows now: its switch is due or
  // under way, and the next is taken once it has shown (or it would not be
  // known for the one on screen).
  if (armed && preload_item_ && current && preload_item_->sequence == current->sequence &&
      preload_item_->start == current->start && (!current->duration || current->start + current->duration > now))
    return f;
  std::optional<size_t> index = find_name(files, want->name);
  if (!index) {
    if (missing_ != want->name) out_.manager("the wall plans " + want->name + ", which is not in this playlist");
    missing_ = want->name;
    return f;
  }
  out_.manager(std::string(join ? "joining" : "following") + " the wall: item " + std::to_string(want->sequence) +
               " (" + want->name + ")");
  preload_item_ = want;
  join_ = join;
  refused_ = false;
  f.go_to = index;
  return f;
}

nlohmann::json WallCycle::json() const {
  if (!wall_) return nullptr;
  WallStatus s = wall_->status();
  WallPlan plan = wall_->leading() ? plan_ : wall_->plan();
  bool in_step = wall_->leading() || (wall_->plan_usable() && s.clock_synced && on_screen_ && plan.current &&
                                      on_screen_->sequence == plan.current->sequence);
  auto item = [](const std::optional<WallItem>& i) -> nlohmann::json {
    if (!i) return nullptr;
    return {{"sequence", i->sequence}, {"name", i->name}, {"start_clock_ns", i->start}, {"length_ns", i->duration}};
  };
  return {{"role", s.role},
          {"in_step", in_step},
          {"leader_connected", s.leader_connected},
          {"followers", s.followers},
          {"clock", {{"synced", s.clock_synced}, {"offset_ms", s.clock_offset_ms}, {"rtt_ms", s.clock_rtt_ms}}},
          {"on_screen", item(on_screen_)},
          {"planned_next", item(plan.next)}};
}
