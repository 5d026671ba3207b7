#include "aspect/aspect_ratio.h"

#include <gst/gst.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "core/gst_holders.h"
#include "core/log.h"
#include "core/player_state.h"
#include "messaging/ack_delivery.h"
#include "protocol/protocol.h"
#include "restart/rebuild_policy.h"

namespace {

// The ffprobe child of the running probe, so that a cancellation can kill it.
std::mutex child_mutex;
pid_t running_child = 0;
std::atomic<bool> probe_cancelled{false};

void die_with_player(gpointer) { prctl(PR_SET_PDEATHSIG, SIGKILL); }

enum class Probe { NotStarted, Answered, NoAnswer };

// Runs ffprobe and collects its standard output, for at most FFPROBE_TIMEOUT_MS.
Probe run_ffprobe(const char* const* argv, std::string& output) {
  GPid pid = 0;
  gint out_fd = -1;
  GError* error = nullptr;
  // The child dies with the thread that started it, so it never outlives the player.
  gboolean started = g_spawn_async_with_pipes(
      nullptr, const_cast<gchar**>(argv), nullptr,
      static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDERR_TO_DEV_NULL | G_SPAWN_DO_NOT_REAP_CHILD),
      die_with_player, nullptr, &pid, nullptr, &out_fd, nullptr, &error);
  if (!started) {
    if (error) g_error_free(error);
    return Probe::NotStarted;
  }
  {
    std::lock_guard<std::mutex> lock(child_mutex);
    running_child = pid;
  }
  gint64 deadline = g_get_monotonic_time() + FFPROBE_TIMEOUT_MS * G_TIME_SPAN_MILLISECOND;
  bool timed_out = false;
  char chunk[512];
  for (;;) {
    gint64 left_ms = (deadline - g_get_monotonic_time()) / G_TIME_SPAN_MILLISECOND;
    if (left_ms <= 0 || probe_cancelled) {
      timed_out = true;
      break;
    }
    pollfd p{out_fd, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(std::min<gint64>(left_ms, 100)));
    if (r < 0 && errno != EINTR) break;
    if (r <= 0) continue;
    ssize_t n = read(out_fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (output.size() < 4096) output.append(chunk, static_cast<size_t>(n));
  }
  close(out_fd);
  {
    std::lock_guard<std::mutex> lock(child_mutex);
    if (timed_out) kill(pid, SIGKILL);
    running_child = 0;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  g_spawn_close_pid(pid);
  if (timed_out && !probe_cancelled)
    log_line("[AR FFPROBE] ffprobe gave no answer within %d ms - killed", FFPROBE_TIMEOUT_MS);
  return timed_out ? Probe::NoAnswer : Probe::Answered;
}

// What tells a file apart from the one read before under the same path: a
// file replaced or rewritten in place gets another inode, size or time.
struct FileIdentity {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  struct timespec mtime = {};
  bool operator==(const FileIdentity& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec;
  }
};

bool identity_of(const std::string& path, FileIdentity& id) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  id.dev = info.st_dev;
  id.ino = info.st_ino;
  id.size = info.st_size;
  id.mtime = info.st_mtim;
  return true;
}

// Ratios read or used lately, latest first. The pipeline's own file is nearly
// always among them: it was read once, or it is the preload a rebuild was made for.
struct KnownRatio {
  std::string path;
  FileIdentity id;
  float dar;
};
constexpr size_t KNOWN_RATIOS_KEPT = 4;
std::mutex known_mutex;
std::list<KnownRatio> known_ratios;

void remember_ratio(const std::string& path, const FileIdentity& id, float dar) {
  std::lock_guard<std::mutex> lock(known_mutex);
  known_ratios.remove_if([&](const KnownRatio& k) { return k.path == path; });
  known_ratios.push_front({path, id, dar});
  if (known_ratios.size() > KNOWN_RATIOS_KEPT) known_ratios.pop_back();
}

bool known_ratio(const std::string& path, float& dar) {
  FileIdentity now;
  // A file deleted while it plays is still the one that was read (the
  // pipeline holds it open): its ratio stands, where ffprobe would fail.
  bool gone = !identity_of(path, now) && errno == ENOENT;
  std::lock_guard<std::mutex> lock(known_mutex);
  for (auto it = known_ratios.begin(); it != known_ratios.end(); ++it)
    if (it->path == path && (gone || it->id == now)) {
      dar = it->dar;
      // Asked for at every preload, so the pipeline's file stays in front of the preloads.
      known_ratios.splice(known_ratios.begin(), known_ratios, it);
      return true;
    }
  return false;
}

// Reads a file's ratio and remembers it when ffprobe answered. The identity
// is taken first, so a file changed during the reading is read again next time.
int read_and_remember(const std::string& path, float* dar) {
  FileIdentity id;
  bool have_id = identity_of(path, id);
  int ok = get_video_dar(path.c_str(), dar);
  if (ok && have_id) remember_ratio(path, id, *dar);
  return ok;
}

// Joined on the way out, so that no probe thread outlives the player's statics.
struct ProbeThread {
  std::thread thread;
  ~ProbeThread() { cancel_ratio_probe(); }
};
ProbeThread probe;

}  // namespace

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
  const char* argv[] = {"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                        "stream=display_aspect_ratio", "-of", "csv=p=0", input.c_str(), nullptr};
  std::string output;
  Probe result = run_ffprobe(argv, output);
  if (result == Probe::NotStarted) {
    log_line("[AR FFPROBE] Erro ao executar ffprobe");
    return 0;
  }
  if (result == Probe::NoAnswer) output.clear();
  std::string first_line = output.substr(0, output.find('\n')).substr(0, 127);
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
          log_line("%s", protocol::REBUILD_NOW_FIRST);
          return ArOutcome::Immediate;
        }
        log_line("║  🔄 RESTART AGENDADO (arranque - flag desactivada)!     ║");
        return ArOutcome::Scheduled;
      }
      log_line("%s", protocol::REBUILD_SCHEDULED);
      return ArOutcome::Scheduled;
    }
    log_line("%s", protocol::RATIO_SAME);
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

