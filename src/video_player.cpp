// Headless video player for unattended displays. A manager process drives it
// through one-line commands on standard input and reads its events on
// standard output. This file holds start-up and shutdown.
#include <gst/gst.h>
#include <unistd.h>

#include <ctime>

#include "core/log.h"
#include "core/player_state.h"
#include "core/sound_output.h"
#include "messaging/ack_delivery.h"
#include "platform/decoder_choice.h"
#include "platform/screen.h"
#include "player/commands.h"
#include "player/lifecycle.h"
#include "player/main_loop.h"
#include "player/snapshot.h"
#include "protocol/protocol.h"
#include "watchdog/heartbeat.h"

namespace {
constexpr GstClockTime PREROLL_TIMEOUT = 30 * GST_SECOND;
constexpr unsigned SHUTDOWN_DEADLINE_SECONDS = 20;
// Longer than an event's three delivery attempts, so an unanswered one still fails.
constexpr double ANSWER_WAIT_SECONDS = 4;
}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (g_strcmp0(argv[i], "--maxlog") == 0) {
      maxlog = 1;
      break;
    }
  }
  prepare_output();
  route_library_messages_to_stdout();
  if (maxlog) configure_gstreamer_logging();
  gst_init(&argc, &argv);
  if (maxlog) keep_gl_debugging_off();
  if (maxlog) log_line("[LOGS] GStreamer logs enabled: level=3 (INFO), file=/logplayer.txt");

  log_line("[SAFETY] Protection system initialized (mutex ready)");
  if (access("/placeholder.mp4", F_OK) == 0)
    log_line("INFO: Placeholder file /placeholder.mp4 found");
  else
    log_line("WARNING: Placeholder file /placeholder.mp4 not found");

  StartupOptions opts = parse_arguments(argc, argv);
  if (maxlog) log_line("[LOG LEVEL] maxlog ENABLED - pipeline logs active");
  choose_video_decoder(opts.decoder);
  if (!opts.no_sound) choose_sound_device(opts.audio_device);
  screen_start(opts.screen);
  shared_clock_start(opts.clock);

  PlayerState& st = player_state();
  if (!build_and_discover(st, opts)) {
    log_line("ERROR: Could not build a pipeline for %s - exiting", opts.location ? opts.location : "(none)");
    return 1;
  }
  send_with_ack(protocol::READY, protocol::ACK_READY);
  preroll_pipeline(st, PREROLL_TIMEOUT);

  start_ack_system();
  last_iteration_time = monotonic_seconds();
  start_heartbeat();
  log_line("%s", protocol::STARTED);

  run_main_loop(st);

  int status = st.fatal_error ? 1 : 0;
  arm_shutdown_deadline(SHUTDOWN_DEADLINE_SECONDS, status);
  if (heartbeat_is_started()) {
    stop_heartbeat();
    log_line("[HEARTBEAT] Independent thread stopped");
  }
  take_answers_before_exit(ANSWER_WAIT_SECONDS);
  stop_ack_system();
  finish_snapshot();
  release_pipeline(st);
  screen_stop();
  shared_clock_stop();
  sound_stop();
  log_line("[SAFETY] Protection system cleaned up");
  if (st.fatal_error) {
    log_line("[EXIT] Exiting with code 1 (fatal error occurred)");
    return 1;
  }
  return 0;
}
