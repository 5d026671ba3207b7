// signage_manager: plays a playlist in a loop on the video player.
#include <signal.h>

#include <atomic>
#include <cstdio>

#include "manager/manager.h"
#include "manager/options.h"

namespace {

std::atomic<bool> stop_requested{false};

void on_stop_signal(int) { stop_requested = true; }

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  ParsedOptions parsed = parse_manager_options(args);
  if (parsed.help) {
    fputs(manager_usage(argv[0]).c_str(), stdout);
    return 0;
  }
  if (!parsed.error.empty()) {
    fprintf(stderr, "%s: %s\nTry '%s --help'.\n", argv[0], parsed.error.c_str(), argv[0]);
    return 2;
  }

  struct sigaction sa = {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  // A closed standard output or player pipe must show up as a failed write, not end the manager.
  signal(SIGPIPE, SIG_IGN);
  // So must a file size limit reached by the proof of play: its records wait.
  signal(SIGXFSZ, SIG_IGN);

  Manager manager(parsed.config);
  return manager.run(stop_requested);
}
