// /metrics: the figures in Prometheus' text format.
#include <sstream>

#include "manager/manager.h"
#include "manager/text.h"

std::string Manager::metrics_text() const {
  std::ostringstream m;
  auto metric = [&m](const char* name, const char* type, const char* help) {
    m << "# HELP " << name << " " << help << "\n# TYPE " << name << " " << type << "\n";
  };
  bool up = process_.running() && run_.phase.running();
  metric("signage_up", "gauge", "1 while a player runs and plays.");
  m << "signage_up " << (up ? 1 : 0) << "\n";
  metric("signage_files_shown_total", "counter", "Showings of files started.");
  m << "signage_files_shown_total " << figures_.files_shown << "\n";
  metric("signage_shown_total", "counter", "Showings started, by kind: video or picture.");
  for (const auto& [kind, n] : shown_by_kind_) m << "signage_shown_total{kind=\"" << kind << "\"} " << n << "\n";
  metric("signage_picture_clips_made_total", "counter", "Pictures made into clips.");
  m << "signage_picture_clips_made_total " << clips_.made() << "\n";
  metric("signage_picture_clip_failures_total", "counter", "Pictures whose clip could not be made.");
  m << "signage_picture_clip_failures_total " << clips_.failed() << "\n";
  metric("signage_picture_cache_bytes", "gauge", "Bytes of the pictures' clips kept, after the last one made.");
  m << "signage_picture_cache_bytes " << clips_.cache_bytes() << "\n";
  metric("signage_switches_total", "counter", "Switches to a preloaded file.");
  m << "signage_switches_total " << figures_.switches << "\n";
  metric("signage_preload_failures_total", "counter", "Files the player could not preload.");
  m << "signage_preload_failures_total " << figures_.preload_failures << "\n";
  metric("signage_player_restarts_total", "counter", "Ends of the player, by reason.");
  for (const auto& [kind, n] : figures_.restarts) m << "signage_player_restarts_total{reason=\"" << kind << "\"} " << n << "\n";
  metric("signage_seconds_shown_total", "counter", "Seconds on screen, by file, counted as each showing ends.");
  for (const auto& [path, s] : figures_.seconds_shown)
    m << "signage_seconds_shown_total{path=\"" << prometheus_label(path) << "\"} " << s << "\n";
  metric("signage_last_switch_timestamp_seconds", "gauge", "When the last switch was made (Unix time).");
  m << "signage_last_switch_timestamp_seconds " << std::fixed << figures_.last_switch_unix_s << "\n";
  metric("signage_screen_on", "gauge", "1 while the screen is on, 0 while it sleeps (by its hours or on request).");
  m << "signage_screen_on " << (screen_.on ? 1 : 0) << "\n";
  if (decoder_) {
    metric("signage_decoder_info", "gauge", "The player's H.264 decoder: its element and whether it is the board's hardware.");
    m << "signage_decoder_info{element=\"" << prometheus_label(decoder_->element) << "\",hardware=\""
      << (decoder_->hardware ? "true" : "false") << "\"} 1\n";
  }
  if (nlohmann::json wall = wall_.json(); !wall.is_null()) {
    metric("signage_wall_role", "gauge", "1 for this board's role in a wall of screens.");
    m << "signage_wall_role{role=\"" << wall["role"].get<std::string>() << "\"} 1\n";
    metric("signage_wall_in_step", "gauge", "1 while the screen shows the wall's file on the wall's clock.");
    m << "signage_wall_in_step " << (wall["in_step"].get<bool>() ? 1 : 0) << "\n";
    metric("signage_wall_clock_offset_seconds", "gauge", "The correction of this board's clock to the leader's.");
    m << "signage_wall_clock_offset_seconds " << wall["clock"]["offset_ms"].get<double>() / 1000 << "\n";
    metric("signage_wall_clock_rtt_seconds", "gauge", "Round trip to the leader's clock, averaged.");
    m << "signage_wall_clock_rtt_seconds " << wall["clock"]["rtt_ms"].get<double>() / 1000 << "\n";
    metric("signage_wall_followers", "gauge", "Followers connected to this leader.");
    m << "signage_wall_followers " << wall["followers"].get<int>() << "\n";
  }
  return m.str();
}