void start_ratio_probe(const std::string& preload_path, bool has_filesrc, const std::string& current_location,
                       std::function<void(float, float)> done) {
  cancel_ratio_probe();
  probe_cancelled = false;
  probe.thread = std::thread([preload_path, has_filesrc, current_location, done = std::move(done)] {
    float preload_dar = 0.0f;
    float current_dar = 0.0f;
    log_line("%s", protocol::RATIO_PROBE_START);
    if (preload_path.empty()) {
      log_line("[AR DEBUG] ❌ g_preload_file_path é NULL");
    } else if (!read_and_remember(preload_path, &preload_dar)) {
      log_line("[AR DEBUG] ❌ Falhou a ler DAR do preload");
    }
    if (has_filesrc && !probe_cancelled) {
      if (current_location.empty()) {
        log_line("[AR DEBUG] ❌ Não foi possível obter location do filesrc");
      } else if (known_ratio(current_location, current_dar)) {
        log_line("[AR DEBUG] Current file %s: ratio %.3f known from an earlier reading", current_location.c_str(),
                 current_dar);
      } else {
        log_raw("%s%s\n", protocol::RATIO_CURRENT, current_location.c_str());
        if (!read_and_remember(current_location, &current_dar))
          log_line("[AR DEBUG] ❌ Falhou a ler DAR do vídeo atual");
      }
    }
    if (!probe_cancelled) done(preload_dar, current_dar);
  });
}

void cancel_ratio_probe() {
  probe_cancelled = true;
  {
    std::lock_guard<std::mutex> lock(child_mutex);
    if (running_child > 0) kill(running_child, SIGKILL);
  }
  if (probe.thread.joinable()) probe.thread.join();
}

ArOutcome report_aspect_ratio(float current_dar, float preload_dar) {
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
  return outcome;
}

void apply_aspect_outcome(ArOutcome outcome, float preload_dar) {
  switch (outcome) {
    case ArOutcome::Immediate:
      log_line("[AR] 🔄 Executing IMMEDIATE restart to fix AR before playback...");
      rebuild_now_for_ratio();
      break;
    case ArOutcome::Scheduled:
      log_line("%s", protocol::REBUILD_AT_END);
      schedule_rebuild_at_video_end();
      if (preload_dar > 0) current_aspect_ratio = preload_dar;
      send_with_ack(protocol::PRELOAD_COMPLETE, protocol::ACK_PRELOAD_COMPLETE);
      break;
    case ArOutcome::Normal:
      if (preload_dar > 0) current_aspect_ratio = preload_dar;
      send_with_ack(protocol::PRELOAD_COMPLETE, protocol::ACK_PRELOAD_COMPLETE);
      break;
  }
}
