// The cycle on a wall: the switch to a file the wall plans is placed on its
// clock, and a follower preloads what the leader's plan asks for. Whatever
// the player will not place is switched at the end instead, so that the
// screen never holds a picture waiting for a switch that is not coming.
#include <string>

#include "manager/manager.h"
#include "protocol/protocol.h"

bool Manager::place_wall_switch(bool moved) {
  WallCycle::Placement p =
      wall_.place(run_.preload.slot().path, cut_requested_, !run_.arm.none() || run_.placement_sent, moved);
  if (p.what == WallCycle::Place::NotTheWalls) return false;
  if (p.what == WallCycle::Place::Send) {
    send(std::string(protocol::CMD_SWITCH_AT) + std::to_string(p.at) + " " + std::to_string(p.position));
    run_.placement_sent = true;
    if (run_.arm.none()) run_.arm.asked();
  }
  return true;
}

void Manager::follow_wall_plan() {
  if (!run_.phase.running()) return;
  WallCycle::Follow f = wall_.follow(playlist_.files(), !run_.arm.none(), run_.preload.is(Preload::Complete));
  if (f.place_again) place_wall_switch(true);
  if (!f.go_to) return;
  goto_index_ = static_cast<int>(*f.go_to);
  advance();
}

// Whatever the refusal (another picture shape, a switch under way, a time
// out of range), nothing is armed in the player any more, a placement
// accepted before included.
void Manager::on_placement_refused(const std::string& why) {
  run_.placement_sent = false;
  run_.arm.cleared();
  wall_.placement_refused();
  std::string reason = why.compare(0, 3, " - ") == 0 ? why.substr(3) : why;
  if (run_.preload.is(Preload::Complete))
    out_.manager("the player would not place the switch to " + playlist_.describe(run_.preload.slot()) +
                 " on the wall's clock (" + reason + "); it switches " +
                 (run_.end.pending() ? "now" : "at the end of the file on screen") + " instead, out of step");
  advance();
}
