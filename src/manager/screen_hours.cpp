// The screen's sleep: outside its hours (--screen-on) or on an operator's
// request, the player is paused and told to put the screen to sleep; woken,
// it shows the next file from its start, then the screen is lit again.
#include <algorithm>
#include <chrono>
#include <ctime>

#include "manager/manager.h"
#include "protocol/protocol.h"

namespace {

// The next file's preload and switch, when waking: past this the screen is
// lit on whatever is there.
constexpr double WAKE_WAIT_S = 10;

}  // namespace

bool Manager::screen_hours_say_on() const {
  if (!config_.screen_on) return true;
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  return config_.screen_on->due(local);
}

Manager::Clock::time_point Manager::next_wake(Clock::duration period) const {
  auto now = Clock::now();
  if (!config_.screen_on) return now + period;
  using namespace std::chrono;
  auto into_minute = system_clock::now().time_since_epoch() % minutes(1);
  // A hair past the minute, so that the wall clock reads the new one.
  return std::min(now + period, now + (minutes(1) - into_minute) + milliseconds(1));
}

void Manager::follow_screen_hours() {
  bool hours_on = screen_hours_say_on();
  if (hours_on != screen_.hours_on) {
    screen_.hours_on = hours_on;
    if (screen_.held) {
      out_.manager(std::string("the screen's hours ") + (hours_on ? "begin" : "end") +
                   ": the choice made on request no longer holds");
      screen_.held.reset();
    }
  }
  bool wanted = screen_.held ? *screen_.held : hours_on;
  if (wanted != screen_.on) {
    std::string hours = config_.screen_on ? config_.screen_on->text : "always";
    set_screen(wanted, screen_.held ? "on request" : (wanted ? "its hours begin (" : "outside its hours (") + hours + ")");
  }
  if (screen_.waking_since && seconds_since(*screen_.waking_since) > WAKE_WAIT_S) {
    out_.manager("the next file did not show within " + seconds_text(WAKE_WAIT_S) + "; the screen is lit on the one there");
    finish_wake();
  }
}

void Manager::set_screen(bool on, const std::string& why) {
  screen_.on = on;
  api_stale_ = true;
  if (!on) screen_.told = true;
  out_.manager(std::string(on ? "the screen wakes: " : "the screen sleeps: ") + why);
  if (!process_.running()) return;  // the next player is told as it starts
  if (!on) {
    screen_.waking_since.reset();
    // A player not yet playing is paused as it starts playing (on_playing).
    if (run_.phase.running() && !paused_) send(protocol::CMD_PAUSE);
    send(std::string(protocol::CMD_SCREEN) + "off");
    return;
  }
  if (!run_.phase.running()) {
    // Its start-up file is the first picture.
    send(std::string(protocol::CMD_SCREEN) + "on");
    return;
  }
  // The next file's first picture is what the screen shows as it is lit.
  screen_.waking_since = SteadyClock::now();
  goto_index_.reset();
  cut_requested_ = true;
  advance();
}

void Manager::finish_wake() {
  screen_.waking_since.reset();
  if (!process_.running()) return;
  send(std::string(protocol::CMD_SCREEN) + "on");
  if (!paused_) send(protocol::CMD_PLAY);
  run_.last_flowing_at = SteadyClock::now();
}
