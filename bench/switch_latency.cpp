// Switch latency benchmark: how long a viewer keeps seeing the old file's last
// frame before the new file's first frame, for switches sent in the middle of
// a file, for switches sent as soon as "end of video!" is reported, and for
// switches armed in advance with switch_at_end. It also times preloads, from
// "preload <path>" written to "Preload complete" read.
//
// The player runs in this process, on its own main loop and its own command
// channel: standard input is a pipe this program writes commands into, and
// standard output is a pipe this program reads events from, as a manager
// would. Frames are observed on the video sink. See docs/PERFORMANCE.md.
//
// Its parts, each in a file of its own: latency_types.h (what they share),
// latency_trace (the timeline and the probes that fill it), latency_driver
// (the manager's side: the command channel and the cases' switches),
// latency_analysis (what the timeline says about each switch) and
// latency_report (the figures). This file reads the options and runs them.
#include <fcntl.h>
#include <gst/gst.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "bench_support.h"
#include "core/player_state.h"
#include "latency_analysis.h"
#include "latency_driver.h"
#include "latency_report.h"
#include "latency_trace.h"
#include "latency_types.h"
#include "messaging/ack_delivery.h"
#include "platform/decoder_choice.h"
#include "platform/screen.h"
#include "player/lifecycle.h"
#include "player/main_loop.h"

using namespace latency;

namespace {

void usage() {
  fprintf(stderr,
          "usage: switch_latency [--clips DIR] [--mid-clips DIR] [--mid-clip-ms MS] [--mid N] [--end N]\n"
          "                      [--armed N] [--preload N] [--mid-at MS] [--jitter MS]"
          " [--seed N] [--reaction-ms MS] [--no-acks] [--no-sound] [--window]\n"
          "                      [--log FILE] [--csv FILE] [--trace FILE]\n");
}

bool parse_options(int argc, char** argv, Options& o) {
  bench::OptionParser p;
  p.text("--clips", o.clips_dir);
  p.text("--mid-clips", o.mid_clips_dir);
  p.number("--mid-clip-ms", o.mid_clip_ms);
  p.number("--mid", o.mid_switches);
  p.number("--end", o.end_switches);
  p.number("--armed", o.armed_switches);
  p.number("--preload", o.preload_cycles);
  p.number("--mid-at", o.mid_at_ms);
  p.number("--jitter", o.jitter_ms);
  p.seed("--seed", o.seed);
  p.text("--log", o.log_path);
  p.text("--csv", o.csv_path);
  p.text("--trace", o.trace_path);
  p.number("--reaction-ms", o.reaction_ms);
  p.flag("--no-sound", o.no_sound);
  p.flag("--window", o.window);
  p.flag("--no-acks", o.acks, false);
  if (!p.parse(argc, argv)) {
    if (!p.missing_value().empty()) fprintf(stderr, "%s needs a value\n", p.missing_value().c_str());
    usage();
    return false;
  }
  if (o.mid_switches < 0 || o.end_switches < 0 || o.armed_switches < 0 || o.preload_cycles < 0 || o.jitter_ms < 0 ||
      o.mid_at_ms < 0 || o.reaction_ms < 0 || o.mid_clip_ms <= 0) {
    usage();
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse_options(argc, argv, o)) return 2;
  for (const std::string& dir : {o.clips_dir, o.mid_clips_dir})
    for (const ClipColour& c : CLIPS) {
      std::string p = dir + "/" + c.file;
      if (access(p.c_str(), R_OK) != 0) {
        fprintf(stderr, "missing clip %s (building the target bench_clips makes them)\n", p.c_str());
        return 2;
      }
    }
  if (!o.log_path.empty()) log_file = fopen(o.log_path.c_str(), "w");
  run_start = g_get_monotonic_time();

  // The player talks on fds 0 and 1; the report goes to the terminal's stdout.
  int report_fd = dup(STDOUT_FILENO);
  int out_pipe[2], in_pipe[2];
  if (report_fd < 0 || pipe(out_pipe) != 0 || pipe(in_pipe) != 0) {
    perror("pipe");
    return 2;
  }
  fflush(stdout);
  dup2(out_pipe[1], STDOUT_FILENO);
  close(out_pipe[1]);
  dup2(in_pipe[0], STDIN_FILENO);
  close(in_pipe[0]);
  command_fd = in_pipe[1];
  fcntl(out_pipe[0], F_SETFD, FD_CLOEXEC);
  fcntl(command_fd, F_SETFD, FD_CLOEXEC);
  fcntl(report_fd, F_SETFD, FD_CLOEXEC);
  std::thread reader(read_player_output, out_pipe[0]);

  route_library_messages_to_stdout();
  gst_init(&argc, &argv);
  choose_video_decoder(nullptr);

  PlayerState& st = player_state();
  std::string start_clip = o.mid_clips_dir + "/" + CLIPS[0].file;
  StartupOptions so;
  so.location = start_clip.c_str();
  so.no_sound = o.no_sound ? TRUE : FALSE;
  so.screen.window = o.window;
  screen_start(so.screen);  // the whole screen, as on a sign, unless --window
  FILE* report = fdopen(report_fd, "w");
  if (!build_and_discover(st, so) || !install_probes(st)) {
    fprintf(report, "could not build the player's pipeline or find its video sink\n");
    return 1;
  }
  preroll_pipeline(st, 30 * GST_SECOND);
  answer_acks = o.acks;
  reaction_ms = o.reaction_ms;
  if (o.acks) start_ack_system();

  Driver driver(o);
  std::thread driving([&driver] { driver.run(); });
  // Hang guard: a loop thread stuck inside the player cannot be stopped, so
  // report what was measured and leave.
  std::thread guard([&] {
    while (!stop_loop) g_usleep(100 * MS);
    for (int i = 0; i < 200 && !loop_exited; ++i) g_usleep(100 * MS);
    if (loop_exited) return;
    fprintf(report, "\nthe player's loop did not return within 20 s: it hangs\n");
    analyse(driver.records, g_get_monotonic_time());
    print_report(report, o, driver.records);
    fflush(report);
    if (log_file) fflush(log_file);
    _exit(3);
  });

  while (!stop_loop && !st.quit) main_loop_iteration(st);
  stop_loop = true;
  loop_exited = true;
  driving.join();
  if (st.quit) driver.failure = "the player left its loop (fatal error); " + driver.failure;
  guard.join();
  gint64 end_of_run = g_get_monotonic_time();
  release_pipeline(st);

  // Closing our end of the output pipe lets the reader finish.
  fflush(stdout);
  int devnull = open("/dev/null", O_WRONLY);
  dup2(devnull, STDOUT_FILENO);
  close(devnull);
  reader.join();
  if (log_file) fclose(log_file);

  analyse(driver.records, end_of_run);
  print_report(report, o, driver.records);
  if (!o.csv_path.empty()) write_csv(o.csv_path, driver.records);
  if (!o.trace_path.empty()) write_trace(o.trace_path);
  if (!driver.failure.empty()) fprintf(report, "\nRUN STOPPED EARLY: %s\n", driver.failure.c_str());
  if (!o.log_path.empty()) fprintf(report, "player output: %s\n", o.log_path.c_str());
  fclose(report);
  return driver.failure.empty() ? 0 : 1;
}
