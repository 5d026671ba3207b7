// The reference manager with the real player under each display server the
// tests run: Xvfb, weston's desktop shell (headless), weston's kiosk shell
// (X11 back end) and sway (headless, as root only). A playlist of short
// files, with and without sound, 16:9 and 4:3, plays until the player has
// switched N times. One player must do it all: a new pid, a [DISPLAY] ERROR
// line, a refused switch or a skipped file fails the run. See
// docs/PERFORMANCE.md.
//   compositor_switches [--switches N] [--only x11|weston-desktop|weston-kiosk|sway]
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "protocol/protocol.h"
#include "support/test_support.h"

namespace {

struct Counts {
  std::atomic<int> switches{0}, rebuilds{0}, shown{0}, display_errors{0}, skipped{0}, refused{0};
  std::atomic<int> players{0};
  std::mutex mutex;
  std::vector<std::string> player_ends;  // the manager's lines on why and how a player ended
};

bool starts_with(const std::string& s, const std::string& head) { return s.rfind(head, 0) == 0; }

// A Ctrl-C ends the run in hand and skips the others, so that the display
// servers and the manager are stopped rather than left behind.
volatile sig_atomic_t interrupted = 0;
void on_signal(int) { interrupted = 1; }

// Runs the manager until the player has switched `switches` times or a
// check fails; returns whether the run held.
bool run(const char* name, const std::string& key, const std::vector<std::pair<std::string, std::string>>& env,
         const std::string& playlist, int switches) {
  Counts c;
  const std::string player = "player: ";
  PlayerClient manager;
  PlayerClient::Options opts;
  opts.binary = MANAGER_BINARY;
  opts.args = {"--no-http", playlist};
  opts.env = env;
  opts.auto_ack = false;
  opts.max_lines = 1000;
  opts.log_path = "compositor_switches-" + key + ".log";  // every line, for a closer look
  std::remove(opts.log_path.c_str());
  manager.set_line_handler([&](const std::string& l) {
    if (starts_with(l, "[manager] stopping the player ") || starts_with(l, "[manager] player (pid ")) {
      std::lock_guard<std::mutex> lock(c.mutex);
      c.player_ends.push_back(l);
    }
    if (starts_with(l, "[manager] started the player, pid ")) ++c.players;
    else if (starts_with(l, "[manager] now playing ")) ++c.shown;
    else if (starts_with(l, "[manager] skipping ")) ++c.skipped;
    else if (l == player + protocol::SWITCH_DONE) ++c.switches;
    else if (l == player + protocol::RESET) ++c.rebuilds;
    else if (starts_with(l, player + protocol::SWITCH_REJECTED) || starts_with(l, player + protocol::SWITCH_ERROR))
      ++c.refused;
    if (l.find(protocol::SCREEN_ERROR) != std::string::npos) ++c.display_errors;
  });
  auto began = std::chrono::steady_clock::now();
  if (!manager.start(opts)) return false;
  // About three seconds a switch here: five is far beyond.
  auto deadline = began + std::chrono::seconds(30 + 5 * switches);
  while (!interrupted && c.switches < switches && manager.running() && c.display_errors == 0 && c.skipped == 0 &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  double seconds = bench::ms_between(began, std::chrono::steady_clock::now()) / 1000;
  bool was_running = manager.running();
  manager.kill_now(SIGTERM);
  auto status = manager.wait_exit(30);
  bool held = was_running && c.switches >= switches && c.players == 1 && c.display_errors == 0 &&
              c.skipped == 0 && c.refused == 0 && status == 0;
  printf("%-36s %8d %8d %6d %7d %7d %7d %7d %7.0f  %s\n", name, c.switches.load(), c.rebuilds.load(),
         c.shown.load(), c.players.load(), c.display_errors.load(), c.skipped.load(), c.refused.load(),
         seconds, held ? "held" : "FAILED");
  if (!held) {
    printf("  manager %s, status %d; every line in %s\n", was_running ? "ran" : "had ended", status.value_or(-1),
           opts.log_path.c_str());
    std::lock_guard<std::mutex> lock(c.mutex);
    for (const auto& l : c.player_ends) printf("  %s\n", l.c_str());
  }
  fflush(stdout);
  return held;
}

}  // namespace

int main(int argc, char** argv) {
  int switches = 100;
  std::string only;
  bench::OptionParser p;
  p.number("--switches", switches);
  p.text("--only", only);
  if (!p.parse(argc, argv) || switches < 1) {
    fprintf(stderr, "usage: compositor_switches [--switches N] [--only x11|weston-desktop|weston-kiosk|sway]\n");
    return 2;
  }
  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);
  // 16:9 files of one second (stereo, none, mono, 5.1), then 4:3 files of
  // four (stereo, none): a rebuild at each change of shape. The player's
  // heartbeat counts its first check after a rebuild as five seconds without
  // progress, and reports a stall after thirty such seconds: a run of one
  // shape must last beyond its next check, which sees the position move.
  std::string playlist = "/tmp/compositor-switches-" + std::to_string(getpid()) + ".txt";
  {
    FILE* f = fopen(playlist.c_str(), "w");
    if (!f) return 2;
    for (const char* name : {"short_green.mp4", "short_silent.mp4", "short_mono.mp4", "short_surround.mp4",
                             "short_blue.mp4", "square.mp4", "silent_square.mp4", "square2.mp4"})
      fprintf(f, "%s\n", clip(name).c_str());
    fclose(f);
  }
  printf("%-36s %8s %8s %6s %7s %7s %7s %7s %7s\n", "display server", "switches", "rebuilds", "files", "players",
         "display", "skipped", "refused", "seconds");
  printf("%-36s %8s %8s %6s %7s %7s %7s %7s %7s\n", "", "", "(reset)", "shown", "", "errors", "", "", "");
  bool all = true;
  if (only.empty() || only == "x11") {
    VirtualDisplay x;
    all &= run("X11 (Xvfb, no window manager)", "x11", {{"DISPLAY", x.name()}, {"WAYLAND_DISPLAY", ""}}, playlist,
               switches);
  }
  const std::pair<const char*, WaylandServer::Kind> compositors[] = {{"weston-desktop", WaylandServer::WESTON_DESKTOP},
                                                                     {"weston-kiosk", WaylandServer::WESTON_KIOSK},
                                                                     {"sway", WaylandServer::SWAY}};
  for (auto [key, kind] : compositors) {
    if (interrupted || (!only.empty() && only != key)) continue;
    WaylandServer server(kind);
    if (!server.ok()) {
      printf("%-36s not run: %s\n", server.name(), server.why_not().c_str());
      all = false;
      continue;
    }
    all &= run(server.name(), key, server.client_env(), playlist, switches);
  }
  std::remove(playlist.c_str());
  return all ? 0 : 1;
}
