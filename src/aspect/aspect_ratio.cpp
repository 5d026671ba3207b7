#include "aspect/aspect_ratio.h"

#include <gst/gst.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "core/gst_holders.h"
#include "core/log.h"
#include "core/player_state.h"
#include "messaging/ack_delivery.h"

int parse_dar_answer(const char* line, int* num, int* den) {
  if (!line) return 0;
  int n = 0, d = 0;
  if (sscanf(line, "%d:%d", &n, &d) != 2 || d <= 0) return 0;
  *num = n;
  *den = d;
  return 1;
}

int get_video_dar(const char* path, float* out_dar) {
  if (!path || !out_dar) return 0;
  *out_dar = 0.0f;
  // "file:" keeps a path that starts with "-" or holds ":" from being read as an option or protocol.
  std::string input = std::string("file:") + path;
  const gchar* argv[] = {"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                         "stream=display_aspect_ratio", "-of", "csv=p=0", input.c_str(), nullptr};
  gchar* output = nullptr;
  GError* error = nullptr;
  gboolean started = g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr,
                                  static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDERR_TO_DEV_NULL), nullptr,
                                  nullptr, &output, nullptr, nullptr, &error);
  if (!started) {
    log_line("[AR FFPROBE] Erro ao executar ffprobe");
    if (error) g_error_free(error);
    return 0;
  }
  std::string first_line = output ? output : "";
  g_free(output);
  first_line = first_line.substr(0, first_line.find('\n')).substr(0, 127);
  int num = 0, den = 0;
  if (parse_dar_answer(first_line.c_str(), &num, &den)) {
    *out_dar = static_cast<float>(num) / static_cast<float>(den);
    log_raw("[AR FFPROBE] ✅ %s → DAR=%d:%d (%.3f)\n", path, num, den, *out_dar);
    return 1;
  }
  log_raw("[AR FFPROBE] ❌ Falhou a ler DAR de %s\n", path);
  return 0;
}

ArOutcome decide_aspect_ratio(float current_dar, float preload_dar) {
  if (preload_dar > 0 && current_dar > 0) {
    float diff = std::fabs(current_dar - preload_dar);
    if (diff > AR_TOLERANCE) {
      log_raw("║  ⚠️⚠️⚠️  DAR DIFERENTE! %.3f ≠ %.3f  ⚠️⚠️⚠️            ║\n", current_dar, preload_dar);
      if (current_aspect_ratio == 0.0f) {
        if (AR_IMMEDIATE_RESTART_ON_STARTUP) {
          log_line("║  🔄 RESTART IMEDIATO (arranque - primeiro vídeo)!       ║");
          return ArOutcome::Immediate;
        }
        log_line("║  🔄 RESTART AGENDADO (arranque - flag desactivada)!     ║");
        return ArOutcome::Scheduled;
      }
      log_line("║  🔄 RESTART AGENDADO (mudança AR a meio do fluxo)!      ║");
      return ArOutcome::Scheduled;
    }
    log_line("║  ✅ DAR CORRECTO! Switch normal sem restart.           ║");
    return ArOutcome::Normal;
  }
  if (preload_dar > 0 && current_dar == 0.0f) {
    log_line("║  ℹ️  Primeiro vídeo real (placeholder → video)           ║");
    log_line("║  🔄 RESTART IMEDIATO para configurar AR inicial!         ║");
    return ArOutcome::Immediate;
  }
  log_line("║  ⚠️  Não foi possível determinar DAR                     ║");
  return ArOutcome::Normal;
}

void check_preload_aspect_ratio() {
  float preload_dar = 0.0f;
  float current_dar = 0.0f;

  log_line("[AR DEBUG] Usando ffprobe para ler DAR do preload...");
  std::string preload_path = preload_file_path();
  if (preload_path.empty()) {
    log_line("[AR DEBUG] ❌ g_preload_file_path é NULL");
  } else if (!get_video_dar(preload_path.c_str(), &preload_dar)) {
    log_line("[AR DEBUG] ❌ Falhou a ler DAR do preload");
  }

  if (g_filesrc) {
    GStr location;
    g_object_get(g_filesrc, "location", location.out(), nullptr);
    if (location) {
      log_raw("[AR DEBUG] Vídeo atual: %s\n", location.get());
      if (!get_video_dar(location.get(), &current_dar)) log_line("[AR DEBUG] ❌ Falhou a ler DAR do vídeo atual");
    } else {
      log_line("[AR DEBUG] ❌ Não foi possível obter location do filesrc");
    }
  }

  log_line("%s", "");
  log_line("╔══════════════════════════════════════════════════════════╗");
  log_line("║                    📐 AR STATUS CHECK                     ║");
  log_line("╠══════════════════════════════════════════════════════════╣");
  log_raw("║  PIPELINE ATUAL: DAR = %.3f                              ║\n", current_dar);
  log_raw("║  PRELOAD VIDEO:  DAR = %.3f                              ║\n", preload_dar);
  log_line("╠══════════════════════════════════════════════════════════╣");
  ArOutcome outcome = decide_aspect_ratio(current_dar, preload_dar);
  log_line("╚══════════════════════════════════════════════════════════╝");
  log_line("%s", "");

  switch (outcome) {
    case ArOutcome::Immediate:
      log_line("[AR] 🔄 Executing IMMEDIATE restart to fix AR before playback...");
      suppress_events = 1;
      log_line("[AR] 🔇 Events suppressed until restart completes");
      restart_for_ar_fix = 1;
      restart_pending = 1;
      break;
    case ArOutcome::Scheduled:
      log_line("[AR] 📅 Scheduling restart for after video ends...");
      restart_scheduled = 1;
      waiting_for_video_end = 1;
      if (preload_dar > 0) current_aspect_ratio = preload_dar;
      send_with_ack("Preload complete", "ack_preload_complete");
      break;
    case ArOutcome::Normal:
      if (preload_dar > 0) current_aspect_ratio = preload_dar;
      send_with_ack("Preload complete", "ack_preload_complete");
      break;
  }
}
